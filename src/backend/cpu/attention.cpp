#include "backend/cpu/attention.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "backend/cpu/activation.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/seqgemm.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

struct HeadQuery;
struct HeadKeys;
struct HeadValues;

// Below this many score multiply-adds (T * T * E) a team costs more than it saves.
constexpr int64_t kAttnTeamThreshold = 65536;

using HeadFn = void (*)(const float*, const float*, const float*, float*, int, int, int, int, float,
                        bool);

// Copies head h of the T rows of 3E floats into q (T x d), kt (d x Tp, transposed, padding
// columns 0.0) and v (T x d).
void copy_head(const float* qkv, int T, int Tp, int E, int d, int h, float* q, float* kt,
               float* v) {
  const size_t row = size_t(3) * E;
  for (int t = 0; t < T; ++t) {
    const float* src = qkv + size_t(t) * row + size_t(h) * d;
    std::memcpy(q + size_t(t) * d, src, size_t(d) * sizeof(float));
    std::memcpy(v + size_t(t) * d, src + 2 * size_t(E), size_t(d) * sizeof(float));
    for (int k = 0; k < d; ++k) kt[size_t(k) * Tp + t] = src[E + k];
  }
  for (int k = 0; k < d; ++k) std::fill(kt + size_t(k) * Tp + T, kt + size_t(k + 1) * Tp, 0.0f);
}

void run_heads(const float* qkv, float* out, int T, int E, int num_heads, bool poly_exp,
               HeadFn head, bool serial) {
  std::fill(out, out + size_t(T) * E, 0.0f);
  if (T <= 0 || E <= 0 || num_heads < 1) return;
  const int d = E / num_heads;
  if (d < 1) return;
  const int Tp = (T + 7) / 8 * 8;
  const float scale = 1.0f / std::sqrt(float(d));
  auto one = [&](int h) {
    float* q = thread_scratch<HeadQuery, float>(int64_t(T) * d);
    float* kt = thread_scratch<HeadKeys, float>(int64_t(Tp) * d);
    float* v = thread_scratch<HeadValues, float>(int64_t(T) * d);
    copy_head(qkv, T, Tp, E, d, h, q, kt, v);
    head(q, kt, v, out + size_t(h) * d, E, T, Tp, d, scale, poly_exp);
  };
  const bool worth_a_team = int64_t(T) * T * E >= kAttnTeamThreshold;
  const int threads = serial || !worth_a_team ? 1 : std::min(team_threads(), num_heads);
  if (threads < 2) {
    for (int h = 0; h < num_heads; ++h) one(h);
    return;
  }
#pragma omp parallel for schedule(static) num_threads(threads)
  for (int h = 0; h < num_heads; ++h) one(h);
}

}  // namespace

void attention_heads(const float* qkv, float* out, int T, int E, int num_heads, bool poly_exp) {
  run_heads(qkv, out, T, E, num_heads, poly_exp, attention_head_avx2, false);
}

void attention_head_ref(const float* q, const float* kt, const float* v, float* out, int ld, int T,
                        int Tp, int d, float scale, bool poly_exp) {
  const int B = kAttnBlock;
  std::vector<float> S(size_t(B) * B), O(size_t(B) * d), m(static_cast<size_t>(B)),
      l(static_cast<size_t>(B));
  for (int i0 = 0; i0 < T; i0 += B) {
    const int rows = std::min(B, T - i0);
    std::fill(m.begin(), m.end(), -std::numeric_limits<float>::infinity());
    std::fill(l.begin(), l.end(), 0.0f);
    std::fill(O.begin(), O.end(), 0.0f);
    for (int j0 = 0; j0 < T; j0 += B) {
      const int n = std::min(B, T - j0);
      const int body = n - n % 8;
      for (int i = 0; i < rows; ++i) {
        float* s = &S[size_t(i) * B];
        const float* qi = q + size_t(i0 + i) * d;
        for (int j = 0; j < n; ++j) {
          float acc = 0.0f;
          for (int k = 0; k < d; ++k) acc = std::fma(qi[k], kt[size_t(k) * Tp + j0 + j], acc);
          s[j] = acc * scale;
        }
        float mb = -std::numeric_limits<float>::infinity();
        for (int j = 0; j < n; ++j) mb = std::max(mb, s[j]);
        float lanes[8] = {};
        for (int j = 0; j < n; ++j) {
          const float z = s[j] - mb;
          s[j] = j < body && poly_exp ? exp_poly(z) : std::exp(z);
          if (j < body) lanes[j % 8] += s[j];
        }
        float lb = reduce8_ref(lanes);
        for (int j = body; j < n; ++j) lb += s[j];
        const float mn = std::max(m[size_t(i)], mb);
        const float alpha = std::exp(m[size_t(i)] - mn);
        const float beta = std::exp(mb - mn);
        float* o = &O[size_t(i) * d];
        for (int c = 0; c < d; ++c) {
          float acc = alpha * o[c];
          for (int j = 0; j < n; ++j) acc = std::fma(beta * s[j], v[size_t(j0 + j) * d + c], acc);
          o[c] = acc;
        }
        l[size_t(i)] = std::fma(beta, lb, alpha * l[size_t(i)]);
        m[size_t(i)] = mn;
      }
    }
    for (int i = 0; i < rows; ++i) {
      const float inv = 1.0f / l[size_t(i)];
      for (int c = 0; c < d; ++c) out[size_t(i0 + i) * ld + c] = O[size_t(i) * d + c] * inv;
    }
  }
}

void attention_fp32(const float* x, const float* w_qkv, const float* b_qkv, const float* w_proj,
                    const float* b_proj, float* y, int T, int E, int num_heads, float* work,
                    const float* qkv_packed, const float* proj_packed, void* ctx,
                    bool dynamic_quantize) {
  if (T <= 0 || E <= 0) return;
  using Packed = std::unique_ptr<float[], void (*)(void*)>;
  Packed own_qkv(nullptr, free_packed_fp32), own_proj(nullptr, free_packed_fp32);
  if (!qkv_packed) {
    own_qkv.reset(pack_weights_fp32(w_qkv, 3 * E, E));
    qkv_packed = own_qkv.get();
  }
  if (!proj_packed) {
    own_proj.reset(pack_weights_fp32(w_proj, E, E));
    proj_packed = own_proj.get();
  }
  const size_t n = size_t(T) * E;
  gemm_packed_fp32(x, qkv_packed, b_qkv, work, false, T, E, 3 * E, false, ctx);
  attention_heads(work, y, T, E, num_heads, true);
  std::memcpy(work, y, n * sizeof(float));
  if (dynamic_quantize) fake_quantize_u8(work, work, n, true);
  gemm_packed_fp32(work, proj_packed, b_proj, y, false, T, E, E, false, ctx);
}

void attention_int8(const float* x, const uint8_t* qkv_packed, const float* w_qkv_scales,
                    const int64_t* qkv_bias64, const float* b_qkv, const uint8_t* proj_packed,
                    const float* w_proj_scales, const int64_t* proj_bias64, const float* b_proj,
                    float* y, int T, int E, int num_heads, float* work, int8_t* q_scratch,
                    float* scale_scratch, const int32_t*, const int32_t*, void*) {
  if (T <= 0 || E <= 0) return;
  gemm_int8_dynamic(x, qkv_packed, w_qkv_scales, qkv_bias64, b_qkv, q_scratch, scale_scratch, work,
                    T, E, 3 * E, nullptr);
  attention_heads(work, y, T, E, num_heads, false);
  std::memcpy(work, y, size_t(T) * E * sizeof(float));
  gemm_int8_dynamic(work, proj_packed, w_proj_scales, proj_bias64, b_proj, q_scratch, scale_scratch,
                    y, T, E, E, nullptr);
}

namespace {

void attention_int8_entry(const float* x, const uint8_t* qkv_packed, const float* w_qkv_scales,
                          const int64_t* qkv_bias64, const float* b_qkv, const uint8_t* proj_packed,
                          const float* w_proj_scales, const int64_t* proj_bias64,
                          const float* b_proj, float* y, int T, int E, int num_heads, float* work,
                          int8_t* q_scratch, float* scale_scratch, void* ctx) {
  attention_int8(x, qkv_packed, w_qkv_scales, qkv_bias64, b_qkv, proj_packed, w_proj_scales,
                 proj_bias64, b_proj, y, T, E, num_heads, work, q_scratch, scale_scratch, nullptr,
                 nullptr, ctx);
}

}  // namespace

void attention_fp32_ref(const float* x, const float* w_qkv, const float* b_qkv, const float* w_proj,
                        const float* b_proj, float* y, int T, int E, int num_heads,
                        bool dynamic_quantize) {
  std::vector<float> qkv(size_t(T) * 3 * E), ctx(size_t(T) * E);
  gemm_fp32_ref(x, w_qkv, b_qkv, qkv.data(), false, T, E, 3 * E);
  run_heads(qkv.data(), ctx.data(), T, E, num_heads, true, attention_head_ref, true);
  if (dynamic_quantize) fake_quantize_u8(ctx.data(), ctx.data(), ctx.size(), true);
  gemm_fp32_ref(ctx.data(), w_proj, b_proj, y, false, T, E, E);
}

void attention_int8_ref(const float* x, const int8_t* w_qkv, const float* w_qkv_scales,
                        const float* b_qkv, const int8_t* w_proj, const float* w_proj_scales,
                        const float* b_proj, float* y, int T, int E, int num_heads) {
  std::vector<float> qkv(size_t(T) * 3 * E), ctx(size_t(T) * E);
  const std::vector<int64_t> zeros(size_t(3) * E, 0);
  gemm_int8_dynamic_ref(x, w_qkv, w_qkv_scales, zeros.data(), b_qkv, qkv.data(), T, E, 3 * E);
  run_heads(qkv.data(), ctx.data(), T, E, num_heads, false, attention_head_ref, true);
  gemm_int8_dynamic_ref(ctx.data(), w_proj, w_proj_scales, zeros.data(), b_proj, y, T, E, E);
}

void install_attention_ops(BackendOps& ops) {
  ops.attention_fp32 = attention_fp32;
  ops.attention_int8 = attention_int8_entry;
}

}  // namespace mi::cpu
