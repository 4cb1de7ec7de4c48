// Lane helpers shared by the AVX2 sources of the kernel families. Include only from
// *_avx2.cpp files.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// sum[r][q] += the products of row r's four unsigned bytes (at a + r * astride, broadcast)
// with the 32 signed weight bytes w[q], paired and summed into eight 32-bit lanes: the
// inner step of the unsigned-byte int8 tiles.
template <int ROWS, int PANELS>
inline void madd_u8_rows(__m256i (&sum)[ROWS][PANELS], const __m256i (&w)[PANELS], const uint8_t* a,
                         size_t astride) {
  const __m256i ones = _mm256_set1_epi16(1);
#pragma GCC unroll 8
  for (int r = 0; r < ROWS; ++r) {
    int32_t v;
    std::memcpy(&v, a + r * astride, 4);
    const __m256i b = _mm256_set1_epi32(v);
#pragma GCC unroll 8
    for (int q = 0; q < PANELS; ++q)
      sum[r][q] =
          _mm256_add_epi32(sum[r][q], _mm256_madd_epi16(_mm256_maddubs_epi16(b, w[q]), ones));
// One row at a time: hoisting every row's broadcast and products ahead of the sums would
// need more registers than there are.
#pragma GCC unroll 8
    for (int q = 0; q < PANELS; ++q) asm("" : "+x"(sum[r][q]));
  }
}

}  // namespace mi::cpu
