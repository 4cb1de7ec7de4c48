#include "fma_peak_avx2.h"

#include <immintrin.h>

namespace mi::bench {

void fma_loop_avx2(long iters) {
  __m256 acc[10];
  for (int i = 0; i < 10; ++i) acc[i] = _mm256_set1_ps(float(i));
  const __m256 a = _mm256_set1_ps(0.999999f), b = _mm256_set1_ps(1e-7f);
  for (long n = 0; n < iters; ++n)
    for (int i = 0; i < 10; ++i) acc[i] = _mm256_fmadd_ps(acc[i], a, b);
  __m256 s = acc[0];
  for (int i = 1; i < 10; ++i) s = _mm256_add_ps(s, acc[i]);
  volatile float sink = _mm256_cvtss_f32(s);
  (void)sink;
}

}  // namespace mi::bench
