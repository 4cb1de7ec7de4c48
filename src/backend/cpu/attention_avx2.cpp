#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "backend/cpu/activation_avx2.h"
#include "backend/cpu/attention.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

struct HeadAccumulator;

inline float reduce8(__m256 v) {
  const __m128 a = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 b = _mm_add_ps(a, _mm_movehl_ps(a, a));
  return _mm_cvtss_f32(_mm_add_ss(b, _mm_movehdup_ps(b)));
}

inline float max8(__m256 v) {
  const __m128 a = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 b = _mm_max_ps(a, _mm_movehl_ps(a, a));
  return _mm_cvtss_f32(_mm_max_ss(b, _mm_movehdup_ps(b)));
}

// S[r][c] = sum over k of q[r][k] * kt[k][c], ascending k, for R rows and 8*CV columns.
template <int R, int CV>
void score_tile(const float* q, int d, const float* kt, int Tp, float* S) {
  __m256 acc[R][CV];
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < CV; ++c) acc[r][c] = _mm256_setzero_ps();
  for (int k = 0; k < d; ++k) {
    __m256 b[CV];
    for (int c = 0; c < CV; ++c) b[c] = _mm256_loadu_ps(kt + size_t(k) * Tp + 8 * c);
    for (int r = 0; r < R; ++r) {
      const __m256 a = _mm256_broadcast_ss(q + size_t(r) * d + k);
      for (int c = 0; c < CV; ++c) acc[r][c] = _mm256_fmadd_ps(a, b[c], acc[r][c]);
    }
  }
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < CV; ++c) _mm256_storeu_ps(S + r * kAttnBlock + 8 * c, acc[r][c]);
}

template <int R>
void score_rows(const float* q, int d, const float* kt, int Tp, float* S, int ncols) {
  int c = 0;
  for (; c + 16 <= ncols; c += 16) score_tile<R, 2>(q, d, kt + c, Tp, S + c);
  if (c < ncols) score_tile<R, 1>(q, d, kt + c, Tp, S + c);
}

// The score block of `rows` queries against `ncols` keys (a multiple of 8).
void score_block(const float* q, int d, const float* kt, int Tp, float* S, int rows, int ncols) {
  int r = 0;
  for (; r + 4 <= rows; r += 4)
    score_rows<4>(q + size_t(r) * d, d, kt, Tp, S + r * kAttnBlock, ncols);
  switch (rows - r) {
    case 3: score_rows<3>(q + size_t(r) * d, d, kt, Tp, S + r * kAttnBlock, ncols); break;
    case 2: score_rows<2>(q + size_t(r) * d, d, kt, Tp, S + r * kAttnBlock, ncols); break;
    case 1: score_rows<1>(q + size_t(r) * d, d, kt, Tp, S + r * kAttnBlock, ncols); break;
    default: break;
  }
}

// For R rows: o = o * alpha, then o = fma(p[j], v_j, o) for every key j, on NV vectors of
// each row. Rows share the value loads.
template <int R, int NV>
void accumulate_values(float* o, int ldo, const float* p, const float* v, int d, int n,
                       const float* alpha) {
  __m256 acc[R][NV];
  for (int r = 0; r < R; ++r) {
    const __m256 a = _mm256_set1_ps(alpha[r]);
    for (int c = 0; c < NV; ++c)
      acc[r][c] = _mm256_mul_ps(a, _mm256_loadu_ps(o + size_t(r) * ldo + 8 * c));
  }
  for (int j = 0; j < n; ++j) {
    const float* vj = v + size_t(j) * d;
    __m256 vv[NV];
    for (int c = 0; c < NV; ++c) vv[c] = _mm256_loadu_ps(vj + 8 * c);
    for (int r = 0; r < R; ++r) {
      const __m256 w = _mm256_broadcast_ss(p + r * kAttnBlock + j);
      for (int c = 0; c < NV; ++c) acc[r][c] = _mm256_fmadd_ps(w, vv[c], acc[r][c]);
    }
  }
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < NV; ++c) _mm256_storeu_ps(o + size_t(r) * ldo + 8 * c, acc[r][c]);
}

// R rows of O (d floats, stride d) against the n weighted values; p holds the rows' weights
// kAttnBlock apart.
template <int R>
void accumulate_rows(float* o, const float* p, const float* v, int d, int n, const float* alpha) {
  int c = 0;
  for (; c + 32 <= d; c += 32) accumulate_values<R, 4>(o + c, d, p, v + c, d, n, alpha);
  switch ((d - c) / 8) {
    case 3: accumulate_values<R, 3>(o + c, d, p, v + c, d, n, alpha); break;
    case 2: accumulate_values<R, 2>(o + c, d, p, v + c, d, n, alpha); break;
    case 1: accumulate_values<R, 1>(o + c, d, p, v + c, d, n, alpha); break;
    default: break;
  }
  for (int r = 0; r < R; ++r)
    for (c = d - d % 8; c < d; ++c) {
      float acc = alpha[r] * o[size_t(r) * d + c];
      for (int j = 0; j < n; ++j) acc = std::fma(p[r * kAttnBlock + j], v[size_t(j) * d + c], acc);
      o[size_t(r) * d + c] = acc;
    }
}

}  // namespace

void attention_head_avx2(const float* q, const float* kt, const float* v, float* out, int ld, int T,
                         int Tp, int d, float scale, bool poly_exp) {
  alignas(32) float S[kAttnBlock * kAttnBlock];
  float m[kAttnBlock], l[kAttnBlock], alpha[kAttnBlock];
  float* O = thread_scratch<HeadAccumulator, float>(int64_t(kAttnBlock) * d);
  const __m256 vscale = _mm256_set1_ps(scale);
  for (int i0 = 0; i0 < T; i0 += kAttnBlock) {
    const int rows = std::min(kAttnBlock, T - i0);
    std::fill(m, m + rows, -std::numeric_limits<float>::infinity());
    std::fill(l, l + rows, 0.0f);
    std::fill(O, O + size_t(rows) * d, 0.0f);
    for (int j0 = 0; j0 < T; j0 += kAttnBlock) {
      const int n = std::min(kAttnBlock, T - j0);
      score_block(q + size_t(i0) * d, d, kt + j0, Tp, S, rows, (n + 7) / 8 * 8);
      for (int i = 0; i < rows; ++i) {
        float* s = S + i * kAttnBlock;
        const int body = n - n % 8;
        __m256 vmax = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
        for (int j = 0; j < body; j += 8) {
          const __m256 sv = _mm256_mul_ps(_mm256_loadu_ps(s + j), vscale);
          _mm256_storeu_ps(s + j, sv);
          vmax = _mm256_max_ps(vmax, sv);
        }
        float mb = max8(vmax);
        for (int j = body; j < n; ++j) {
          s[j] *= scale;
          mb = std::max(mb, s[j]);
        }
        const __m256 vmb = _mm256_set1_ps(mb);
        __m256 vsum = _mm256_setzero_ps();
        for (int j = 0; j < body; j += 8) {
          const __m256 z = _mm256_sub_ps(_mm256_loadu_ps(s + j), vmb);
          __m256 p;
          if (poly_exp) {
            p = exp8(z);
          } else {
            alignas(32) float t[8];
            _mm256_store_ps(t, z);
            for (float& e : t) e = std::exp(e);
            p = _mm256_load_ps(t);
          }
          _mm256_storeu_ps(s + j, p);
          vsum = _mm256_add_ps(vsum, p);
        }
        float lb = reduce8(vsum);
        for (int j = body; j < n; ++j) {
          s[j] = std::exp(s[j] - mb);
          lb += s[j];
        }
        const float mn = std::max(m[i], mb);
        alpha[i] = std::exp(m[i] - mn);
        const float beta = std::exp(mb - mn);
        const __m256 vbeta = _mm256_set1_ps(beta);
        for (int j = 0; j < body; j += 8)
          _mm256_storeu_ps(s + j, _mm256_mul_ps(vbeta, _mm256_loadu_ps(s + j)));
        for (int j = body; j < n; ++j) s[j] = beta * s[j];
        l[i] = std::fma(beta, lb, alpha[i] * l[i]);
        m[i] = mn;
      }
      const float* vb = v + size_t(j0) * d;
      int i = 0;
      for (; i + 2 <= rows; i += 2)
        accumulate_rows<2>(O + size_t(i) * d, S + i * kAttnBlock, vb, d, n, alpha + i);
      if (i < rows) accumulate_rows<1>(O + size_t(i) * d, S + i * kAttnBlock, vb, d, n, alpha + i);
    }
    for (int i = 0; i < rows; ++i) {
      const float inv = 1.0f / l[i];
      const float* o = O + size_t(i) * d;
      float* y = out + size_t(i0 + i) * ld;
      int c = 0;
      for (; c + 8 <= d; c += 8)
        _mm256_storeu_ps(y + c, _mm256_mul_ps(_mm256_loadu_ps(o + c), _mm256_set1_ps(inv)));
      for (; c < d; ++c) y[c] = o[c] * inv;
    }
  }
}

}  // namespace mi::cpu
