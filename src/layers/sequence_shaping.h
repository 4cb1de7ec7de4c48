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

// One float per row: the sum of its channels.
class SumChannelsFp32 : public ILayer {
 public:
  explicit SumChannelsFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
};

// One step of reflection at the start: rows (r1, r0, r1, r2, ...).
class ReflectionPad1dFp32 : public ILayer {
 public:
  explicit ReflectionPad1dFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  TensorShape output_shape_data(const void* const* data, const TensorShape* shapes,
                                int count) override;
  uint8_t output_device() const override;
};

// Every row repeated scale_factor times in a row.
class UpsampleNearest1dFp32 : public ILayer {
 public:
  explicit UpsampleNearest1dFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;

 private:
  int scale_;
};

}  // namespace mi
