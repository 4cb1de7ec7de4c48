#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "backend/cpu/conv1d.h"
#include "backend/cpu/lanes_avx2.h"

namespace mi::cpu {

namespace {

// ROWS output steps by PANELS panels of 8 channels. Each output is one fused multiply-add
// chain over (k, ic) from 0.0, then bias, then the ReLU rule; `w` columns of the last panel
// are stored.
template <int ROWS, int PANELS>
inline void direct_tile(const float* x, int C_in, const float* wp, size_t pstride, int K, int dil,
                        const float* bias, float* out, int C_out, bool relu, int w) {
  // Named accumulators rather than an array: GCC keeps an array of vectors in memory across
  // the two loops, storing every sum on each step.
  __m256 a00 = _mm256_setzero_ps(), a01 = a00, a10 = a00, a11 = a00, a20 = a00, a21 = a00;
  __m256 a30 = a00, a31 = a00, a40 = a00, a41 = a00, a50 = a00, a51 = a00;
  for (int k = 0; k < K; ++k) {
    const float* xk = x + size_t(k) * dil * C_in;
    const float* wk = wp + size_t(k) * C_in * 8;
    for (int ic = 0; ic < C_in; ++ic) {
      const __m256 b0 = _mm256_loadu_ps(wk + size_t(ic) * 8);
      const __m256 b1 = PANELS > 1 ? _mm256_loadu_ps(wk + pstride + size_t(ic) * 8) : b0;
      const float* xi = xk + ic;
#define MI_DIRECT_ROW(r, A0, A1)                                 \
  if (ROWS > r) {                                                \
    const __m256 a = _mm256_broadcast_ss(xi + size_t(r) * C_in); \
    A0 = _mm256_fmadd_ps(a, b0, A0);                             \
    if (PANELS > 1) A1 = _mm256_fmadd_ps(a, b1, A1);             \
  }
      MI_DIRECT_ROW(0, a00, a01)
      MI_DIRECT_ROW(1, a10, a11)
      MI_DIRECT_ROW(2, a20, a21)
      MI_DIRECT_ROW(3, a30, a31)
      MI_DIRECT_ROW(4, a40, a41)
      MI_DIRECT_ROW(5, a50, a51)
#undef MI_DIRECT_ROW
    }
  }
  const __m256 acc[6][2] = {{a00, a01}, {a10, a11}, {a20, a21}, {a30, a31}, {a40, a41}, {a50, a51}};
  __m256 bv[PANELS];
  for (int p = 0; p < PANELS; ++p)
    bv[p] = load_partial(bias ? bias + 8 * p : nullptr, p == PANELS - 1 ? w : 8);
  for (int r = 0; r < ROWS; ++r)
    for (int p = 0; p < PANELS; ++p) {
      __m256 v = _mm256_add_ps(acc[r][p], bv[p]);
      if (relu) v = relu8(v);
      store_partial(out + size_t(r) * C_out + 8 * p, v, p == PANELS - 1 ? w : 8);
    }
}

using DirectTile = void (*)(const float*, int, const float*, size_t, int, int, const float*, float*,
                            int, bool, int);

// Six steps by two panels keep 12 accumulators, two weight rows and the broadcast in the 16
// vector registers.
constexpr int kTileRows = 6;
// Steps that share one pass over a panel pair's weights: the input rows they read stay in
// cache while the weights stream past.
constexpr int kGroupSteps = 30;

template <int PANELS>
constexpr DirectTile kTiles[kTileRows + 1] = {nullptr,
                                              direct_tile<1, PANELS>,
                                              direct_tile<2, PANELS>,
                                              direct_tile<3, PANELS>,
                                              direct_tile<4, PANELS>,
                                              direct_tile<5, PANELS>,
                                              direct_tile<6, PANELS>};

}  // namespace

void conv1d_direct_share_avx2(const float* padded, const float* packed, const float* bias,
                              float* output, bool relu, int L_out, int C_in, int C_out, int K,
                              int dilation, int t0, int t1, int p0, int p1) {
  const size_t pstride = size_t(K) * C_in * 8;
  for (int g0 = t0; g0 < t1; g0 += kGroupSteps) {
    const int g1 = std::min(g0 + kGroupSteps, t1);
    for (int p = p0; p < p1; p += 2) {
      const int panels = std::min(2, p1 - p);
      const int w = std::min(8, C_out - 8 * (p + panels - 1));
      const float* b = bias ? bias + 8 * p : nullptr;
      for (int t = g0; t < g1; t += kTileRows) {
        const int rows = std::min(kTileRows, g1 - t);
        const DirectTile f = panels == 2 ? kTiles<2>[rows] : kTiles<1>[rows];
        f(padded + size_t(t) * C_in, C_in, packed + p * pstride, pstride, K, dilation, b,
          output + size_t(t) * C_out + 8 * p, C_out, relu, w);
      }
    }
  }
}

void conv1d_winograd_input_avx2(const Conv1dWinograd& v, const float* padded, int dilation,
                                float* V, int n, int C, int64_t i0) {
  const int T = v.T;
  const int c8 = C - C % 8;
  const size_t step = size_t(dilation) * C;
  for (int i = 0; i < n; ++i) {
    const float* d = padded + size_t(conv1d_winograd_tile_base(v, i0 + i, dilation)) * C;
    for (int t = 0; t < T; ++t) {
      const float* bt = &v.BT[size_t(t) * T];
      float* dst = V + (size_t(t) * n + i) * C;
      for (int c = 0; c < c8; c += 8) {
        __m256 acc = _mm256_setzero_ps();
        for (int j = 0; j < T; ++j)
          if (bt[j] != 0.0f)
            acc = _mm256_fmadd_ps(_mm256_set1_ps(bt[j]), _mm256_loadu_ps(d + j * step + c), acc);
        _mm256_storeu_ps(dst + c, acc);
      }
      for (int c = c8; c < C; ++c) {
        float acc = 0.0f;
        for (int j = 0; j < T; ++j)
          if (bt[j] != 0.0f) acc = std::fma(bt[j], d[j * step + c], acc);
        dst[c] = acc;
      }
    }
  }
}

void conv1d_winograd_output_avx2(const Conv1dWinograd& v, const float* M, const float* bias,
                                 bool relu, float* output, int dilation, int n, int L_out, int C,
                                 int64_t i0) {
  const int T = v.T;
  const int c8 = C - C % 8;
  for (int i = 0; i < n; ++i) {
    const int64_t base = conv1d_winograd_tile_base(v, i0 + i, dilation);
    for (int j = 0; j < v.m && base + int64_t(dilation) * j < L_out; ++j) {
      const float* at = &v.AT[size_t(j) * T];
      float* out = output + size_t(base + int64_t(dilation) * j) * C;
      for (int c = 0; c < c8; c += 8) {
        __m256 acc = _mm256_setzero_ps();
        for (int t = 0; t < T; ++t)
          if (at[t] != 0.0f)
            acc = _mm256_fmadd_ps(_mm256_set1_ps(at[t]),
                                  _mm256_loadu_ps(M + (size_t(t) * n + i) * C + c), acc);
        if (bias) acc = _mm256_add_ps(acc, _mm256_loadu_ps(bias + c));
        if (relu) acc = relu8(acc);
        _mm256_storeu_ps(out + c, acc);
      }
      for (int c = c8; c < C; ++c) {
        float acc = 0.0f;
        for (int t = 0; t < T; ++t)
          if (at[t] != 0.0f) acc = std::fma(at[t], M[(size_t(t) * n + i) * C + c], acc);
        if (bias) acc += bias[c];
        out[c] = relu && !(acc > 0.0f) ? 0.0f : acc;
      }
    }
  }
}

void quantize_row_int8_avx2(const float* x, int8_t* q, float* scale, int n) {
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  __m256 m0 = _mm256_setzero_ps(), m1 = _mm256_setzero_ps();
  int i = 0;
  // max(v, m) keeps m when v is NaN, as std::max(m, v) does in the scalar part.
  for (; i + 16 <= n; i += 16) {
    m0 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(x + i), abs_mask), m0);
    m1 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(x + i + 8), abs_mask), m1);
  }
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, _mm256_max_ps(m0, m1));
  float a = 0.0f;
  for (float l : lanes) a = std::max(a, l);
  for (int j = i; j < n; ++j) a = std::max(a, std::fabs(x[j]));
  const float s = std::max(a * 0.007874016f, 1e-8f);
  const float inv = 1.0f / s;
  *scale = s;
  const __m256 vinv = _mm256_set1_ps(inv);
  for (i = 0; i + 16 <= n; i += 16) {
    const __m256i a0 = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(x + i), vinv));
    const __m256i a1 = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(x + i + 8), vinv));
    const __m256i w16 = _mm256_permute4x64_epi64(_mm256_packs_epi32(a0, a1), 0xD8);
    const __m128i b8 =
        _mm_packs_epi16(_mm256_castsi256_si128(w16), _mm256_extracti128_si256(w16, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(q + i), b8);
  }
  for (; i < n; ++i) q[i] = quantize_value_int8(x[i] * inv);
}

}  // namespace mi::cpu
