#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#include "backend/cpu/activation_avx2.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/lanes_avx2.h"

namespace mi::cpu {

namespace {

// The GELU over a stored tile of `rows` rows and `cols` columns, while it is in L1. Kept out of
// line: inlined, its constants take the registers of the product's loop.
__attribute__((noinline)) void gelu_tile(float* C, int N, int rows, int cols) {
  for (int r = 0; r < rows; ++r) {
    float* c = C + size_t(r) * N;
    int j = 0;
    for (; j + 8 <= cols; j += 8) _mm256_storeu_ps(c + j, gelu8(_mm256_loadu_ps(c + j)));
    if (j < cols) store_partial(c + j, gelu8(load_partial(c + j, cols - j)), cols - j);
  }
}

// ROWS rows of A (stride K) times PANELS consecutive panels (8 columns each); the last
// panel stores only `w` columns. `b` points at the first panel, `pstride` floats apart.
// GELU applies gelu8 to the stored tile.
template <int ROWS, int PANELS, bool PREFETCH, bool GELU>
inline void tile(const float* A, int K, const float* b, size_t pstride, const __m256* bias,
                 float* C, int N, bool relu, int w) {
  // The row and panel loops are unrolled in full so that the sums stay in registers.
  __m256 acc[ROWS][PANELS];
#pragma GCC unroll 8
  for (int r = 0; r < ROWS; ++r)
#pragma GCC unroll 8
    for (int p = 0; p < PANELS; ++p) acc[r][p] = _mm256_setzero_ps();
  for (int k = 0; k < K; ++k) {
    if (PREFETCH && (k & 3) == 0)
#pragma GCC unroll 8
      for (int p = 0; p < PANELS; ++p) {
        const char* ahead = reinterpret_cast<const char*>(b + p * pstride + size_t(k) * 8) + 256;
        _mm_prefetch(ahead, _MM_HINT_T0);
        _mm_prefetch(ahead + 64, _MM_HINT_T0);
      }
    __m256 bk[PANELS];
#pragma GCC unroll 8
    for (int p = 0; p < PANELS; ++p) bk[p] = _mm256_loadu_ps(b + p * pstride + size_t(k) * 8);
#pragma GCC unroll 8
    for (int r = 0; r < ROWS; ++r) {
      const __m256 a = _mm256_broadcast_ss(A + size_t(r) * K + k);
#pragma GCC unroll 8
      for (int p = 0; p < PANELS; ++p) acc[r][p] = _mm256_fmadd_ps(a, bk[p], acc[r][p]);
    }
  }

  for (int r = 0; r < ROWS; ++r)
    for (int p = 0; p < PANELS; ++p) {
      __m256 v = _mm256_add_ps(acc[r][p], bias[p]);
      if (relu) v = relu8(v);
      store_partial(C + size_t(r) * N + p * 8, v, p == PANELS - 1 ? w : 8);
    }
  if constexpr (GELU) gelu_tile(C, N, ROWS, (PANELS - 1) * 8 + w);
}

// 6 rows by 2 panels keeps the 12 accumulators, the two panel rows and the broadcast in
// the 16 vector registers; 252 rows of A stream past one panel pair.
constexpr int kTileRows = 6;
constexpr int kChunkRows = 42 * kTileRows;

template <int ROWS, bool GELU>
void row_tile(const float* A, int K, const float* packed, size_t pstride, const float* bias,
              float* C, bool relu, int N, int p0, int q, int p1) {
  // Fewer than three rows: four panels side by side give enough independent FMA chains to
  // hide the FMA latency.
  constexpr int kWide = ROWS < 3 ? 4 : 2;
  constexpr bool kPrefetch = ROWS == kTileRows;
  int p = p0;
  for (; p + kWide <= q; p += kWide) {
    __m256 bv[kWide];
    for (int i = 0; i < kWide; ++i) bv[i] = load_partial(bias ? bias + (p + i) * 8 : nullptr, 8);
    tile<ROWS, kWide, kPrefetch, GELU>(A, K, packed + p * pstride, pstride, bv, C + p * 8, N, relu,
                                       8);
  }
  for (; p + 2 <= q; p += 2) {
    const __m256 bv[2] = {load_partial(bias ? bias + p * 8 : nullptr, 8),
                          load_partial(bias ? bias + p * 8 + 8 : nullptr, 8)};
    tile<ROWS, 2, kPrefetch, GELU>(A, K, packed + p * pstride, pstride, bv, C + p * 8, N, relu, 8);
  }
  for (; p < p1; ++p) {
    const int w = std::min(8, N - 8 * p);
    const __m256 bv[1] = {load_partial(bias ? bias + p * 8 : nullptr, w)};
    tile<ROWS, 1, kPrefetch, GELU>(A, K, packed + p * pstride, pstride, bv, C + p * 8, N, relu, w);
  }
}

using RowTileFn = void (*)(const float*, int, const float*, size_t, const float*, float*, bool, int,
                           int, int, int);
constexpr RowTileFn kRowTiles[2][kTileRows + 1] = {
    {nullptr, row_tile<1, false>, row_tile<2, false>, row_tile<3, false>, row_tile<4, false>,
     row_tile<5, false>, row_tile<6, false>},
    {nullptr, row_tile<1, true>, row_tile<2, true>, row_tile<3, true>, row_tile<4, true>,
     row_tile<5, true>, row_tile<6, true>}};

// Rows [m0, m1) against panels [p0, p1), of which [p0, q) are whole 8-column panels.
void share_rows(const float* A, const float* packed, const float* bias, float* C, Fp32Epilogue epi,
                int K, int N, int p0, int q, int p1, int m0, int m1) {
  const size_t pstride = size_t(K) * 8;
  const RowTileFn* tiles = kRowTiles[epi == Fp32Epilogue::kGelu];
  const bool relu = epi == Fp32Epilogue::kRelu;
  for (int c0 = m0; c0 < m1; c0 += kChunkRows) {
    const int c1 = std::min(c0 + kChunkRows, m1);
    if (c1 - c0 < 3) {
      tiles[c1 - c0](A + size_t(c0) * K, K, packed, pstride, bias, C + size_t(c0) * N, relu, N, p0,
                     q, p1);
      continue;
    }
    for (int p = p0; p < q; p += 2) {
      const int pe = std::min(p + 2, q);
      for (int m = c0; m < c1; m += kTileRows)
        tiles[std::min(kTileRows, c1 - m)](A + size_t(m) * K, K, packed, pstride, bias,
                                           C + size_t(m) * N, relu, N, p, pe, pe);
    }
    for (int m = c0; m < c1 && q < p1; m += kTileRows)
      tiles[std::min(kTileRows, c1 - m)](A + size_t(m) * K, K, packed, pstride, bias,
                                         C + size_t(m) * N, relu, N, q, q, p1);
  }
}

}  // namespace

void gemm_fp32_share_avx2(const float* A, const float* packed, const float* bias, float* C,
                          Fp32Epilogue epi, int M, int K, int N, int p0, int p1, int r0, int r1,
                          bool tail) {
  int q = p0;
  while (q < p1 && 8 * q + 8 <= N) ++q;
  const int full = M / 8 * 8;
  int m1 = 8 * r1;
  if (tail && m1 == full) {
    m1 = M;
    tail = false;
  }
  if (8 * r0 < m1) share_rows(A, packed, bias, C, epi, K, N, p0, q, p1, 8 * r0, m1);
  if (tail && full < M) share_rows(A, packed, bias, C, epi, K, N, p0, q, p1, full, M);
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
