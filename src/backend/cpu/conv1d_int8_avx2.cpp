#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "backend/cpu/conv1d_int8.h"
#include "backend/cpu/lanes_avx2.h"

namespace mi::cpu {

namespace {

// Five rows by two panels: 10 sums, the two panels' weights, the vector of ones and the
// products fit the 16 vector registers (the unsigned-byte product of gemm_int8).
constexpr int kRows = 5;

// Output rows per chunk: the chunk's input rows stay in L1 while every panel pair walks
// down them.
constexpr int64_t kChunkBytes = 24 << 10;

struct Panels {
  const uint8_t* w[2];
  const int32_t* off[2];
  int n0, width[2];
};

// Output rows [m, m + ROWS) of PANELS panels: for each tap, the exact int32 sums of
// (q + 128) * w, less 128 * the weight sums, dequantised into the float rows in tap order.
template <int ROWS, int PANELS>
void tile(const uint8_t* q, size_t astride, const float* scales, const Panels& p, int kg, int K,
          int dilation, const float* w_scales, const float* bias, float* output, int C_out, int m) {
  alignas(32) float y[ROWS][PANELS][8];
  __m256 cs[PANELS], b[PANELS];
  for (int j = 0; j < PANELS; ++j) {
    alignas(32) float c[8] = {}, bb[8] = {};
    std::copy(w_scales + p.n0 + 8 * j, w_scales + p.n0 + 8 * j + p.width[j], c);
    if (bias) std::copy(bias + p.n0 + 8 * j, bias + p.n0 + 8 * j + p.width[j], bb);
    cs[j] = _mm256_load_ps(c);
    b[j] = _mm256_load_ps(bb);
  }
  const size_t tap_bytes = size_t(kg) * 32;
  for (int k = 0; k < K; ++k) {
    const uint8_t* a = q + (size_t(m) + size_t(k) * dilation) * astride;
    __m256i sum[ROWS][PANELS];
#pragma GCC unroll 8
    for (int r = 0; r < ROWS; ++r)
#pragma GCC unroll 8
      for (int j = 0; j < PANELS; ++j) sum[r][j] = _mm256_setzero_si256();
    for (int g = 0; g < kg; ++g) {
      __m256i w[PANELS];
#pragma GCC unroll 8
      for (int j = 0; j < PANELS; ++j)
        w[j] = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(p.w[j] + k * tap_bytes + size_t(g) * 32));
      madd_u8_rows(sum, w, a + 4 * size_t(g), astride);
    }
#pragma GCC unroll 8
    for (int r = 0; r < ROWS; ++r) {
      const __m256 rs = _mm256_set1_ps(scales[size_t(m) + r + size_t(k) * dilation]);
#pragma GCC unroll 8
      for (int j = 0; j < PANELS; ++j) {
        const __m256i off = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.off[j] + 8 * k));
        const __m256 s = _mm256_cvtepi32_ps(_mm256_sub_epi32(sum[r][j], off));
        const __m256 sc = _mm256_mul_ps(rs, cs[j]);
        __m256 v;
        if (k > 0)
          v = _mm256_fmadd_ps(sc, s, _mm256_load_ps(y[r][j]));
        else
          v = bias ? _mm256_fmadd_ps(sc, s, b[j]) : _mm256_mul_ps(sc, s);
        _mm256_store_ps(y[r][j], v);
      }
    }
  }
  for (int r = 0; r < ROWS; ++r)
    for (int j = 0; j < PANELS; ++j) {
      float* o = output + size_t(m + r) * C_out + p.n0 + 8 * j;
      if (p.width[j] == 8)
        _mm256_storeu_ps(o, _mm256_load_ps(y[r][j]));
      else
        std::copy(y[r][j], y[r][j] + p.width[j], o);
    }
}

using TileFn = void (*)(const uint8_t*, size_t, const float*, const Panels&, int, int, int,
                        const float*, const float*, float*, int, int);

template <int ROWS>
constexpr TileFn kTiles[2] = {tile<ROWS, 1>, tile<ROWS, 2>};

constexpr const TileFn* kTileByRows[kRows + 1] = {nullptr,   kTiles<1>, kTiles<2>,
                                                  kTiles<3>, kTiles<4>, kTiles<5>};

}  // namespace

void offset_row_avx2(uint8_t* q, int n, int stride) {
  const __m256i flip = _mm256_set1_epi8(-128);
  int i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i* p = reinterpret_cast<__m256i*>(q + i);
    _mm256_storeu_si256(p, _mm256_xor_si256(_mm256_loadu_si256(p), flip));
  }
  for (; i < n; ++i) q[i] ^= 0x80;
  for (; i < stride; ++i) q[i] = 0;
}

void conv1d_int8_narrow_share_avx2(const uint8_t* q, const float* scales, const uint8_t* packed,
                                   const float* w_scales, const float* bias, float* output,
                                   int C_in, int C_out, int K, int dilation, int t0, int t1) {
  const int kg = (C_in + 3) / 4, P = (C_out + 7) / 8;
  const size_t astride = size_t(kg) * 4, panel_bytes = size_t(K) * kg * 32;
  const int32_t* offsets = reinterpret_cast<const int32_t*>(packed + P * panel_bytes);
  const int chunk = std::max<int>(kRows, int(kChunkBytes / int64_t(astride)) / kRows * kRows);
  for (int c0 = t0; c0 < t1; c0 += chunk) {
    const int c1 = std::min(c0 + chunk, t1);
    for (int pp = 0; pp < P; pp += 2) {
      const int panels = std::min(2, P - pp);
      Panels p;
      p.n0 = 8 * pp;
      for (int j = 0; j < panels; ++j) {
        p.w[j] = packed + size_t(pp + j) * panel_bytes;
        p.off[j] = offsets + size_t(pp + j) * K * 8;
        p.width[j] = std::min(8, C_out - 8 * (pp + j));
      }
      for (int m = c0; m < c1; m += kRows) {
        const int rows = std::min(kRows, c1 - m);
        kTileByRows[rows][panels - 1](q, astride, scales, p, kg, K, dilation, w_scales, bias,
                                      output, C_out, m);
      }
    }
  }
}

}  // namespace mi::cpu
