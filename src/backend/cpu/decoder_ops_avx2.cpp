#include <immintrin.h>

#include <cmath>

#include "backend/cpu/decoder_ops.h"
#include "backend/cpu/row_sum.h"

namespace mi::cpu {

void rms_norm_rows_avx2(const float* x, const float* gamma, float* y, int64_t first, int64_t last,
                        int C, float eps) {
  for (int64_t r = first; r < last; ++r) {
    const float* xr = x + r * C;
    float* yr = y + r * C;
    const float ms = row_sq_dev_avx2(xr, C, 0.0f) / float(C);
    const float inv = 1.0f / std::sqrt(ms + eps);
    const __m256 vinv = _mm256_set1_ps(inv);
    int c = 0;
    for (; c + 8 <= C; c += 8)
      _mm256_storeu_ps(yr + c, _mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(xr + c), vinv),
                                             _mm256_loadu_ps(gamma + c)));
    for (; c < C; ++c) yr[c] = (xr[c] * inv) * gamma[c];
  }
}

void elemwise_mul_fp32_avx2(const float* a, const float* b, float* y, int n) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(y + i, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  for (; i < n; ++i) y[i] = a[i] * b[i];
}

}  // namespace mi::cpu
