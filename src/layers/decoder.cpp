#include "layers/decoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "backend/backend.h"
#include "backend/cpu/causal_attention.h"
#include "backend/cpu/decoder_ops.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

int64_t tokens_of(const TensorShape& s) { return int64_t(s.h) * s.w; }

}  // namespace

// ---- EmbeddingFp32 ------------------------------------------------------------------------

EmbeddingFp32::EmbeddingFp32(const LayerArgs& args)
    : num_embeddings_(args.get_int("num_embeddings", 0)),
      embedding_dim_(args.get_int("embedding_dim", 0)) {}

void EmbeddingFp32::load_weights(const TensorLookup& lookup) {
  const std::string tensor = name + ".weight";
  std::vector<int> shape;
  std::vector<uint8_t> bytes;
  if (!lookup(tensor, shape, bytes))
    layer_error("EmbeddingFp32", name, "tensor '" + tensor + "' is missing");
  if (shape.size() >= 2) {
    num_embeddings_ = shape[0];
    embedding_dim_ = shape[1];
  }
  // An empty table would make the clamped row index -1.
  if (num_embeddings_ < 1 || embedding_dim_ < 1)
    layer_error("EmbeddingFp32", name,
                "table '" + tensor + "' is " + std::to_string(num_embeddings_) + " x " +
                    std::to_string(embedding_dim_) + ": needs at least one row and one column");
  const int64_t need = int64_t(num_embeddings_) * embedding_dim_;
  const int64_t have = int64_t(bytes.size() / sizeof(float));
  if (have != need)
    layer_error("EmbeddingFp32", name,
                "table '" + tensor + "' holds " + std::to_string(have) + " values, " +
                    std::to_string(num_embeddings_) + " x " + std::to_string(embedding_dim_) +
                    " needs " + std::to_string(need));
  table_ = detail::tensor_values<float>(bytes);
}

// One row per id: ids given as a column (1, L, W) keep their layout; any other shape gives
// one output row for each of its values.
TensorShape EmbeddingFp32::output_shape(const TensorShape& in) {
  if (in.c == 1) return TensorShape{embedding_dim_, in.h, in.w};
  const int64_t n = in.count();
  return TensorShape{embedding_dim_, int32_t(std::min<int64_t>(n, INT32_MAX)), 1};
}

TensorShape EmbeddingFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                   const RunContext&) {
  const TensorRef& ids = layer_input("EmbeddingFp32", name, inputs, n_inputs, 0);
  if (table_.empty()) layer_error("EmbeddingFp32", name, "the table is not loaded");
  const int n = element_count("EmbeddingFp32", name, ids.shape);
  const auto* x = static_cast<const float*>(ids.data);
  for (int i = 0; i < n; ++i)
    if (std::isnan(x[i]))
      layer_error("EmbeddingFp32", name, "token id " + std::to_string(i) + " is NaN");
  const TensorShape out = output_shape(ids.shape);
  if (uint64_t(n) * uint64_t(embedding_dim_) * sizeof(float) > output.size)
    layer_error("EmbeddingFp32", name, "output buffer too small for " + describe(out));
  cpu::embedding_lookup_fp32(x, table_.data(), static_cast<float*>(output.data), n, num_embeddings_,
                             embedding_dim_);
  return out;
}

MI_REGISTER_LAYER(kEmbeddingFp32, EmbeddingFp32);

// ---- RmsNormFp32 --------------------------------------------------------------------------

RmsNormFp32::RmsNormFp32(const LayerArgs& args) : eps_(args.get_float("eps", 1e-6f)) {}

void RmsNormFp32::load_weights(const TensorLookup& lookup) {
  std::vector<uint8_t> bytes;
  if (detail::lookup_tensor(lookup, name + ".gamma", bytes))
    gamma_ = detail::tensor_values<float>(bytes);
}

TensorShape RmsNormFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                 const RunContext& ctx) {
  const TensorRef& x = layer_input("RmsNormFp32", name, inputs, n_inputs, 0);
  const int C = x.shape.c;
  if (int64_t(gamma_.size()) != C)
    layer_error("RmsNormFp32", name,
                "gamma holds " + std::to_string(gamma_.size()) + " values, the input " +
                    describe(x.shape) + " has " + std::to_string(C) + " channels");
  element_count("RmsNormFp32", name, x.shape);
  active_backend_or_throw().rms_norm_fp32(static_cast<const float*>(x.data), gamma_.data(),
                                          static_cast<float*>(output.data), int(tokens_of(x.shape)),
                                          C, eps_, ctx.backend_handle);
  return x.shape;
}

MI_REGISTER_LAYER(kRmsNormFp32, RmsNormFp32);

// ---- ElemwiseMulFp32 ----------------------------------------------------------------------

ElemwiseMulFp32::ElemwiseMulFp32(const LayerArgs&) {}

TensorShape ElemwiseMulFp32::output_shape_n(const TensorShape* shapes, int count) {
  return count >= 1 ? shapes[0] : TensorShape{};
}

TensorShape ElemwiseMulFp32::forward(const TensorRef* inputs, int n_inputs,
                                     const BufferView& output, const RunContext& ctx) {
  const TensorRef& a = layer_input("ElemwiseMulFp32", name, inputs, n_inputs, 0);
  const TensorRef& b = layer_input("ElemwiseMulFp32", name, inputs, n_inputs, 1);
  if (a.shape.count() != b.shape.count())
    layer_error("ElemwiseMulFp32", name,
                "inputs " + describe(a.shape) + " and " + describe(b.shape) + " differ in size");
  active_backend_or_throw().elemwise_mul_fp32(
      static_cast<const float*>(a.data), static_cast<const float*>(b.data),
      static_cast<float*>(output.data), element_count("ElemwiseMulFp32", name, a.shape),
      ctx.backend_handle);
  return a.shape;
}

MI_REGISTER_LAYER(kElemwiseMulFp32, ElemwiseMulFp32);

// ---- CausalAttnCoreFp32 -------------------------------------------------------------------

CausalAttnCoreFp32::CausalAttnCoreFp32(const LayerArgs& args)
    : num_q_heads_(args.get_int("num_q_heads", 0)),
      num_kv_heads_(args.get_int("num_kv_heads", 0)),
      head_dim_(args.get_int("head_dim", 0)),
      rope_theta_(args.get_float("rope_theta", 10000.0f)) {
  const std::string& node = args.node_name();
  if (num_kv_heads_ < 1)
    layer_error("CausalAttnCoreFp32", node,
                "num_kv_heads must be at least 1, got " + std::to_string(num_kv_heads_));
  if (num_q_heads_ < 1 || num_q_heads_ % num_kv_heads_ != 0)
    layer_error("CausalAttnCoreFp32", node,
                "num_q_heads must be a positive multiple of num_kv_heads (" +
                    std::to_string(num_kv_heads_) + "), got " + std::to_string(num_q_heads_));
  if (head_dim_ < 2 || head_dim_ % 2 != 0)
    layer_error("CausalAttnCoreFp32", node,
                "head_dim must be even and at least 2, got " + std::to_string(head_dim_));
  if (int64_t(num_q_heads_) * head_dim_ > INT32_MAX)
    layer_error("CausalAttnCoreFp32", node, "num_q_heads x head_dim exceeds 2^31 - 1");
  if (!std::isfinite(rope_theta_) || !(rope_theta_ > 0.0f))
    layer_error("CausalAttnCoreFp32", node,
                "rope_theta must be finite and positive, got " + std::to_string(rope_theta_));
}

TensorShape CausalAttnCoreFp32::output_shape_n(const TensorShape* shapes, int count) {
  return count >= 1 ? shapes[0] : TensorShape{};
}

void CausalAttnCoreFp32::release_caches() { std::vector<float>().swap(work_); }

// A new zeroed cache of `need` positions holding the first `keep` key and value rows of the
// old one.
void CausalAttnCoreFp32::grow_cache(int64_t need, int64_t keep, Allocator& allocator) {
  if (need > INT32_MAX)
    layer_error("CausalAttnCoreFp32", name,
                "a cache of " + std::to_string(need) + " positions exceeds 2^31 - 1");
  const uint64_t row = uint64_t(num_kv_heads_) * uint64_t(head_dim_) * sizeof(float);
  const uint64_t bytes = row * uint64_t(need) * 2;
  Buffer fresh;
  try {
    fresh = allocator.make_buffer(size_t(bytes));
  } catch (const std::bad_alloc&) {
    layer_error("CausalAttnCoreFp32", name,
                "cannot allocate a key/value cache of " + std::to_string(need) + " positions (" +
                    std::to_string(bytes) + " bytes)");
  }
  if (bytes > 0) allocator.zero(fresh.data, size_t(bytes));
  if (keep > 0 && kv_cache_.data) {
    auto* dst = static_cast<uint8_t*>(fresh.data);
    const auto* src = static_cast<const uint8_t*>(kv_cache_.data);
    const uint64_t kept = row * uint64_t(keep);
    allocator.copy_device(dst, src, size_t(kept));
    allocator.copy_device(dst + row * uint64_t(need), src + row * uint64_t(max_len_), size_t(kept));
  }
  kv_cache_ = std::move(fresh);
  max_len_ = int32_t(need);
}

void CausalAttnCoreFp32::reset_state(int32_t capacity, Allocator& allocator) {
  if (capacity < 0)
    layer_error("CausalAttnCoreFp32", name,
                "cache capacity must not be negative, got " + std::to_string(capacity));
  filled_ = 0;
  grow_cache(capacity, 0, allocator);
}

TensorShape CausalAttnCoreFp32::forward(const TensorRef* inputs, int n_inputs,
                                        const BufferView& output, const RunContext& ctx) {
  const TensorRef& q = layer_input("CausalAttnCoreFp32", name, inputs, n_inputs, 0);
  const TensorRef& k = layer_input("CausalAttnCoreFp32", name, inputs, n_inputs, 1);
  const TensorRef& v = layer_input("CausalAttnCoreFp32", name, inputs, n_inputs, 2);
  const int64_t qw = int64_t(num_q_heads_) * head_dim_;
  const int64_t kw = int64_t(num_kv_heads_) * head_dim_;
  const int64_t T = tokens_of(q.shape);
  auto check_width = [&](const char* what, const TensorRef& t, int64_t width) {
    if (t.shape.c != width || tokens_of(t.shape) != T)
      layer_error("CausalAttnCoreFp32", name,
                  std::string(what) + " is " + describe(t.shape) + ", needs " +
                      std::to_string(width) + " values for each of " + std::to_string(T) +
                      " tokens");
  };
  check_width("q", q, qw);
  check_width("k", k, kw);
  check_width("v", v, kw);
  const int64_t P = ctx.seq_pos;
  if (P < 0 || P > filled_)
    layer_error("CausalAttnCoreFp32", name,
                "seq_pos " + std::to_string(P) + " is outside the " + std::to_string(filled_) +
                    " positions already filled");
  if (P + T > INT32_MAX) layer_error("CausalAttnCoreFp32", name, "positions beyond 2^31 - 1");
  if (uint64_t(T) * uint64_t(qw) * sizeof(float) > output.size)
    layer_error("CausalAttnCoreFp32", name, "output buffer too small for " + describe(q.shape));
  BackendOps& ops = active_backend_or_throw();
  if (P + T > max_len_) {
    // Doubling keeps token-by-token decoding from copying the cache at every step.
    const int64_t want =
        std::max<int64_t>(P + T, std::min<int64_t>(2 * int64_t(max_len_), INT32_MAX));
    grow_cache(want, P, *ops.allocator());
  }
  const int64_t work_floats =
      cpu::causal_attn_work_floats(int(T), num_q_heads_, num_kv_heads_, head_dim_);
  if (int64_t(work_.size()) < work_floats) work_.resize(size_t(work_floats));
  ops.causal_attn_core_fp32(static_cast<const float*>(q.data), static_cast<const float*>(k.data),
                            static_cast<const float*>(v.data), static_cast<float*>(kv_cache_.data),
                            int(P), max_len_, static_cast<float*>(output.data), int(T),
                            num_q_heads_, num_kv_heads_, head_dim_, int(P), rope_theta_,
                            ctx.seq_flag, work_.data(), ctx.backend_handle);
  filled_ = P + T;
  return q.shape;
}

MI_REGISTER_LAYER(kCausalAttnCoreFp32, CausalAttnCoreFp32);

}  // namespace mi
