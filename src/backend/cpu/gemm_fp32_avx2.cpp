#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#include "backend/cpu/gemm_fp32.h"

namespace mi::cpu {

namespace {

inline __m256 relu8(__m256 v) {
  return _mm256_and_ps(v, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ));
}

inline __m256 load_bias(const float* bias, int w) {
  if (!bias) return _mm256_setzero_ps();
  if (w == 8) return _mm256_loadu_ps(bias);
  alignas(32) float tmp[8] = {};
  std::copy(bias, bias + w, tmp);
  return _mm256_load_ps(tmp);
}

inline void store_row(float* c, __m256 v, int w) {
  if (w == 8) {
    _mm256_storeu_ps(c, v);
    return;
  }
  alignas(32) float tmp[8];
  _mm256_store_ps(tmp, v);
  for (int j = 0; j < w; ++j) c[j] = tmp[j];
}

// ROWS rows of A (stride K) times PANELS consecutive panels (8 columns each); the last
// panel stores only `w` columns. `b` points at the first panel, `pstride` floats apart.
template <int ROWS, int PANELS, bool PREFETCH>
inline void tile(const float* A, int K, const float* b, size_t pstride, const __m256* bias,
                 float* C, int N, bool relu, int w) {
  __m256 acc[ROWS][PANELS];
  for (int r = 0; r < ROWS; ++r)
    for (int p = 0; p < PANELS; ++p) acc[r][p] = _mm256_setzero_ps();

  auto step = [&](int k) {
    __m256 bk[PANELS];
    for (int p = 0; p < PANELS; ++p) bk[p] = _mm256_loadu_ps(b + p * pstride + size_t(k) * 8);
    for (int r = 0; r < ROWS; ++r) {
      const __m256 a = _mm256_broadcast_ss(A + size_t(r) * K + k);
      for (int p = 0; p < PANELS; ++p) acc[r][p] = _mm256_fmadd_ps(a, bk[p], acc[r][p]);
    }
  };

  int k = 0;
  for (; k + 4 <= K; k += 4) {
    if (PREFETCH)
      for (int p = 0; p < PANELS; ++p) {
        const char* ahead = reinterpret_cast<const char*>(b + p * pstride + size_t(k) * 8) + 256;
        _mm_prefetch(ahead, _MM_HINT_T0);
        _mm_prefetch(ahead + 64, _MM_HINT_T0);
      }
    step(k);
    step(k + 1);
    step(k + 2);
    step(k + 3);
  }
  for (; k < K; ++k) step(k);

  for (int r = 0; r < ROWS; ++r)
    for (int p = 0; p < PANELS; ++p) {
      __m256 v = _mm256_add_ps(acc[r][p], bias[p]);
      if (relu) v = relu8(v);
      store_row(C + size_t(r) * N + p * 8, v, p == PANELS - 1 ? w : 8);
    }
}

constexpr int kChunkBlocks = 32;  // 256 rows of A stream past one panel pair

}  // namespace

void gemm_fp32_share_avx2(const float* A, const float* packed, const float* bias, float* C,
                          bool relu, int M, int K, int N, int p0, int p1, int r0, int r1,
                          bool tail) {
  const size_t pstride = size_t(K) * 8;
  int q = p0;
  while (q + 1 < p1 && 8 * q + 16 <= N) q += 2;

  for (int c0 = r0; c0 < r1; c0 += kChunkBlocks) {
    const int c1 = std::min(c0 + kChunkBlocks, r1);
    for (int p = p0; p < q; p += 2) {
      const __m256 bv[2] = {load_bias(bias ? bias + p * 8 : nullptr, 8),
                            load_bias(bias ? bias + p * 8 + 8 : nullptr, 8)};
      for (int rb = c0; rb < c1; ++rb)
        tile<8, 2, true>(A + size_t(rb) * 8 * K, K, packed + p * pstride, pstride, bv,
                         C + size_t(rb) * 8 * N + p * 8, N, relu, 8);
    }
    for (int p = q; p < p1; ++p) {
      const int w = std::min(8, N - 8 * p);
      const __m256 bv[1] = {load_bias(bias ? bias + p * 8 : nullptr, w)};
      for (int rb = c0; rb < c1; ++rb)
        tile<8, 1, true>(A + size_t(rb) * 8 * K, K, packed + p * pstride, pstride, bv,
                         C + size_t(rb) * 8 * N + p * 8, N, relu, w);
    }
  }

  if (!tail) return;
  for (int m = (M / 8) * 8; m < M; ++m)
    for (int p = p0; p < p1; ++p) {
      const int w = std::min(8, N - 8 * p);
      const __m256 bv[1] = {load_bias(bias ? bias + p * 8 : nullptr, w)};
      tile<1, 1, false>(A + size_t(m) * K, K, packed + p * pstride, pstride, bv,
                        C + size_t(m) * N + p * 8, N, relu, w);
    }
}

void relu_fp32_avx2(float* x, int n) {
  int i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, relu8(_mm256_loadu_ps(x + i)));
  for (; i + 4 <= n; i += 4) {
    const __m128 v = _mm_loadu_ps(x + i);
    _mm_storeu_ps(x + i, _mm_and_ps(v, _mm_cmpgt_ps(v, _mm_setzero_ps())));
  }
  for (; i < n; ++i) x[i] = x[i] > 0.0f ? x[i] : 0.0f;
}

}  // namespace mi::cpu
