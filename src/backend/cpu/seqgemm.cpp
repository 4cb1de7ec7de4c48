#include "backend/cpu/seqgemm.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "backend/cpu/activation.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/int8_arith.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

struct GemvQuantized;
struct GemvBlockScales;

// Below this many values a team costs more than it saves.
constexpr int64_t kGeluTeamThreshold = 32768;
// Single-token products of at least this many multiply-adds are shared by a team.
constexpr int64_t kGemvTeamThreshold = 262144;

}  // namespace

void gelu_fp32_shared(float* x, int64_t n) {
  if (n <= 0) return;
  const int threads = n >= kGeluTeamThreshold ? team_threads() : 1;
  if (threads < 2) {
    gelu_fp32_avx2(x, int(n), nullptr);
    return;
  }
  const int64_t groups = n / 8;
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    const int64_t g0 = split_begin(groups, t, T), g1 = split_begin(groups, t + 1, T);
    const int64_t len = (g1 - g0) * 8 + (t == T - 1 ? n % 8 : 0);
    gelu_fp32_avx2(x + g0 * 8, int(len), nullptr);
  }
}

void fake_quantize_u8(const float* x, float* y, size_t n, bool divide) {
  if (n == 0) return;
  // The range always holds 0, so that 0 stays exact and an all-positive input keeps its
  // values instead of collapsing onto the range width.
  float lo = 0.0f, hi = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
  }
  const float range = hi - lo;
  float scale, zp;
  if (range > 0.0f) {
    scale = range * 0.003921569f;
    zp = std::round(std::clamp(lo * (-254.99998f / range), 0.0f, 255.0f));
  } else {
    scale = 1e-8f;
    zp = std::round(std::clamp(lo * -1e8f, 0.0f, 255.0f));
  }
  const float inv = 1.0f / scale;
  for (size_t i = 0; i < n; ++i) {
    const float r = divide ? std::round(x[i] / scale) : std::round(inv * x[i]);
    y[i] = (std::clamp(r + zp, 0.0f, 255.0f) - zp) * scale;
  }
}

void seqgemm_fp32(const float* x, const float* W, const float* bias, float* y, int M, int K, int N,
                  bool gelu, const float* packed, void*) {
  if (M <= 0 || N <= 0) return;
  if (!packed) {
    gemm_fp32_ref(x, W, bias, y, false, M, K, N);
    if (gelu) gelu_fp32_shared(y, int64_t(M) * N);
    return;
  }
  // The GELU runs on each output tile just after its store, while it is in L1 (and inside the
  // product's team), unless gelu_fp32 would give the last M*N mod 8 values its scalar form.
  const bool fused = gelu && int64_t(M) * N % 8 == 0;
  gemm_packed_fp32_epilogue(x, packed, bias, y, fused ? Fp32Epilogue::kGelu : Fp32Epilogue::kNone,
                            M, K, N, false);
  if (gelu && !fused) gelu_fp32_shared(y, int64_t(M) * N);
}

void seqgemm_int8(const float* x, const uint8_t* packed, const float* w_scales,
                  const int64_t* bias64, const float* bias, int8_t* q_scratch, float* scale_scratch,
                  float* y, int M, int K, int N, bool gelu, void*) {
  if (M <= 0 || N <= 0) return;
  gemm_int8_dynamic(x, packed, w_scales, bias64, bias, q_scratch, scale_scratch, y, M, K, N,
                    nullptr);
  if (gelu) gelu_fp32_shared(y, int64_t(M) * N);
}

void gemv_int8w_fp32(const float* x, const int8_t* Wq, const float* w_scales, const float* bias,
                     float* y, int K, int N, void*) {
  if (N <= 0) return;
  int8_t* q = thread_scratch<GemvQuantized, int8_t>(std::max(K, 1));
  float s = 0.0f;
  quantize_rows_avx2(x, q, &s, 1, K);
  const int threads = int64_t(K) * N >= kGemvTeamThreshold ? team_threads() : 1;
  if (threads < 2) {
    gemv_int8_rows_avx2(q, s, Wq, w_scales, bias, y, K, 0, N);
    return;
  }
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    const int64_t n0 = split_begin(N, t, T), n1 = split_begin(N, t + 1, T);
    if (n0 < n1) gemv_int8_rows_avx2(q, s, Wq, w_scales, bias, y, K, int(n0), int(n1));
  }
}

void quantize_blocks_int8(const float* x, int8_t* q, float* scales, int64_t n, int B,
                          int64_t scale_stride) {
  for (int64_t b = 0; b * B < n; ++b) {
    const float* v = x + b * B;
    int8_t* out = q + b * B;
    float a = 0.0f;
    for (int k = 0; k < B; ++k) a = std::fmax(a, std::fabs(v[k]));
    if (!(a > 1e-8f)) {
      scales[b * scale_stride] = 1e-8f;
      std::fill(out, out + B, int8_t(0));
      continue;
    }
    scales[b * scale_stride] = a * 0.007874016f;
    const float inv = 127.0f / a;
    for (int k = 0; k < B; ++k)
      out[k] = int8_t(std::fmin(std::fmax(std::round(v[k] * inv), -127.0f), 127.0f));
  }
}

void gemv_int8_blocks_fp32(const float* x, const int8_t* Wq, const float* w_scales,
                           const float* bias, float* y, int K, int N, int B, void*) {
  if (N <= 0 || K <= 0) return;
  int8_t* q = thread_scratch<GemvQuantized, int8_t>(K);
  float* s = thread_scratch<GemvBlockScales, float>(K / B);
  quantize_blocks_int8(x, q, s, K, B, 1);
  const int threads = int64_t(K) * N >= kGemvTeamThreshold ? team_threads() : 1;
  if (threads < 2) {
    gemv_int8_blocks_rows_avx2(q, s, Wq, w_scales, bias, y, K, N, B, 0, N);
    return;
  }
  // Whole groups of eight rows per thread, so every row takes the same path at any count.
  const int64_t groups = (int64_t(N) + 7) / 8;
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    const int64_t n0 = split_begin(groups, t, T) * 8;
    const int64_t n1 = std::min<int64_t>(split_begin(groups, t + 1, T) * 8, N);
    if (n0 < n1) gemv_int8_blocks_rows_avx2(q, s, Wq, w_scales, bias, y, K, N, B, int(n0), int(n1));
  }
}

void seqgemm_fp32_ref(const float* x, const float* W, const float* bias, float* y, int M, int K,
                      int N, bool gelu) {
  gemm_fp32_ref(x, W, bias, y, false, M, K, N);
  if (gelu) gelu_fp32_ref(y, M * N, nullptr);
}

void gemv_int8w_fp32_ref(const float* x, const int8_t* Wq, const float* w_scales, const float* bias,
                         float* y, int K, int N) {
  std::vector<int8_t> q(size_t(std::max(K, 1)));
  float s = 0.0f;
  quantize_rows_ref(x, q.data(), &s, 1, K);
  for (int n = 0; n < N; ++n) {
    int32_t acc = 0;
    for (int k = 0; k < K; ++k) acc += int32_t(q[size_t(k)]) * Wq[size_t(n) * K + k];
    y[n] = std::fma(float(acc) * s, w_scales[n], bias ? bias[n] : 0.0f);
  }
}

void gemv_int8_blocks_fp32_ref(const float* x, const int8_t* Wq, const float* w_scales,
                               const float* bias, float* y, int K, int N, int B) {
  const int nb = K / B;
  std::vector<int8_t> q(size_t(std::max(K, 1)));
  std::vector<float> s(size_t(std::max(nb, 1)));
  quantize_blocks_int8(x, q.data(), s.data(), K, B, 1);
  for (int n = 0; n < N; ++n) {
    float acc = 0.0f;
    for (int b = 0; b < nb; ++b) {
      int32_t dot = 0;
      for (int k = b * B; k < (b + 1) * B; ++k)
        dot += int32_t(q[size_t(k)]) * Wq[size_t(n) * K + k];
      acc = std::fma(float(dot), s[size_t(b)] * w_scales[size_t(b) * N + n], acc);
    }
    y[n] = bias ? acc + bias[n] : acc;
  }
}

void install_seqgemm_ops(BackendOps& ops) {
  ops.seqgemm_fp32 = seqgemm_fp32;
  ops.seqgemm_int8 = seqgemm_int8;
  ops.gemv_int8w_fp32 = gemv_int8w_fp32;
}

}  // namespace mi::cpu
