#include <immintrin.h>

#include <algorithm>
#include <cmath>

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

namespace {

// Eight int32 partial sums of q . w over one chunk of 32: |q| times w with the sign of q keeps
// the unsigned-by-signed byte product exact (both within [-127, 127], pairs below 2^15).
inline __m256i chunk_dot(__m256i q_abs, __m256i q, const int8_t* w) {
  const __m256i vw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
  const __m256i pairs = _mm256_maddubs_epi16(q_abs, _mm256_sign_epi8(vw, q));
  return _mm256_madd_epi16(pairs, _mm256_set1_epi16(1));
}

inline int32_t hsum_epi32(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

// Lane r of the result is the total of v[r] (integer sums, so the order does not matter).
inline __m256i hsum8_epi32(const __m256i* v) {
  const __m256i g0 =
      _mm256_hadd_epi32(_mm256_hadd_epi32(v[0], v[1]), _mm256_hadd_epi32(v[2], v[3]));
  const __m256i g1 =
      _mm256_hadd_epi32(_mm256_hadd_epi32(v[4], v[5]), _mm256_hadd_epi32(v[6], v[7]));
  return _mm256_add_epi32(_mm256_permute2x128_si256(g0, g1, 0x20),
                          _mm256_permute2x128_si256(g0, g1, 0x31));
}

}  // namespace

void gemv_int8_blocks_rows_avx2(const int8_t* xq, const float* xs, const int8_t* Wq,
                                const float* w_scales, const float* bias, float* y, int K, int N,
                                int B, int n0, int n1) {
  const int nb = K / B;
  // Lines of the next group fetched per block while this one is multiplied (see below).
  const size_t lines_per_block = (size_t(8) * K / 64 + nb - 1) / nb;
  int n = n0;
  for (; n + 8 <= n1; n += 8) {
    const int8_t* w = Wq + size_t(n) * K;
    // Rows follow each other in memory: while these eight are multiplied, fetch the group
    // after the next one into L2 (far enough ahead to hide memory latency), a share of its
    // lines per block, and its block scales.
    const char* next = reinterpret_cast<const char*>(w + size_t(16) * K);
    const char* next_end = reinterpret_cast<const char*>(Wq + size_t(n1) * K);
    __m256 acc = _mm256_setzero_ps();
    for (int b = 0; b < nb; ++b) {
      for (size_t l = 0; l < lines_per_block && next < next_end; ++l, next += 64)
        _mm_prefetch(next, _MM_HINT_T1);
      if (n + 24 <= n1)
        _mm_prefetch(reinterpret_cast<const char*>(w_scales + size_t(b) * N + n + 16), _MM_HINT_T0);
      __m256i part[8];
      for (int r = 0; r < 8; ++r) part[r] = _mm256_setzero_si256();
      for (int k = b * B; k < (b + 1) * B; k += 32) {
        const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(xq + k));
        const __m256i q_abs = _mm256_sign_epi8(q, q);
        for (int r = 0; r < 8; ++r)
          part[r] = _mm256_add_epi32(part[r], chunk_dot(q_abs, q, w + size_t(r) * K + k));
      }
      const __m256 dot = _mm256_cvtepi32_ps(hsum8_epi32(part));
      const __m256 scale =
          _mm256_mul_ps(_mm256_set1_ps(xs[b]), _mm256_loadu_ps(w_scales + size_t(b) * N + n));
      acc = _mm256_fmadd_ps(dot, scale, acc);
    }
    if (bias) acc = _mm256_add_ps(acc, _mm256_loadu_ps(bias + n));
    _mm256_storeu_ps(y + n, acc);
  }
  for (; n < n1; ++n) {
    const int8_t* w = Wq + size_t(n) * K;
    float acc = 0.0f;
    for (int b = 0; b < nb; ++b) {
      __m256i part = _mm256_setzero_si256();
      for (int k = b * B; k < (b + 1) * B; k += 32) {
        const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(xq + k));
        part = _mm256_add_epi32(part, chunk_dot(_mm256_sign_epi8(q, q), q, w + k));
      }
      acc = std::fma(float(hsum_epi32(part)), xs[b] * w_scales[size_t(b) * N + n], acc);
    }
    y[n] = bias ? acc + bias[n] : acc;
  }
}

void gemv_int8_rows_avx2(const int8_t* xq, float xs, const int8_t* Wq, const float* w_scales,
                         const float* bias, float* y, int K, int n0, int n1) {
  // Fetch the row sixteen ahead into L2 while this one is multiplied (see the block form).
  const char* end = reinterpret_cast<const char*>(Wq + size_t(n1) * K);
  for (int n = n0; n < n1; ++n) {
    const char* ahead = reinterpret_cast<const char*>(Wq + (size_t(n) + 16) * K);
    const char* ahead_end = std::min(ahead + K, end);
    for (; ahead < ahead_end; ahead += 64) _mm_prefetch(ahead, _MM_HINT_T1);
    const int32_t acc = dot_int8_avx2(xq, Wq + size_t(n) * K, K);
    y[n] = std::fma(float(acc) * xs, w_scales[n], bias ? bias[n] : 0.0f);
  }
}

}  // namespace mi::cpu
