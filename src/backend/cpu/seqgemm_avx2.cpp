#include <immintrin.h>

#include "backend/cpu/seqgemm.h"

namespace mi::cpu {

int32_t dot_int8_avx2(const int8_t* a, const int8_t* b, int K) {
  __m256i acc = _mm256_setzero_si256();
  int k = 0;
  for (; k + 16 <= K; k += 16) {
    const __m256i va =
        _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k)));
    const __m256i vb =
        _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k)));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(va, vb));
  }
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  int32_t sum = _mm_cvtsi128_si32(s);
  for (; k < K; ++k) sum += int32_t(a[k]) * b[k];
  return sum;
}

}  // namespace mi::cpu
