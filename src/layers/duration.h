// Length regulation: each token's row repeated for its predicted number of frames, scaled by
// the model's speed.
#pragma once

#include <cstdint>

#include "layers/duration_scaled.h"
#include "layers/layer.h"

namespace mi {

class LengthRegulateFp32 : public ILayer, public DurationScaled {
 public:
  explicit LengthRegulateFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }
  TensorShape output_shape_data(const void* const* data, const TensorShape* shapes,
                                int count) override;
  uint8_t output_device() const override { return 0; }
  void set_duration_scale(float scale) override { duration_scale = scale; }

  float duration_scale = 1.0f;

 private:
  // Frames of all tokens, after checking that there is one finite duration per row of x
  // and that the output fits a tensor.
  int64_t total_frames(const float* d, const TensorShape& x, const TensorShape& durations) const;
  int64_t frames(float d) const;
};

}  // namespace mi
