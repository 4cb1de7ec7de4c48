// Vector forms of the activation polynomials, for the AVX2 sources of any kernel family.
// Include only from *_avx2.cpp files.
#pragma once

#include <immintrin.h>

#include "backend/cpu/activation_constants.h"

namespace mi::cpu {

inline __m256 round_nearest(__m256 v) {
  return _mm256_round_ps(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
}

// exp_poly on 8 lanes, bit for bit. The operand order of max/min keeps NaN: they return
// their second operand when either is NaN.
inline __m256 exp8(__m256 x) {
  using namespace act;
  x = _mm256_max_ps(_mm256_set1_ps(-kExpMax), x);
  x = _mm256_min_ps(_mm256_set1_ps(kExpMax), x);
  const __m256 k = round_nearest(_mm256_mul_ps(x, _mm256_set1_ps(kLog2e)));
  __m256 r = _mm256_fmadd_ps(k, _mm256_set1_ps(-kLn2Hi), x);
  r = _mm256_fmadd_ps(k, _mm256_set1_ps(kLn2Lo), r);
  __m256 p = _mm256_set1_ps(kExpP0);
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP1));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP2));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP3));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP4));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(0.5f));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.0f));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.0f));
  const __m256i biased = _mm256_add_epi32(_mm256_cvtps_epi32(k), _mm256_set1_epi32(127));
  const __m256i e = _mm256_slli_epi32(biased, 23);
  return _mm256_mul_ps(p, _mm256_castsi256_ps(e));
}

// 1/d from the hardware estimate and two Newton steps r <- r*(2 - d*r).
inline __m256 recip8(__m256 d) {
  const __m256 two = _mm256_set1_ps(2.0f);
  __m256 r = _mm256_rcp_ps(d);
  r = _mm256_mul_ps(r, _mm256_fnmadd_ps(d, r, two));
  return _mm256_mul_ps(r, _mm256_fnmadd_ps(d, r, two));
}

// The tanh-form GELU of gelu_fp32 on 8 lanes: x - x / (1 + e^z), z = 2 sqrt(2/pi) (x + 0.044715
// x^3).
inline __m256 gelu8(__m256 x) {
  using namespace act;
  const __m256 x2 = _mm256_mul_ps(x, x);
  const __m256 u = _mm256_fmadd_ps(_mm256_mul_ps(_mm256_set1_ps(kGeluCubic), x2), x, x);
  const __m256 z = _mm256_mul_ps(_mm256_set1_ps(kGeluTwoSqrt2OverPi), u);
  const __m256 s = recip8(_mm256_add_ps(_mm256_set1_ps(1.0f), exp8(z)));
  return _mm256_fnmadd_ps(x, s, x);
}

}  // namespace mi::cpu
