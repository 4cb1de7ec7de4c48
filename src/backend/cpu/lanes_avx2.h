// Lane helpers shared by the AVX2 sources of the kernel families. Include only from
// *_avx2.cpp files.
#pragma once

#include <immintrin.h>

#include <algorithm>

namespace mi::cpu {

inline __m256 relu8(__m256 v) {
  return _mm256_and_ps(v, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ));
}

// The first w (1..8) floats at p, the rest zero; all zero for a null p (no bias).
inline __m256 load_partial(const float* p, int w) {
  if (!p) return _mm256_setzero_ps();
  if (w == 8) return _mm256_loadu_ps(p);
  alignas(32) float tmp[8] = {};
  std::copy(p, p + w, tmp);
  return _mm256_load_ps(tmp);
}

// Stores the first w (1..8) lanes, never touching the floats after them.
inline void store_partial(float* p, __m256 v, int w) {
  if (w == 8) {
    _mm256_storeu_ps(p, v);
    return;
  }
  alignas(32) float tmp[8];
  _mm256_store_ps(tmp, v);
  for (int j = 0; j < w; ++j) p[j] = tmp[j];
}

// Horizontal sum in a fixed order: (l + l+4), then (l + l+2), then (0 + 1).
inline float fold(__m256 s) {
  const __m128 four = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
  const __m128 two = _mm_add_ps(four, _mm_movehl_ps(four, four));
  return _mm_cvtss_f32(_mm_add_ss(two, _mm_movehdup_ps(two)));
}

}  // namespace mi::cpu
