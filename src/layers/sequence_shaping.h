// Layers that combine and cut the channels of 1-D sequences.
#pragma once

#include "layers/layer.h"

namespace mi {

// Appends C2 channels from an optional second input, per row or broadcast from one row.
class Concat1dFp32 : public ILayer {
 public:
  explicit Concat1dFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;

 private:
  int c2_;
};

// Channels [ch_start, ch_end) of every row.
class SliceChannelsFp32 : public ILayer {
 public:
  explicit SliceChannelsFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;

 private:
  void check_range(int channels) const;

  int start_;
  int end_;
};

}  // namespace mi
