#include "layers/pooling.h"

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "backend/backend.h"
#include "backend/cpu/elementwise.h"
#include "backend/cpu/pooling.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

template <class T>
constexpr const char* maxpool_class() {
  return op_class_name(std::is_same_v<T, float> ? kMaxPoolFp32 : kMaxPoolInt8);
}

std::string plane(int64_t h, int64_t w) { return std::to_string(h) + "x" + std::to_string(w); }

void check_avgpool_plane(const char* cls, const std::string& node, const TensorShape& s) {
  if (int64_t(s.h) * s.w <= 0)
    layer_error(cls, node, "cannot average an empty plane " + plane(s.h, s.w));
}

float checked_scale(const LayerArgs& args, const char* cls, const char* key, float def) {
  const float v = args.get_float(key, def);
  if (!std::isfinite(v) || v <= 0.0f)
    layer_error(cls, args.node_name(),
                std::string(key) + " must be finite and positive, got " + std::to_string(v));
  return v;
}

}  // namespace

template <class T>
MaxPool<T>::MaxPool(const LayerArgs& args)
    : win_{args.get_int("kH", 3),       args.get_int("kW", 3),    args.get_int("stride_h", 2),
           args.get_int("stride_w", 2), args.get_int("pad_h", 0), args.get_int("pad_w", 0)} {
  if (win_.kH <= 0 || win_.kW <= 0 || win_.stride_h <= 0 || win_.stride_w <= 0)
    layer_error(maxpool_class<T>(), args.node_name(),
                "window " + plane(win_.kH, win_.kW) + " and strides " +
                    plane(win_.stride_h, win_.stride_w) + " must be positive");
}

template <class T>
int MaxPool<T>::output_dtype() const {
  return std::is_same_v<T, float> ? kFloat32 : kInt8;
}

template <class T>
TensorShape MaxPool<T>::output_shape(const TensorShape& in) {
  const int64_t h = cpu::pooled_extent(in.h, win_.kH, win_.stride_h, win_.pad_h);
  const int64_t w = cpu::pooled_extent(in.w, win_.kW, win_.stride_w, win_.pad_w);
  const int64_t hh = h > 0 ? h : 0, ww = w > 0 ? w : 0;
  if (hh > INT32_MAX || ww > INT32_MAX || double(in.c) * double(hh) * double(ww) > INT32_MAX)
    layer_error(maxpool_class<T>(), name, "output plane " + plane(h, w) + " is too large");
  return {in.c, int32_t(hh), int32_t(ww)};
}

template <class T>
TensorShape MaxPool<T>::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                const RunContext& ctx) {
  input_element_count(maxpool_class<T>(), name, inputs, n_inputs);
  const TensorShape& s = inputs[0].shape;
  const TensorShape out = output_shape(s);
  if (out.h < 1 || out.w < 1)
    layer_error(maxpool_class<T>(), name,
                "window " + plane(win_.kH, win_.kW) + " with padding " +
                    plane(win_.pad_h, win_.pad_w) + " leaves no output pixel on a " +
                    plane(s.h, s.w) + " input");
  const BackendOps& ops = active_backend_or_throw();
  if constexpr (std::is_same_v<T, float>)
    ops.maxpool_fp32(static_cast<const float*>(inputs[0].data), static_cast<float*>(output.data),
                     s.c, s.h, s.w, win_.kH, win_.kW, win_.stride_h, win_.stride_w, win_.pad_h,
                     win_.pad_w, ctx.backend_handle);
  else
    ops.maxpool_int8(static_cast<const int8_t*>(inputs[0].data), static_cast<int8_t*>(output.data),
                     s.c, s.h, s.w, win_.kH, win_.kW, win_.stride_h, win_.stride_w, win_.pad_h,
                     win_.pad_w, ctx.backend_handle);
  return out;
}

template class MaxPool<float>;
template class MaxPool<int8_t>;

AvgPoolFp32::AvgPoolFp32(const LayerArgs&) {}

TensorShape AvgPoolFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                 const RunContext& ctx) {
  input_element_count("AvgPoolFp32", name, inputs, n_inputs);
  const TensorShape& s = inputs[0].shape;
  check_avgpool_plane("AvgPoolFp32", name, s);
  active_backend_or_throw().avgpool_fp32(static_cast<const float*>(inputs[0].data),
                                         static_cast<float*>(output.data), s.c, s.h, s.w,
                                         ctx.backend_handle);
  return output_shape(s);
}

AvgPoolInt8::AvgPoolInt8(const LayerArgs& args)
    : in_scale_(checked_scale(args, "AvgPoolInt8", "in_scale", 1.0f)),
      out_scale_(checked_scale(args, "AvgPoolInt8", "out_scale", 1.0f)),
      in_zp_(args.get_int("in_zp", 0)),
      out_zp_(args.get_int("out_zp", 0)) {
  if (in_zp_ < -128 || in_zp_ > 127 || out_zp_ < -128 || out_zp_ > 127)
    layer_error("AvgPoolInt8", args.node_name(),
                "zero points " + std::to_string(in_zp_) + " and " + std::to_string(out_zp_) +
                    " must be int8 values");
  if (!cpu::fixed_point_factor_ok(in_scale_ / out_scale_))
    layer_error("AvgPoolInt8", args.node_name(), "in_scale / out_scale must be below 2^30");
}

TensorShape AvgPoolInt8::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                 const RunContext& ctx) {
  input_element_count("AvgPoolInt8", name, inputs, n_inputs);
  const TensorShape& s = inputs[0].shape;
  check_avgpool_plane("AvgPoolInt8", name, s);
  // A 32-bit sum of H*W differences from the zero point cannot overflow below 2^23 pixels.
  if (int64_t(s.h) * s.w > (int64_t(1) << 23))
    layer_error("AvgPoolInt8", name, "plane " + plane(s.h, s.w) + " is too large to average");
  active_backend_or_throw().avgpool_int8(
      static_cast<const int8_t*>(inputs[0].data), in_scale_, in_zp_, out_scale_, out_zp_,
      static_cast<int8_t*>(output.data), s.c, s.h, s.w, ctx.backend_handle);
  return output_shape(s);
}

UpsampleBilinearFp32::UpsampleBilinearFp32(const LayerArgs& args)
    : scale_h_(checked_scale(args, "UpsampleBilinearFp32", "scale_h", 2.0f)),
      scale_w_(checked_scale(args, "UpsampleBilinearFp32", "scale_w", 2.0f)) {}

TensorShape UpsampleBilinearFp32::output_shape(const TensorShape& in) {
  const float h = std::fma(float(in.h), scale_h_, 0.5f);
  const float w = std::fma(float(in.w), scale_w_, 0.5f);
  if (!(h < 2147483648.0f) || !(w < 2147483648.0f) ||
      double(in.c) * std::trunc(h) * std::trunc(w) > double(INT32_MAX))
    layer_error("UpsampleBilinearFp32", name,
                "scales " + std::to_string(scale_h_) + "x" + std::to_string(scale_w_) +
                    " give an absurd output size for a " + plane(in.h, in.w) + " input");
  return {in.c, int32_t(h), int32_t(w)};
}

TensorShape UpsampleBilinearFp32::forward(const TensorRef* inputs, int n_inputs,
                                          const BufferView& output, const RunContext& ctx) {
  input_element_count("UpsampleBilinearFp32", name, inputs, n_inputs);
  const TensorShape& s = inputs[0].shape;
  const TensorShape out = output_shape(s);
  active_backend_or_throw().upsample_bilinear_fp32(static_cast<const float*>(inputs[0].data),
                                                   static_cast<float*>(output.data), s.c, s.h, s.w,
                                                   out.h, out.w, ctx.backend_handle);
  return out;
}

MI_REGISTER_LAYER(kMaxPoolFp32, MaxPoolFp32);
MI_REGISTER_LAYER(kMaxPoolInt8, MaxPoolInt8);
MI_REGISTER_LAYER(kAvgPoolFp32, AvgPoolFp32);
MI_REGISTER_LAYER(kAvgPoolInt8, AvgPoolInt8);
MI_REGISTER_LAYER(kUpsampleBilinearFp32, UpsampleBilinearFp32);

}  // namespace mi
