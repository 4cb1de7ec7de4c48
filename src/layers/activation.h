// Element-wise activation functions, one class for all of them.
#pragma once

#include "layers/layer.h"

namespace mi {

class ActivationFp32 : public ILayer {
 public:
  enum Function : int32_t {
    kLeakyRelu = 0,
    kExp = 1,
    kSin = 2,
    kSigmoid = 3,
    kTanh = 4,
    kGelu = 5,
    kSilu = 6,
  };

  explicit ActivationFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }

 private:
  int32_t kind_;
  float alpha_ = 0.2f;
};

}  // namespace mi
