// Residual additions and scaling by a constant.
#pragma once

#include <string>

#include "layers/layer.h"

namespace mi {

class AddFp32 : public ILayer {
 public:
  explicit AddFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape_n(const TensorShape* shapes, int count) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }
};

class AddInt8 : public ILayer {
 public:
  explicit AddInt8(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  int output_dtype() const override { return kInt8; }
  TensorShape output_shape_n(const TensorShape* shapes, int count) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }

 private:
  float in1_scale_, in2_scale_, out_scale_;
  int32_t in1_zp_, in2_zp_, out_zp_;
};

class ScaleFp32 : public ILayer {
 public:
  explicit ScaleFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }

 private:
  float scalar_;
};

}  // namespace mi
