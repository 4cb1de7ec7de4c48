// Max pooling, global average pooling and bilinear resizing layers.
#pragma once

#include "layers/layer.h"

namespace mi {

struct PoolWindow {
  int32_t kH, kW, stride_h, stride_w, pad_h, pad_w;
};

template <class T>
class MaxPool : public ILayer {
 public:
  explicit MaxPool(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  int output_dtype() const override;
  // Negative extents (no window fits) come out as 0; forward rejects them.
  TensorShape output_shape(const TensorShape& in) override;

 private:
  PoolWindow win_;
};

using MaxPoolFp32 = MaxPool<float>;
using MaxPoolInt8 = MaxPool<int8_t>;

class AvgPoolFp32 : public ILayer {
 public:
  explicit AvgPoolFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return {in.c, 1, 1}; }
};

class AvgPoolInt8 : public ILayer {
 public:
  explicit AvgPoolInt8(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  int output_dtype() const override { return kInt8; }
  TensorShape output_shape(const TensorShape& in) override { return {in.c, 1, 1}; }

 private:
  float in_scale_, out_scale_;
  int32_t in_zp_, out_zp_;
};

class UpsampleBilinearFp32 : public ILayer {
 public:
  explicit UpsampleBilinearFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;

 private:
  float scale_h_, scale_w_;
};

}  // namespace mi
