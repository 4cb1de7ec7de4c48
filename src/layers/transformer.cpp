#include "layers/transformer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "backend/backend.h"
#include "backend/cpu/attention.h"
#include "backend/cpu/layernorm.h"
#include "backend/cpu/seqgemm.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

const float* floats_or_null(const std::vector<float>& v) { return v.empty() ? nullptr : v.data(); }

// The input as 8-bit activations would see it (the layer's dynamic_quantize switch), in store.
const float* fake_quantized(const float* x, size_t n, std::vector<float>& store) {
  store.resize(n);
  cpu::fake_quantize_u8(x, store.data(), n, false);
  return store.data();
}

std::string dims(int64_t rows, int64_t cols) {
  return std::to_string(rows) + "x" + std::to_string(cols);
}

// The input tensor of a sequence layer, its width checked against `width` and the token
// count T = h*w returned, with `per_token` (the widest row the layer touches) times T
// fitting an int.
const TensorRef& sequence_input(const char* cls, const std::string& node, const TensorRef* inputs,
                                int n_inputs, int32_t width, const char* width_name,
                                int64_t per_token, int& T) {
  const TensorRef& x = layer_input(cls, node, inputs, n_inputs, 0);
  if (!x.data) layer_error(cls, node, "the input tensor is missing");
  if (x.shape.c != width)
    layer_error(cls, node,
                "input " + describe(x.shape) + " has width " + std::to_string(x.shape.c) +
                    ", needs " + width_name + " = " + std::to_string(width));
  const int64_t tokens = int64_t(x.shape.h) * x.shape.w;
  if (x.shape.h < 0 || x.shape.w < 0 || tokens * per_token > INT_MAX)
    layer_error(cls, node, "input " + describe(x.shape) + " is too large");
  T = int(tokens);
  return x;
}

// Scratch slot `slot` must hold `bytes`.
void* scratch(const char* cls, const std::string& node, const RunContext& ctx, int slot,
              uint64_t bytes) {
  const BufferView& b = ctx.scratch[slot];
  if (bytes > 0 && (!b.data || b.size < bytes))
    layer_error(cls, node,
                "scratch slot " + std::to_string(slot) + " holds " + std::to_string(b.size) +
                    " bytes, needs " + std::to_string(bytes));
  return b.data;
}

void check_heads(const char* cls, const std::string& node, int32_t num_heads, int32_t E) {
  if (num_heads < 1)
    layer_error(cls, node, "num_heads must be at least 1, got " + std::to_string(num_heads));
  if (E >= 1 && E % num_heads != 0)
    layer_error(cls, node,
                "embed_dim " + std::to_string(E) + " is not a multiple of num_heads " +
                    std::to_string(num_heads));
}

void check_dims(const char* cls, const std::string& node, int32_t c_in, int32_t c_out) {
  if (c_in < 1 || c_out < 1)
    layer_error(cls, node,
                "C_in and C_out must be at least 1, got " + std::to_string(c_in) + " and " +
                    std::to_string(c_out));
}

// The size of an E x E matrix of `count` values, or 0 when count is no such square.
int32_t square_side(size_t count) {
  const auto s = int64_t(std::llround(std::sqrt(double(count))));
  return s > 0 && s * s == int64_t(count) && s <= INT_MAX / 3 ? int32_t(s) : 0;
}

// A name as "decoder projection": the layers of a decoder graph and its head.
bool is_decoder_name(const std::string& node) {
  return node.rfind("layers.", 0) == 0 || node == "lm_head";
}

// Shares a packed block under "<Class>:<node>.<tensor>:<rows>x<cols>".
void share(const char* cls, const std::string& node, const char* tensor, int64_t rows, int64_t cols,
           Buffer&& packed, SharedPackedWeightView& view) {
  view = share_host_packed_weight(
      std::string(cls) + ":" + node + "." + tensor + ":" + dims(rows, cols), std::move(packed));
}

template <class T>
Buffer upload_bytes(const std::vector<T>& v, Allocator& allocator) {
  if (v.empty()) return {};
  Buffer b = allocator.make_buffer(v.size() * sizeof(T));
  allocator.copy_to_device(b.data, v.data(), v.size() * sizeof(T));
  b.on_device = allocator.is_device();
  return b;
}

// Per-row symmetric int8 copy of an N x K float matrix: scale max|w|/127 (1e-8 and zeros
// for a row whose magnitude is at most 1e-8).
void quantize_weight_rows(const std::vector<float>& w, int N, int K, std::vector<int8_t>& q,
                          std::vector<float>& scales) {
  q.assign(size_t(N) * K, 0);
  scales.assign(size_t(N), 1e-8f);
  for (int n = 0; n < N; ++n) {
    const float* row = w.data() + size_t(n) * K;
    float a = 0.0f;
    for (int k = 0; k < K; ++k) a = std::fmax(a, std::fabs(row[k]));
    if (!(a > 1e-8f)) continue;
    scales[size_t(n)] = a * 0.007874016f;
    for (int k = 0; k < K; ++k) {
      const float v = std::round(row[k] * (127.0f / a));
      q[size_t(n) * K + k] = int8_t(std::fmin(std::fmax(v, -128.0f), 127.0f));
    }
  }
}

}  // namespace

std::vector<float> read_weight_or_int8(const TensorLookup& lookup, const char* cls,
                                       const std::string& node, const std::string& tensor,
                                       int64_t rows, int64_t cols) {
  const size_t dot = tensor.rfind('.');
  const std::string prefix = dot == std::string::npos ? "" : tensor.substr(0, dot + 1);
  std::vector<int> shape;
  std::vector<uint8_t> q, scale_bytes;
  if (lookup(tensor + "_i8", shape, q) && lookup(prefix + "w_scales", shape, scale_bytes)) {
    const size_t s = scale_bytes.size() / sizeof(float);
    if (int64_t(s) != rows || int64_t(q.size()) != rows * cols)
      layer_error(cls, node,
                  "tensor '" + tensor + "_i8' has " + std::to_string(q.size()) + " values and '" +
                      prefix + "w_scales' " + std::to_string(s) + ", needs " +
                      std::to_string(rows * cols) + " and " + std::to_string(rows));
    std::vector<float> scale(s);
    std::memcpy(scale.data(), scale_bytes.data(), s * sizeof(float));
    std::vector<float> w(q.size());
    for (int64_t r = 0; r < rows; ++r)
      for (int64_t k = 0; k < cols; ++k)
        w[size_t(r * cols + k)] = float(int8_t(q[size_t(r * cols + k)])) * scale[size_t(r)];
    return w;
  }
  std::vector<uint8_t> bytes;
  if (!lookup(tensor, shape, bytes)) return {};
  std::vector<float> w(bytes.size() / sizeof(float));
  if (!w.empty()) std::memcpy(w.data(), bytes.data(), w.size() * sizeof(float));
  if (int64_t(w.size()) < rows * cols)
    layer_error(cls, node,
                "tensor '" + tensor + "' has " + std::to_string(w.size()) + " values, needs " +
                    std::to_string(rows * cols));
  w.resize(size_t(rows * cols));
  return w;
}

// ---- LayerNormFp32 ---------------------------------------------------------------------

LayerNormFp32::LayerNormFp32(const LayerArgs& args) : eps(args.get_float("eps", 1e-6f)) {}

void LayerNormFp32::load_weights(const TensorLookup& lookup) {
  gamma = read_required<float>(lookup, "LayerNormFp32", name, ".gamma", 1);
  beta = read_required<float>(lookup, "LayerNormFp32", name, ".beta", int64_t(gamma.size()));
  beta.resize(gamma.size());
}

TensorShape LayerNormFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                   const RunContext& ctx) {
  BackendOps& ops = active_backend_or_throw();
  int T = 0;
  const int32_t C = int32_t(gamma.size());
  const TensorRef& x = sequence_input("LayerNormFp32", name, inputs, n_inputs, C, "C", C, T);
  ops.layernorm_fp32(static_cast<const float*>(x.data), gamma.data(), beta.data(),
                     static_cast<float*>(output.data), T, C, eps, ctx.backend_handle);
  return x.shape;
}

// ---- AttentionFp32 ---------------------------------------------------------------------

AttentionFp32::AttentionFp32(const LayerArgs& args)
    : num_heads(args.get_int("num_heads", 0)),
      embed_dim(args.get_int("embed_dim", 0)),
      dynamic_quantize(args.get_bool("dynamic_quantize", false)) {
  check_heads("AttentionFp32", args.node_name(), num_heads, embed_dim);
}

void AttentionFp32::load_weights(const TensorLookup& lookup) {
  const char* cls = "AttentionFp32";
  w_proj = read_required<float>(lookup, cls, name, ".w_proj", 1);
  E_ = embed_dim >= 1 ? embed_dim : square_side(w_proj.size());
  if (E_ < 1)
    layer_error(cls, name,
                "embed_dim is not given and tensor '" + name + ".w_proj' of " +
                    std::to_string(w_proj.size()) + " values is no square matrix");
  check_heads(cls, name, num_heads, E_);
  const int64_t E = E_;
  if (int64_t(w_proj.size()) < E * E)
    layer_error(cls, name,
                "tensor '" + name + ".w_proj' has " + std::to_string(w_proj.size()) +
                    " values, needs " + std::to_string(E * E));
  w_qkv = read_required<float>(lookup, cls, name, ".w_qkv", 3 * E * E);
  b_qkv = read_optional<float>(lookup, cls, name, ".b_qkv", 3 * E);
  b_proj = read_optional<float>(lookup, cls, name, ".b_proj", E);
  const BackendOps& ops = active_backend_or_throw();
  share(cls, name, "w_qkv", 3 * E, E, pack_fp32(ops, w_qkv.data(), int(3 * E), int(E)), qkv_packed);
  share(cls, name, "w_proj", E, E, pack_fp32(ops, w_proj.data(), int(E), int(E)), proj_packed);
  if (ops.device_kind == 0) {
    std::vector<float>().swap(w_qkv);
    std::vector<float>().swap(w_proj);
  }
}

void AttentionFp32::plan_workspace(const TensorShape& in, WorkspaceRequest& req) {
  if (in.h == 0 && in.w == 0) return;
  const uint64_t E = uint64_t(embed_dim >= 1 ? embed_dim : in.c > 0 ? in.c : 0);
  req.raise(3, 12 * uint64_t(std::max(in.h, 0)) * uint64_t(std::max(in.w, 0)) * E);
}

TensorShape AttentionFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                   const RunContext& ctx) {
  const char* cls = "AttentionFp32";
  BackendOps& ops = active_backend_or_throw();
  int T = 0;
  const TensorRef& in = sequence_input(cls, name, inputs, n_inputs, E_, "E", 3 * int64_t(E_), T);
  const size_t n = size_t(T) * E_;
  float* work = static_cast<float*>(scratch(cls, name, ctx, 3, 12 * uint64_t(n)));
  const float* x = static_cast<const float*>(in.data);
  std::vector<float> quantized;
  if (dynamic_quantize) x = fake_quantized(x, n, quantized);
  ops.attention_fp32(x, floats_or_null(w_qkv), floats_or_null(b_qkv), floats_or_null(w_proj),
                     floats_or_null(b_proj), static_cast<float*>(output.data), T, E_, num_heads,
                     work, static_cast<const float*>(qkv_packed.buffer.data),
                     static_cast<const float*>(proj_packed.buffer.data), ctx.backend_handle,
                     dynamic_quantize);
  return in.shape;
}

void AttentionFp32::upload_weights(Allocator& allocator) {
  upload_packed(qkv_packed.buffer, allocator);
  upload_packed(proj_packed.buffer, allocator);
}

// ---- AttentionInt8 ---------------------------------------------------------------------

AttentionInt8::AttentionInt8(const LayerArgs& args)
    : num_heads(args.get_int("num_heads", 0)), embed_dim(args.get_int("embed_dim", 0)) {
  check_heads("AttentionInt8", args.node_name(), num_heads, embed_dim);
}

void AttentionInt8::load_weights(const TensorLookup& lookup) {
  const char* cls = "AttentionInt8";
  w_proj_scales = read_required<float>(lookup, cls, name, ".w_proj_scales", 1);
  E_ = embed_dim >= 1 ? embed_dim : int32_t(std::min<size_t>(w_proj_scales.size(), INT_MAX / 3));
  check_heads(cls, name, num_heads, E_);
  const int64_t E = E_;
  if (int64_t(w_proj_scales.size()) < E)
    layer_error(cls, name,
                "tensor '" + name + ".w_proj_scales' has " + std::to_string(w_proj_scales.size()) +
                    " values, needs " + std::to_string(E));
  w_qkv_i8 = read_required<int8_t>(lookup, cls, name, ".w_qkv_i8", 3 * E * E);
  w_qkv_scales = read_required<float>(lookup, cls, name, ".w_qkv_scales", 3 * E);
  b_qkv = read_optional<float>(lookup, cls, name, ".b_qkv", 3 * E);
  w_proj_i8 = read_required<int8_t>(lookup, cls, name, ".w_proj_i8", E * E);
  b_proj = read_optional<float>(lookup, cls, name, ".b_proj", E);
  const BackendOps& ops = active_backend_or_throw();
  share(cls, name, "w_qkv_i8", 3 * E, E, pack_int8(ops, w_qkv_i8.data(), int(3 * E), int(E)),
        qkv_packed);
  share(cls, name, "w_proj_i8", E, E, pack_int8(ops, w_proj_i8.data(), int(E), int(E)),
        proj_packed);
  zero_bias.assign(size_t(3 * E), 0);
  if (ops.device_kind == 0) {
    std::vector<int8_t>().swap(w_qkv_i8);
    std::vector<int8_t>().swap(w_proj_i8);
  }
}

void AttentionInt8::plan_workspace(const TensorShape& in, WorkspaceRequest& req) {
  if (in.h == 0 && in.w == 0) return;
  const uint64_t E = uint64_t(embed_dim >= 1 ? embed_dim : in.c > 0 ? in.c : 0);
  const uint64_t T = uint64_t(std::max(in.h, 0)) * uint64_t(std::max(in.w, 0));
  req.raise(3, 12 * T * E);
  req.raise(4, T * E);
  req.raise(5, 12 * E);
}

TensorShape AttentionInt8::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                   const RunContext& ctx) {
  const char* cls = "AttentionInt8";
  BackendOps& ops = active_backend_or_throw();
  int T = 0;
  const TensorRef& in = sequence_input(cls, name, inputs, n_inputs, E_, "E", 3 * int64_t(E_), T);
  const uint64_t n = uint64_t(T) * E_;
  float* work = static_cast<float*>(scratch(cls, name, ctx, 3, 12 * n));
  int8_t* q = static_cast<int8_t*>(scratch(cls, name, ctx, 4, n));
  float* s = static_cast<float*>(scratch(cls, name, ctx, 5, 12 * uint64_t(E_)));
  const float* x = static_cast<const float*>(in.data);
  float* y = static_cast<float*>(output.data);
  const auto* qkv = static_cast<const uint8_t*>(qkv_packed.buffer.data);
  const auto* proj = static_cast<const uint8_t*>(proj_packed.buffer.data);
  if (ops.device_kind != 0)
    ops.attention_int8(x, qkv, w_qkv_scales.data(), zero_bias.data(), floats_or_null(b_qkv), proj,
                       w_proj_scales.data(), zero_bias.data(), floats_or_null(b_proj), y, T, E_,
                       num_heads, work, q, s, ctx.backend_handle);
  else
    cpu::attention_int8(x, qkv, w_qkv_scales.data(), zero_bias.data(), floats_or_null(b_qkv), proj,
                        w_proj_scales.data(), zero_bias.data(), floats_or_null(b_proj), y, T, E_,
                        num_heads, work, q, s, nullptr, nullptr, ctx.backend_handle);
  return in.shape;
}

void AttentionInt8::upload_weights(Allocator& allocator) {
  upload_packed(qkv_packed.buffer, allocator);
  upload_packed(proj_packed.buffer, allocator);
}

// ---- SeqGemmFp32 -----------------------------------------------------------------------

SeqGemmFp32::SeqGemmFp32(const LayerArgs& args)
    : c_in(args.get_int("C_in", 0)),
      c_out(args.get_int("C_out", 0)),
      gelu(args.get_bool("gelu", false)),
      dynamic_quantize(args.get_bool("dynamic_quantize", false)),
      last_token_only(args.get_bool("last_token_only", false)),
      decoder_weight(is_decoder_name(args.node_name())),
      int8_block(args.get_int("int8_block", 0)) {
  check_dims("SeqGemmFp32", args.node_name(), c_in, c_out);
  // The block kernel takes whole 32-byte chunks and whole blocks.
  if (int8_block < 0 || int8_block % 32 != 0 || (int8_block > 0 && c_in % int8_block != 0))
    layer_error("SeqGemmFp32", args.node_name(),
                "int8_block must be 0 or a positive multiple of 32 dividing C_in (" +
                    std::to_string(c_in) + "), got " + std::to_string(int8_block));
}

void SeqGemmFp32::load_weights(const TensorLookup& lookup) {
  const char* cls = "SeqGemmFp32";
  weight = read_weight_or_int8(lookup, cls, name, name + ".weight", c_out, c_in);
  if (weight.empty()) layer_error(cls, name, "tensor '" + name + ".weight' is missing");
  bias = read_optional<float>(lookup, cls, name, ".bias", c_out);
  const BackendOps& ops = active_backend_or_throw();
  share(cls, name, "weight", c_out, c_in, pack_fp32(ops, weight.data(), c_out, c_in), packed);
  copy_block = decoder_weight && ops.device_kind == 0 ? int8_block : 0;
  if (copy_block > 0) {
    weight_i8.assign(size_t(c_out) * c_in, 0);
    row_scales.assign(size_t(c_in / copy_block) * c_out, 0.0f);
    for (int n = 0; n < c_out; ++n)
      cpu::quantize_blocks_int8(weight.data() + size_t(n) * c_in,
                                weight_i8.data() + size_t(n) * c_in, row_scales.data() + n, c_in,
                                copy_block, c_out);
  } else {
    quantize_weight_rows(weight, c_out, c_in, weight_i8, row_scales);
  }
  if (ops.device_kind == 0) {
    if (!decoder_weight) {
      std::vector<int8_t>().swap(weight_i8);
      std::vector<float>().swap(row_scales);
    }
    std::vector<float>().swap(weight);
  }
}

namespace {

// One token through the per-row int8 copy of the weights (the decoder step), from the
// device copies when the weights were uploaded.
void single_token_int8(BackendOps& ops, const float* x, const std::vector<int8_t>& weight_i8,
                       const Buffer& device_weight_i8, const std::vector<float>& scales,
                       const Buffer& device_scales, const std::vector<float>& bias, float* y,
                       int c_in, int c_out, bool gelu, const RunContext& ctx) {
  const auto* wq =
      device_weight_i8.data ? static_cast<const int8_t*>(device_weight_i8.data) : weight_i8.data();
  const auto* ws =
      device_scales.data ? static_cast<const float*>(device_scales.data) : scales.data();
  ops.gemv_int8w_fp32(x, wq, ws, floats_or_null(bias), y, c_in, c_out, ctx.backend_handle);
  if (gelu) ops.gelu_fp32(y, c_out, ctx.backend_handle);
}

}  // namespace

TensorShape SeqGemmFp32::output_shape(const TensorShape& in) {
  if (last_token_only && int64_t(in.h) * in.w > 1) return {c_out, 1, 1};
  return {c_out, in.h, in.w};
}

TensorShape SeqGemmFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                 const RunContext& ctx) {
  const char* cls = "SeqGemmFp32";
  BackendOps& ops = active_backend_or_throw();
  int M = 0;
  const TensorRef& in =
      sequence_input(cls, name, inputs, n_inputs, c_in, "C_in", std::max(c_in, c_out), M);
  const float* x = static_cast<const float*>(in.data);
  float* y = static_cast<float*>(output.data);
  const TensorShape shape = output_shape(in.shape);
  if (last_token_only && M > 1) {
    // The last row of a prompt, in float as when every row is computed; the simulated 8-bit
    // input keeps its range over the whole sequence.
    std::vector<float> quantized;
    if (dynamic_quantize) x = fake_quantized(x, size_t(M) * c_in, quantized);
    ops.seqgemm_fp32(x + size_t(M - 1) * c_in, floats_or_null(weight), floats_or_null(bias), y, 1,
                     c_in, c_out, gelu, static_cast<const float*>(packed.buffer.data),
                     ctx.backend_handle);
    return shape;
  }
  if (M == 1 && copy_block > 0 && !weight_i8.empty()) {
    cpu::gemv_int8_blocks_fp32(x, weight_i8.data(), row_scales.data(), floats_or_null(bias), y,
                               c_in, c_out, copy_block, ctx.backend_handle);
    if (gelu) ops.gelu_fp32(y, c_out, ctx.backend_handle);
    return shape;
  }
  if (M == 1 && !weight_i8.empty() && ops.gemv_int8w_fp32) {
    single_token_int8(ops, x, weight_i8, device_weight_i8, row_scales, device_row_scales, bias, y,
                      c_in, c_out, gelu, ctx);
    return shape;
  }
  std::vector<float> quantized;
  if (dynamic_quantize) x = fake_quantized(x, size_t(M) * c_in, quantized);
  ops.seqgemm_fp32(x, floats_or_null(weight), floats_or_null(bias), y, M, c_in, c_out, gelu,
                   static_cast<const float*>(packed.buffer.data), ctx.backend_handle);
  return shape;
}

void SeqGemmFp32::upload_weights(Allocator& allocator) {
  if (!allocator.is_device()) return;
  upload_packed(packed.buffer, allocator);
  device_weight_i8 = upload_bytes(weight_i8, allocator);
  device_row_scales = upload_bytes(row_scales, allocator);
}

// ---- SeqGemmInt8 -----------------------------------------------------------------------

SeqGemmInt8::SeqGemmInt8(const LayerArgs& args)
    : c_in(args.get_int("C_in", 0)),
      c_out(args.get_int("C_out", 0)),
      gelu(args.get_bool("gelu", false)),
      decoder_weight(is_decoder_name(args.node_name())) {
  check_dims("SeqGemmInt8", args.node_name(), c_in, c_out);
}

void SeqGemmInt8::load_weights(const TensorLookup& lookup) {
  const char* cls = "SeqGemmInt8";
  weight_i8 = read_required<int8_t>(lookup, cls, name, ".weight_i8", int64_t(c_out) * c_in);
  weight_i8.resize(size_t(c_out) * c_in);
  w_scales = read_required<float>(lookup, cls, name, ".w_scales", c_out);
  bias = read_optional<float>(lookup, cls, name, ".bias", c_out);
  const BackendOps& ops = active_backend_or_throw();
  share(cls, name, "weight_i8", c_out, c_in, pack_int8(ops, weight_i8.data(), c_out, c_in), packed);
  zero_bias.assign(size_t(c_out), 0);
  if (ops.device_kind == 0 && !decoder_weight) std::vector<int8_t>().swap(weight_i8);
}

void SeqGemmInt8::plan_workspace(const TensorShape& in, WorkspaceRequest& req) {
  if (in.h == 0 && in.w == 0) return;
  const uint64_t T = uint64_t(std::max(in.h, 0)) * uint64_t(std::max(in.w, 0));
  req.raise(4, T * uint64_t(c_in));
  req.raise(5, 4 * uint64_t(c_out));
}

TensorShape SeqGemmInt8::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                 const RunContext& ctx) {
  const char* cls = "SeqGemmInt8";
  BackendOps& ops = active_backend_or_throw();
  int M = 0;
  const TensorRef& in =
      sequence_input(cls, name, inputs, n_inputs, c_in, "C_in", std::max(c_in, c_out), M);
  const float* x = static_cast<const float*>(in.data);
  float* y = static_cast<float*>(output.data);
  const TensorShape shape{c_out, in.shape.h, in.shape.w};
  if (M == 1 && !weight_i8.empty() && ops.gemv_int8w_fp32) {
    single_token_int8(ops, x, weight_i8, device_weight_i8, w_scales, device_w_scales, bias, y, c_in,
                      c_out, gelu, ctx);
    return shape;
  }
  auto* q = static_cast<int8_t*>(scratch(cls, name, ctx, 4, uint64_t(M) * c_in));
  auto* s = static_cast<float*>(scratch(cls, name, ctx, 5, 4 * uint64_t(c_out)));
  const auto* p = static_cast<const uint8_t*>(packed.buffer.data);
  if (ops.device_kind != 0) {
    ops.seqgemm_int8(x, p, w_scales.data(), zero_bias.data(), floats_or_null(bias), q, s, y, M,
                     c_in, c_out, gelu, ctx.backend_handle);
    return shape;
  }
  cpu::seqgemm_int8(x, p, w_scales.data(), zero_bias.data(), floats_or_null(bias), q, s, y, M, c_in,
                    c_out, gelu, ctx.backend_handle);
  return shape;
}

void SeqGemmInt8::upload_weights(Allocator& allocator) {
  if (!allocator.is_device()) return;
  upload_packed(packed.buffer, allocator);
  device_weight_i8 = upload_bytes(weight_i8, allocator);
  device_w_scales = upload_bytes(w_scales, allocator);
}

// ---- BertEmbeddingsFp32 ----------------------------------------------------------------

BertEmbeddingsFp32::BertEmbeddingsFp32(const LayerArgs& args)
    : emb_size(args.get_int("emb_size", 128)) {
  if (emb_size < 1)
    layer_error("BertEmbeddingsFp32", args.node_name(),
                "emb_size must be at least 1, got " + std::to_string(emb_size));
}

void BertEmbeddingsFp32::load_weights(const TensorLookup& lookup) {
  const char* cls = "BertEmbeddingsFp32";
  const int64_t E = emb_size;
  auto table = [&](const char* suffix, bool required) {
    std::vector<float> t = required ? read_required<float>(lookup, cls, name, suffix, E)
                                    : read_optional<float>(lookup, cls, name, suffix, E);
    if (t.size() % size_t(E) != 0)
      layer_error(cls, name,
                  "tensor '" + name + suffix + "' has " + std::to_string(t.size()) +
                      " values, not a whole number of rows of emb_size " + std::to_string(E));
    return t;
  };
  word_weight = table(".word_weight", true);
  pos_weight = table(".pos_weight", false);
  type_weight = table(".type_weight", false);
  layernorm_weight = read_optional<float>(lookup, cls, name, ".layernorm.weight", E);
  layernorm_bias = read_optional<float>(lookup, cls, name, ".layernorm.bias", E);
  gamma_ = layernorm_weight.empty() ? std::vector<float>(size_t(E), 1.0f) : layernorm_weight;
  beta_ = layernorm_bias.empty() ? std::vector<float>(size_t(E), 0.0f) : layernorm_bias;
  gamma_.resize(size_t(E));
  beta_.resize(size_t(E));
}

TensorShape BertEmbeddingsFp32::output_shape(const TensorShape& in) {
  if (in.c == 1) return {emb_size, in.h, in.w};
  const int64_t T = in.count();
  return {emb_size, T > INT_MAX ? INT_MAX : int32_t(T), 1};
}

TensorShape BertEmbeddingsFp32::forward(const TensorRef* inputs, int n_inputs,
                                        const BufferView& output, const RunContext& ctx) {
  const char* cls = "BertEmbeddingsFp32";
  const TensorRef& in = layer_input(cls, name, inputs, n_inputs, 0);
  const int T = element_count(cls, name, in.shape);
  if (T > 0 && !in.data) layer_error(cls, name, "the input tensor is missing");
  const size_t E = size_t(emb_size);
  if (int64_t(T) * int64_t(E) > INT_MAX || (output.size && output.size < uint64_t(T) * E * 4))
    layer_error(cls, name, "input " + describe(in.shape) + " is too large");
  const size_t V = word_weight.size() / E, P = pos_weight.size() / E;
  if (!pos_weight.empty() && size_t(T) > P)
    layer_error(cls, name,
                "sequence of " + std::to_string(T) + " tokens is longer than the " +
                    std::to_string(P) + " positions of the position table");
  const float* ids = static_cast<const float*>(in.data);
  float* y = static_cast<float*>(output.data);
  for (int i = 0; i < T; ++i) {
    const float id = ids[i];
    if (!(id > -1.0f && id < float(V)))
      layer_error(cls, name,
                  "token id " + std::to_string(id) + " at position " + std::to_string(i) +
                      " is outside 0.." + std::to_string(V - 1));
  }
  for (int i = 0; i < T; ++i) {
    const float* w = word_weight.data() + size_t(int64_t(ids[i])) * E;
    float* e = y + size_t(i) * E;
    for (size_t j = 0; j < E; ++j) e[j] = w[j];
    if (!pos_weight.empty())
      for (size_t j = 0; j < E; ++j) e[j] += pos_weight[size_t(i) * E + j];
    if (!type_weight.empty())
      for (size_t j = 0; j < E; ++j) e[j] += type_weight[j];
  }
  cpu::layernorm_fp32(y, gamma_.data(), beta_.data(), y, T, int(E), 1e-12f, ctx.backend_handle);
  return {emb_size, T, 1};
}

MI_REGISTER_LAYER(kLayerNormFp32, LayerNormFp32);
MI_REGISTER_LAYER(kAttentionFp32, AttentionFp32);
MI_REGISTER_LAYER(kAttentionInt8, AttentionInt8);
MI_REGISTER_LAYER(kSeqGemmFp32, SeqGemmFp32);
MI_REGISTER_LAYER(kSeqGemmInt8, SeqGemmInt8);
MI_REGISTER_LAYER(kBertEmbeddingsFp32, BertEmbeddingsFp32);

}  // namespace mi
