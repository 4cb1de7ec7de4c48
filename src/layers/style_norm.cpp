#include "layers/style_norm.h"

#include <cstring>
#include <string>

#include "backend/backend.h"
#include "backend/cpu/style_norm.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

const float* floats(const Buffer& b) { return static_cast<const float*>(b.data); }
const float* floats(const std::vector<float>& v) { return v.empty() ? nullptr : v.data(); }

// The fc weight as floats: from "<N>_i8" (one int8 row of C_style values per output) times
// "<node>.fc.w_scales" (one scale per row) when both are present, else from the float
// tensor N = "<node>.fc.weight".
std::vector<float> read_fc_weight(const TensorLookup& lookup, const char* cls,
                                  const std::string& node, int64_t rows, int64_t cols) {
  const std::string fc = node + ".fc.";
  std::vector<int> q_shape, s_shape;
  std::vector<uint8_t> q, scale_bytes;
  if (lookup(fc + "weight_i8", q_shape, q) && lookup(fc + "w_scales", s_shape, scale_bytes)) {
    const size_t n_scales = scale_bytes.size() / sizeof(float);
    if (int64_t(n_scales) != rows || int64_t(q.size()) != rows * cols)
      layer_error(cls, node,
                  "int8 fc weight has " + std::to_string(q.size()) + " values and " +
                      std::to_string(n_scales) + " row scales, needs " +
                      std::to_string(rows * cols) + " and " + std::to_string(rows));
    std::vector<float> scale(n_scales);
    std::memcpy(scale.data(), scale_bytes.data(), n_scales * sizeof(float));
    std::vector<float> w(q.size());
    for (int64_t r = 0; r < rows; ++r)
      for (int64_t k = 0; k < cols; ++k)
        w[r * cols + k] = float(int8_t(q[r * cols + k])) * scale[r];
    return w;
  }
  return read_floats_exact(lookup, cls, node, ".fc.weight", rows, rows * cols, true);
}

}  // namespace

StyleProjection::StyleProjection(const char* layer_class, const LayerArgs& args)
    : cls(layer_class),
      C(args.get_int("C", 0)),
      C_style(args.get_int("C_style", 0)),
      eps(args.get_float("eps", 1e-5f)) {
  if (C < 1 || C_style < 1)
    layer_error(cls, args.node_name(),
                "C and C_style must be at least 1, got " + std::to_string(C) + " and " +
                    std::to_string(C_style));
}

void StyleProjection::load(const TensorLookup& lookup, const std::string& node) {
  const int64_t rows = 2 * int64_t(C);
  weight_ = read_fc_weight(lookup, cls, node, rows, C_style);
  bias_ = read_floats_exact(lookup, cls, node, ".fc.bias", rows, rows, false);
  const BackendOps& ops = active_backend_or_throw();
  packed_ = pack_fp32(ops, weight_.data(), int(rows), C_style);
  if (ops.device_kind == 0) std::vector<float>().swap(weight_);
  h_.assign(size_t(rows), 0.0f);
}

void StyleProjection::upload(Allocator& allocator) {
  if (!allocator.is_device()) return;
  upload_packed(packed_, allocator);
  device_bias_ = upload_floats(bias_, allocator);
  device_h_ = allocator.make_buffer(2 * size_t(C) * sizeof(float));
  device_h_.on_device = allocator.is_device();
}

void StyleProjection::check_channels(const std::string& node, int channels) const {
  if (channels != C)
    layer_error(cls, node,
                "input has " + std::to_string(channels) + " channels, C is " + std::to_string(C));
}

void StyleProjection::check_inputs(const std::string& node, const TensorRef* inputs,
                                   int n_inputs) const {
  const TensorRef& x = layer_input(cls, node, inputs, n_inputs, 0);
  const TensorRef& s = layer_input(cls, node, inputs, n_inputs, 1);
  if (!x.data || !s.data) layer_error(cls, node, "an input tensor is missing");
  check_channels(node, x.shape.c);
  element_count(cls, node, x.shape);
  if (s.shape.count() < C_style)
    layer_error(cls, node,
                "style input has " + std::to_string(s.shape.count()) +
                    " values, needs C_style = " + std::to_string(C_style));
}

const float* StyleProjection::project(const BackendOps& ops, const float* s, void* handle) {
  if (on_device()) {
    ops.gemm_fp32(s, nullptr, floats(device_bias_), static_cast<float*>(device_h_.data), C_style,
                  2 * C, packed_.data, handle);
    return floats(device_h_);
  }
  h_.resize(2 * size_t(C));
  ops.gemm_packed_fp32(s, floats(packed_), floats(bias_), h_.data(), false, 1, C_style, 2 * C,
                       false, nullptr);
  return h_.data();
}

AdaIn1dFp32::AdaIn1dFp32(const LayerArgs& args) : fc_("AdaIn1dFp32", args) {}

void AdaIn1dFp32::load_weights(const TensorLookup& lookup) {
  fc_.load(lookup, name);
  norm_weight_ = read_floats_exact(lookup, fc_.cls, name, ".norm.weight", 1, fc_.C, false);
  norm_bias_ = read_floats_exact(lookup, fc_.cls, name, ".norm.bias", 1, fc_.C, false);
  // A norm bias without a norm weight would be dropped by the kernel (it reads the bias
  // only with a weight); a unit weight keeps it.
  if (norm_weight_.empty() && !norm_bias_.empty()) norm_weight_.assign(size_t(fc_.C), 1.0f);
}

TensorShape AdaIn1dFp32::output_shape(const TensorShape& in) {
  if (in.c > 0) fc_.check_channels(name, in.c);
  return in;
}

TensorShape AdaIn1dFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                 const RunContext& ctx) {
  fc_.check_inputs(name, inputs, n_inputs);
  const BackendOps& ops = active_backend_or_throw();
  const TensorShape& shape = inputs[0].shape;
  const float* h = fc_.project(ops, static_cast<const float*>(inputs[1].data), ctx.backend_handle);
  const float* x = static_cast<const float*>(inputs[0].data);
  float* y = static_cast<float*>(output.data);
  const int L = shape.h * shape.w;
  if (fc_.on_device()) {
    ops.ada_in1d_fp32(x, y, h, h + fc_.C, L, fc_.C, fc_.eps, ctx.backend_handle,
                      floats(device_norm_weight_), floats(device_norm_bias_));
  } else {
    cpu::ada_in1d_fp32(x, y, h, h + fc_.C, L, fc_.C, fc_.eps, nullptr, floats(norm_weight_),
                       floats(norm_bias_));
  }
  return shape;
}

void AdaIn1dFp32::upload_weights(Allocator& allocator) {
  fc_.upload(allocator);
  if (!allocator.is_device()) return;
  device_norm_weight_ = upload_floats(norm_weight_, allocator);
  device_norm_bias_ = upload_floats(norm_bias_, allocator);
}

AdaLayerNormFp32::AdaLayerNormFp32(const LayerArgs& args) : fc_("AdaLayerNormFp32", args) {}

void AdaLayerNormFp32::load_weights(const TensorLookup& lookup) { fc_.load(lookup, name); }

TensorShape AdaLayerNormFp32::output_shape(const TensorShape& in) {
  if (in.c > 0) fc_.check_channels(name, in.c);
  return in;
}

TensorShape AdaLayerNormFp32::forward(const TensorRef* inputs, int n_inputs,
                                      const BufferView& output, const RunContext& ctx) {
  fc_.check_inputs(name, inputs, n_inputs);
  const BackendOps& ops = active_backend_or_throw();
  const TensorShape& shape = inputs[0].shape;
  const float* h = fc_.project(ops, static_cast<const float*>(inputs[1].data), ctx.backend_handle);
  const float* x = static_cast<const float*>(inputs[0].data);
  float* y = static_cast<float*>(output.data);
  const int L = shape.h * shape.w;
  if (fc_.on_device())
    ops.ada_layer_norm_fp32(x, y, h, h + fc_.C, L, fc_.C, fc_.eps, ctx.backend_handle);
  else
    cpu::ada_layer_norm_fp32(x, y, h, h + fc_.C, L, fc_.C, fc_.eps, nullptr);
  return shape;
}

void AdaLayerNormFp32::upload_weights(Allocator& allocator) { fc_.upload(allocator); }

SnakeFp32::SnakeFp32(const LayerArgs&) {}

void SnakeFp32::load_weights(const TensorLookup& lookup) {
  alpha_ = read_floats_exact(lookup, "SnakeFp32", name, ".alpha", 1, 0, true);
  if (alpha_.empty()) layer_error("SnakeFp32", name, "tensor '" + name + ".alpha' is empty");
  inv_alpha_.resize(alpha_.size());
  for (size_t c = 0; c < alpha_.size(); ++c) inv_alpha_[c] = 1.0f / (1e-9f + alpha_[c]);
}

void SnakeFp32::check_channels(int channels) const {
  if (size_t(channels) != alpha_.size())
    layer_error("SnakeFp32", name,
                "input has " + std::to_string(channels) + " channels, alpha has " +
                    std::to_string(alpha_.size()) + " values");
}

TensorShape SnakeFp32::output_shape(const TensorShape& in) {
  if (in.c > 0 && !alpha_.empty()) check_channels(in.c);
  return in;
}

TensorShape SnakeFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                               const RunContext& ctx) {
  const TensorRef& x = layer_input("SnakeFp32", name, inputs, n_inputs, 0);
  if (!x.data) layer_error("SnakeFp32", name, "needs an input tensor");
  if (alpha_.empty()) layer_error("SnakeFp32", name, "alpha is not loaded");
  check_channels(x.shape.c);
  element_count("SnakeFp32", name, x.shape);
  const bool dev = device_alpha_.data != nullptr;
  active_backend_or_throw().snake1d_fp32(static_cast<const float*>(x.data),
                                         static_cast<float*>(output.data),
                                         dev ? floats(device_alpha_) : alpha_.data(),
                                         dev ? floats(device_inv_alpha_) : inv_alpha_.data(),
                                         x.shape.h * x.shape.w, x.shape.c, ctx.backend_handle);
  return x.shape;
}

void SnakeFp32::upload_weights(Allocator& allocator) {
  if (!allocator.is_device()) return;
  device_alpha_ = upload_floats(alpha_, allocator);
  device_inv_alpha_ = upload_floats(inv_alpha_, allocator);
}

MI_REGISTER_LAYER(kAdaIn1dFp32, AdaIn1dFp32);
MI_REGISTER_LAYER(kAdaLayerNormFp32, AdaLayerNormFp32);
MI_REGISTER_LAYER(kSnake1dFp32, SnakeFp32);

}  // namespace mi
