#include <immintrin.h>

#include <cmath>

#include "backend/cpu/activation.h"
#include "backend/cpu/activation_avx2.h"
#include "backend/cpu/activation_constants.h"

namespace mi::cpu {

using namespace act;

namespace {

inline __m256 sigmoid8(__m256 x) {
  const __m256 neg = _mm256_sub_ps(_mm256_setzero_ps(), x);
  return recip8(_mm256_add_ps(_mm256_set1_ps(1.0f), exp8(neg)));
}

inline __m256 sin8(__m256 x) {
  const __m256 k = round_nearest(_mm256_mul_ps(x, _mm256_set1_ps(kInvPi)));
  const __m256 r = _mm256_fmadd_ps(k, _mm256_set1_ps(-kPi), x);
  const __m256 r2 = _mm256_mul_ps(r, r);
  __m256 q = _mm256_fmadd_ps(r2, _mm256_set1_ps(kSinS4), _mm256_set1_ps(kSinS3));
  q = _mm256_fmadd_ps(r2, q, _mm256_set1_ps(kSinS2));
  q = _mm256_fmadd_ps(r2, q, _mm256_set1_ps(kSinS1));
  q = _mm256_fmadd_ps(r2, q, _mm256_set1_ps(1.0f));
  const __m256i odd = _mm256_slli_epi32(_mm256_cvtps_epi32(k), 31);
  return _mm256_xor_ps(_mm256_mul_ps(r, q), _mm256_castsi256_ps(odd));
}

template <class Block, class Tail>
void blocked(const float* in, float* out, int n, Block block, Tail tail) {
  int i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, block(_mm256_loadu_ps(in + i)));
  for (; i < n; ++i) out[i] = tail(in[i]);
}

}  // namespace

void exp_fp32_avx2(const float* in, float* out, int n, void*) {
  blocked(in, out, n, exp8, [](float x) { return std::exp(x); });
}

void sin_fp32_avx2(const float* in, float* out, int n, void*) {
  blocked(in, out, n, sin8, [](float x) { return std::sin(x); });
}

void sigmoid_fp32_avx2(const float* in, float* out, int n, void*) {
  blocked(in, out, n, sigmoid8, sigmoid_tail);
}

void tanh_fp32_avx2(const float* in, float* out, int n, void*) {
  blocked(
      in, out, n,
      [](__m256 x) {
        const __m256 e = exp8(_mm256_mul_ps(_mm256_set1_ps(-2.0f), x));
        const __m256 d = _mm256_add_ps(_mm256_set1_ps(1.0f), e);
        return _mm256_fmsub_ps(_mm256_set1_ps(2.0f), recip8(d), _mm256_set1_ps(1.0f));
      },
      tanh_tail);
}

void leaky_relu_fp32_avx2(const float* in, float* out, int n, float alpha, void*) {
  const __m256 a = _mm256_set1_ps(alpha);
  blocked(
      in, out, n,
      [a](__m256 x) {
        const __m256 keep = _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_GE_OQ);
        return _mm256_blendv_ps(_mm256_mul_ps(a, x), x, keep);
      },
      [alpha](float x) { return x >= 0.0f ? x : alpha * x; });
}

void gelu_fp32_avx2(float* x, int n, void*) { blocked(x, x, n, gelu8, gelu_tail); }

void silu_fp32_avx2(const float* x, float* y, int n, void*) {
  blocked(x, y, n, [](__m256 v) { return _mm256_mul_ps(v, sigmoid8(v)); }, silu_tail);
}

}  // namespace mi::cpu
