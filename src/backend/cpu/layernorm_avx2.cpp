#include <immintrin.h>

#include <cmath>
#include <cstddef>

#include "backend/cpu/layernorm.h"

namespace mi::cpu {

namespace {

inline float reduce8(__m256 v) {
  const __m128 a = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 b = _mm_add_ps(a, _mm_movehl_ps(a, a));
  return _mm_cvtss_f32(_mm_add_ss(b, _mm_movehdup_ps(b)));
}

}  // namespace

void layernorm_rows_avx2(const float* x, const float* gamma, const float* beta, float* y, int rows,
                         int C, float eps) {
  const int body = C - C % 8;
  for (int r = 0; r < rows; ++r) {
    const float* xr = x + size_t(r) * C;
    float* yr = y + size_t(r) * C;
    __m256 acc = _mm256_setzero_ps();
    for (int c = 0; c < body; c += 8) acc = _mm256_add_ps(acc, _mm256_loadu_ps(xr + c));
    float sum = reduce8(acc);
    for (int c = body; c < C; ++c) sum += xr[c];
    const float mean = sum / float(C);
    const __m256 vmean = _mm256_set1_ps(mean);
    acc = _mm256_setzero_ps();
    for (int c = 0; c < body; c += 8) {
      const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(xr + c), vmean);
      acc = _mm256_fmadd_ps(d, d, acc);
    }
    float ss = reduce8(acc);
    for (int c = body; c < C; ++c) ss = std::fma(xr[c] - mean, xr[c] - mean, ss);
    const float inv = 1.0f / std::sqrt(ss / float(C) + eps);
    const __m256 vinv = _mm256_set1_ps(inv);
    for (int c = 0; c < body; c += 8) {
      const __m256 n = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(xr + c), vmean), vinv);
      _mm256_storeu_ps(yr + c,
                       _mm256_fmadd_ps(n, _mm256_loadu_ps(gamma + c), _mm256_loadu_ps(beta + c)));
    }
    for (int c = body; c < C; ++c) yr[c] = std::fma((xr[c] - mean) * inv, gamma[c], beta[c]);
  }
}

}  // namespace mi::cpu
