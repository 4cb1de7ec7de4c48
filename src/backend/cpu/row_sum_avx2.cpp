#include <immintrin.h>

#include <cmath>

#include "backend/cpu/lanes_avx2.h"
#include "backend/cpu/row_sum.h"

namespace mi::cpu {

namespace {

template <class Term, class TailTerm>
float ordered_sum(const float* x, int n, Term term, TailTerm tail) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  int i = 0;
  for (; i + 32 <= n; i += 32) {
    a0 = term(_mm256_loadu_ps(x + i), a0);
    a1 = term(_mm256_loadu_ps(x + i + 8), a1);
    a2 = term(_mm256_loadu_ps(x + i + 16), a2);
    a3 = term(_mm256_loadu_ps(x + i + 24), a3);
  }
  for (; i + 8 <= n; i += 8) a0 = term(_mm256_loadu_ps(x + i), a0);
  float v = fold(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  for (; i < n; ++i) v = tail(x[i], v);
  return v;
}

}  // namespace

float row_sum_avx2(const float* x, int n) {
  return ordered_sum(
      x, n, [](__m256 v, __m256 acc) { return _mm256_add_ps(acc, v); },
      [](float v, float acc) { return acc + v; });
}

float row_sq_dev_avx2(const float* x, int n, float mean) {
  const __m256 m = _mm256_set1_ps(mean);
  return ordered_sum(
      x, n,
      [m](__m256 v, __m256 acc) {
        const __m256 d = _mm256_sub_ps(v, m);
        return _mm256_fmadd_ps(d, d, acc);
      },
      [mean](float v, float acc) {
        const float d = v - mean;
        return std::fma(d, d, acc);
      });
}

}  // namespace mi::cpu
