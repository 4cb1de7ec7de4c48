#include "layers/sequence_shaping.h"

#include <climits>
#include <cstring>
#include <string>

#include "backend/backend.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

void require_input(const char* cls, const std::string& node, const TensorRef* inputs,
                   int n_inputs) {
  if (!layer_input(cls, node, inputs, n_inputs, 0).data)
    layer_error(cls, node, "needs an input tensor");
}

}  // namespace

Concat1dFp32::Concat1dFp32(const LayerArgs& args) : c2_(args.get_int("C2", 0)) {
  if (c2_ < 0) layer_error("Concat1dFp32", args.node_name(), "C2 must not be negative");
}

TensorShape Concat1dFp32::output_shape(const TensorShape& in) { return {in.c + c2_, in.h, in.w}; }

TensorShape Concat1dFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                  const RunContext& ctx) {
  require_input("Concat1dFp32", name, inputs, n_inputs);
  const TensorShape& a = inputs[0].shape;
  const int rows = a.h * a.w;
  const float* b = nullptr;
  bool broadcast = false;
  if (n_inputs >= 2) {
    const TensorShape& bs = inputs[1].shape;
    // The kernel reads b with a row stride of C2: any other channel count is misread.
    if (bs.c != c2_)
      layer_error(
          "Concat1dFp32", name,
          "second input has " + std::to_string(bs.c) + " channels, C2 is " + std::to_string(c2_));
    if (bs.count() <= 0 && c2_ > 0)
      layer_error("Concat1dFp32", name, "second input " + describe(bs) + " is empty");
    broadcast = int64_t(bs.h) * bs.w < 2;
    if (!broadcast && int64_t(bs.h) * bs.w < rows)
      layer_error("Concat1dFp32", name,
                  "second input has " + std::to_string(int64_t(bs.h) * bs.w) +
                      " rows, the first has " + std::to_string(rows));
    b = static_cast<const float*>(inputs[1].data);
  }
  active_backend_or_throw().concat1d_fp32(static_cast<const float*>(inputs[0].data), b,
                                          static_cast<float*>(output.data), rows, a.c, c2_,
                                          broadcast, ctx.backend_handle);
  return output_shape(a);
}

SliceChannelsFp32::SliceChannelsFp32(const LayerArgs& args)
    : start_(args.get_int("ch_start", 0)), end_(args.get_int("ch_end", 0)) {
  if (start_ < 0 || end_ < start_)
    layer_error("SliceChannelsFp32", args.node_name(),
                "channel range [" + std::to_string(start_) + ", " + std::to_string(end_) +
                    ") is empty or reversed");
}

// A known channel count is checked while shapes are planned, before an output slot is sized
// for a range the input cannot supply.
TensorShape SliceChannelsFp32::output_shape(const TensorShape& in) {
  if (in.c > 0) check_range(in.c);
  return {end_ - start_, in.h, in.w};
}

void SliceChannelsFp32::check_range(int channels) const {
  if (end_ > channels)
    layer_error("SliceChannelsFp32", name,
                "channel range [" + std::to_string(start_) + ", " + std::to_string(end_) +
                    ") exceeds the input's " + std::to_string(channels) + " channels");
}

TensorShape SliceChannelsFp32::forward(const TensorRef* inputs, int n_inputs,
                                       const BufferView& output, const RunContext& ctx) {
  require_input("SliceChannelsFp32", name, inputs, n_inputs);
  const TensorShape& in = inputs[0].shape;
  check_range(in.c);
  const int rows = in.h * in.w;
  active_backend_or_throw().slice_channels_fp32(static_cast<const float*>(inputs[0].data),
                                                static_cast<float*>(output.data), rows, in.c,
                                                start_, end_ - start_, ctx.backend_handle);
  return {end_ - start_, rows, 1};
}

SumChannelsFp32::SumChannelsFp32(const LayerArgs&) {}

TensorShape SumChannelsFp32::output_shape(const TensorShape& in) { return {1, in.h, in.w}; }

TensorShape SumChannelsFp32::forward(const TensorRef* inputs, int n_inputs,
                                     const BufferView& output, const RunContext& ctx) {
  require_input("SumChannelsFp32", name, inputs, n_inputs);
  const TensorShape& in = inputs[0].shape;
  element_count("SumChannelsFp32", name, in);
  const int rows = in.h * in.w;
  active_backend_or_throw().sum_channels_fp32(static_cast<const float*>(inputs[0].data),
                                              static_cast<float*>(output.data), rows, in.c,
                                              ctx.backend_handle);
  return {1, rows, 1};
}

ReflectionPad1dFp32::ReflectionPad1dFp32(const LayerArgs&) {}

TensorShape ReflectionPad1dFp32::output_shape(const TensorShape& in) {
  return {in.c, in.h * in.w + 1, 1};
}

TensorShape ReflectionPad1dFp32::output_shape_data(const void* const*, const TensorShape* shapes,
                                                   int count) {
  return output_shape(count >= 1 ? shapes[0] : TensorShape{});
}

uint8_t ReflectionPad1dFp32::output_device() const {
  const uint8_t kind = active_backend_or_throw().device_kind;
  return kind == 1 || kind == 2 ? 0 : kind;
}

TensorShape ReflectionPad1dFp32::forward(const TensorRef* inputs, int n_inputs,
                                         const BufferView& output, const RunContext& ctx) {
  require_input("ReflectionPad1dFp32", name, inputs, n_inputs);
  const TensorRef& x = inputs[0];
  const TensorShape out_shape = output_shape(x.shape);
  element_count("ReflectionPad1dFp32", name, out_shape);
  const int T = x.shape.h * x.shape.w;
  const int C = x.shape.c;
  // The first output row is input row 1.
  if (T < 2)
    layer_error("ReflectionPad1dFp32", name,
                "needs at least 2 steps to reflect, got " + std::to_string(T));
  const BackendOps& ops = active_backend_or_throw();
  const float* in = static_cast<const float*>(x.data);
  float* out = static_cast<float*>(output.data);
  if (x.on_device == 3 && ops.reflection_pad1d_fp32) {
    ops.reflection_pad1d_fp32(in, out, T, C, ctx.backend_handle);
    return out_shape;
  }
  std::memcpy(out, in + C, size_t(C) * sizeof(float));
  std::memcpy(out + C, in, size_t(T) * size_t(C) * sizeof(float));
  return out_shape;
}

UpsampleNearest1dFp32::UpsampleNearest1dFp32(const LayerArgs& args)
    : scale_(args.get_int("scale_factor", 2)) {
  if (scale_ < 1)
    layer_error("UpsampleNearest1dFp32", args.node_name(),
                "scale_factor must be at least 1, got " + std::to_string(scale_));
}

TensorShape UpsampleNearest1dFp32::output_shape(const TensorShape& in) {
  const int64_t h = int64_t(in.h) * scale_;
  if (h > INT32_MAX)
    layer_error("UpsampleNearest1dFp32", name, "output of " + describe(in) + " is too long");
  return {in.c, int32_t(h), in.w};
}

TensorShape UpsampleNearest1dFp32::forward(const TensorRef* inputs, int n_inputs,
                                           const BufferView& output, const RunContext& ctx) {
  require_input("UpsampleNearest1dFp32", name, inputs, n_inputs);
  const TensorShape& in = inputs[0].shape;
  element_count("UpsampleNearest1dFp32", name, output_shape(in));
  const int rows = in.h * in.w;
  active_backend_or_throw().upsample_nearest1d_fp32(static_cast<const float*>(inputs[0].data),
                                                    static_cast<float*>(output.data), rows, in.c,
                                                    scale_, ctx.backend_handle);
  return {in.c, rows * scale_, 1};
}

MI_REGISTER_LAYER(kConcat1dFp32, Concat1dFp32);
MI_REGISTER_LAYER(kSliceChannelsFp32, SliceChannelsFp32);
MI_REGISTER_LAYER(kSumChannelsFp32, SumChannelsFp32);
MI_REGISTER_LAYER(kReflectionPad1dFp32, ReflectionPad1dFp32);
MI_REGISTER_LAYER(kUpsampleNearest1dFp32, UpsampleNearest1dFp32);

}  // namespace mi
