#include <immintrin.h>

#include <cmath>

#include "backend/cpu/activation_avx2.h"
#include "backend/cpu/row_sum.h"
#include "backend/cpu/snake_constants.h"
#include "backend/cpu/style_norm.h"

namespace mi::cpu {

namespace {

// snake_value on 8 lanes; a group with a lane beyond the direct limit is done one by one.
// x and y may be the same.
inline void snake8(const float* x, float* y, const float* alpha, const float* inv_alpha) {
  using namespace snake;
  const __m256 v = _mm256_loadu_ps(x);
  const __m256 a = _mm256_loadu_ps(alpha);
  const __m256 z = _mm256_mul_ps(a, v);
  const __m256 z_lo = _mm256_fmsub_ps(a, v, z);
  const __m256 n = round_nearest(_mm256_mul_ps(z, _mm256_set1_ps(kInvPi)));
  __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kPiHi), z);
  r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kPiLo), r);
  r = _mm256_add_ps(r, z_lo);
  const __m256 u = _mm256_mul_ps(r, r);
  __m256 q = _mm256_fmadd_ps(u, _mm256_set1_ps(kS4), _mm256_set1_ps(kS3));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(kS2));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(kS1));
  q = _mm256_fmadd_ps(u, q, _mm256_set1_ps(1.0f));
  const __m256 s = _mm256_mul_ps(r, q);
  const __m256 abs_z = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), z);
  if (_mm256_movemask_ps(_mm256_cmp_ps(abs_z, _mm256_set1_ps(kSnakeDirectLimit), _CMP_GT_OQ))) {
    alignas(32) float xs[8];
    _mm256_store_ps(xs, v);
    for (int l = 0; l < 8; ++l) y[l] = snake_value(xs[l], alpha[l], inv_alpha[l]);
    return;
  }
  _mm256_storeu_ps(y, _mm256_fmadd_ps(_mm256_loadu_ps(inv_alpha), _mm256_mul_ps(s, s), v));
}

template <bool kAffine>
void ada_in_apply_rows(const float* in, float* out, int64_t r0, int64_t r1, int C,
                       const float* mean, const float* inv_std, const float* w, const float* b,
                       const float* g1, const float* beta) {
  for (int64_t r = r0; r < r1; ++r) {
    const float* x = in + r * C;
    float* y = out + r * C;
    int c = 0;
    for (; c + 8 <= C; c += 8) {
      const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(x + c), _mm256_loadu_ps(mean + c));
      __m256 z = _mm256_mul_ps(d, _mm256_loadu_ps(inv_std + c));
      if (kAffine) z = _mm256_fmadd_ps(z, _mm256_loadu_ps(w + c), _mm256_loadu_ps(b + c));
      _mm256_storeu_ps(y + c,
                       _mm256_fmadd_ps(z, _mm256_loadu_ps(g1 + c), _mm256_loadu_ps(beta + c)));
    }
    for (; c < C; ++c) {
      float z = (x[c] - mean[c]) * inv_std[c];
      if (kAffine) z = std::fma(z, w[c], b[c]);
      y[c] = std::fma(z, g1[c], beta[c]);
    }
  }
}

}  // namespace

void snake_rows_avx2(const float* in, float* out, const float* alpha, const float* inv_alpha,
                     int64_t r0, int64_t r1, int C) {
  for (int64_t r = r0; r < r1; ++r) {
    const float* x = in + r * C;
    float* y = out + r * C;
    int c = 0;
    for (; c + 8 <= C; c += 8) snake8(x + c, y + c, alpha + c, inv_alpha + c);
    for (; c < C; ++c) y[c] = snake_value(x[c], alpha[c], inv_alpha[c]);
  }
}

void ada_in_block_stats_avx2(const float* x, int n, int C, float* sum, float* m2) {
  const __m256 count = _mm256_set1_ps(float(n));
  int c = 0;
  for (; c + 32 <= C; c += 32) {
    __m256 s[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                   _mm256_setzero_ps()};
    for (int r = 0; r < n; ++r) {
      const float* p = x + size_t(r) * C + c;
      for (int q = 0; q < 4; ++q) s[q] = _mm256_add_ps(s[q], _mm256_loadu_ps(p + 8 * q));
    }
    __m256 mean[4], d2[4];
    for (int q = 0; q < 4; ++q) {
      mean[q] = _mm256_div_ps(s[q], count);
      d2[q] = _mm256_setzero_ps();
    }
    for (int r = 0; r < n; ++r) {
      const float* p = x + size_t(r) * C + c;
      for (int q = 0; q < 4; ++q) {
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(p + 8 * q), mean[q]);
        d2[q] = _mm256_fmadd_ps(d, d, d2[q]);
      }
    }
    for (int q = 0; q < 4; ++q) {
      _mm256_storeu_ps(sum + c + 8 * q, s[q]);
      _mm256_storeu_ps(m2 + c + 8 * q, d2[q]);
    }
  }
  for (; c + 8 <= C; c += 8) {
    __m256 s = _mm256_setzero_ps();
    for (int r = 0; r < n; ++r) s = _mm256_add_ps(s, _mm256_loadu_ps(x + size_t(r) * C + c));
    const __m256 mean = _mm256_div_ps(s, count);
    __m256 d2 = _mm256_setzero_ps();
    for (int r = 0; r < n; ++r) {
      const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(x + size_t(r) * C + c), mean);
      d2 = _mm256_fmadd_ps(d, d, d2);
    }
    _mm256_storeu_ps(sum + c, s);
    _mm256_storeu_ps(m2 + c, d2);
  }
  for (; c < C; ++c) {
    float s = 0.0f;
    for (int r = 0; r < n; ++r) s += x[size_t(r) * C + c];
    const float mean = s / float(n);
    float d2 = 0.0f;
    for (int r = 0; r < n; ++r) {
      const float d = x[size_t(r) * C + c] - mean;
      d2 = std::fma(d, d, d2);
    }
    sum[c] = s;
    m2[c] = d2;
  }
}

void ada_in_merge_avx2(const float* sum, const float* block_m2, const AdaInMerge& k, float* mean,
                       float* m2, int C) {
  const __m256 nb = _mm256_set1_ps(k.nb);
  const __m256 k_mean = _mm256_set1_ps(k.k_mean);
  const __m256 k_m2 = _mm256_set1_ps(k.k_m2);
  int c = 0;
  if (k.first) {
    for (; c + 8 <= C; c += 8) {
      _mm256_storeu_ps(mean + c, _mm256_div_ps(_mm256_loadu_ps(sum + c), nb));
      _mm256_storeu_ps(m2 + c, _mm256_loadu_ps(block_m2 + c));
    }
    for (; c < C; ++c) {
      mean[c] = sum[c] / k.nb;
      m2[c] = block_m2[c];
    }
    return;
  }
  for (; c + 8 <= C; c += 8) {
    const __m256 m = _mm256_loadu_ps(mean + c);
    const __m256 d = _mm256_sub_ps(_mm256_div_ps(_mm256_loadu_ps(sum + c), nb), m);
    _mm256_storeu_ps(mean + c, _mm256_fmadd_ps(d, k_mean, m));
    const __m256 acc = _mm256_add_ps(_mm256_loadu_ps(m2 + c), _mm256_loadu_ps(block_m2 + c));
    _mm256_storeu_ps(m2 + c, _mm256_fmadd_ps(_mm256_mul_ps(d, d), k_m2, acc));
  }
  for (; c < C; ++c) {
    const float d = sum[c] / k.nb - mean[c];
    mean[c] = std::fma(d, k.k_mean, mean[c]);
    m2[c] = std::fma(d * d, k.k_m2, m2[c] + block_m2[c]);
  }
}

void ada_in_apply_avx2(const float* in, float* out, int64_t r0, int64_t r1, int C,
                       const float* mean, const float* inv_std, const float* w, const float* b,
                       const float* g1, const float* beta) {
  if (w)
    ada_in_apply_rows<true>(in, out, r0, r1, C, mean, inv_std, w, b, g1, beta);
  else
    ada_in_apply_rows<false>(in, out, r0, r1, C, mean, inv_std, w, b, g1, beta);
}

void ada_layer_norm_rows_avx2(const float* in, float* out, const float* g1, const float* beta,
                              int64_t r0, int64_t r1, int C, float eps) {
  for (int64_t r = r0; r < r1; ++r) {
    const float* x = in + r * C;
    float* y = out + r * C;
    const float mean = row_sum_avx2(x, C) / float(C);
    const float inv = 1.0f / std::sqrt(row_sq_dev_avx2(x, C, mean) / float(C) + eps);
    const __m256 vm = _mm256_set1_ps(mean), vi = _mm256_set1_ps(inv);
    int c = 0;
    for (; c + 8 <= C; c += 8) {
      const __m256 n = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(x + c), vm), vi);
      _mm256_storeu_ps(y + c,
                       _mm256_fmadd_ps(n, _mm256_loadu_ps(g1 + c), _mm256_loadu_ps(beta + c)));
    }
    for (; c < C; ++c) y[c] = std::fma((x[c] - mean) * inv, g1[c], beta[c]);
  }
}

}  // namespace mi::cpu
