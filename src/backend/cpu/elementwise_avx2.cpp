#include <immintrin.h>

#include "backend/cpu/elementwise.h"

namespace mi::cpu {

namespace {

// apply_fixed_point on 8 int32 lanes whose products stay below 2^62 in magnitude. AVX2 has
// no 64-bit arithmetic shift, so the sum is lifted by 2^62 (exactly divisible by 2^shift)
// before a logical shift and the lifted part is taken off again.
struct VecFixedPoint {
  __m256i m, bias, unbias;
  __m128i shift;
  explicit VecFixedPoint(FixedPoint fp) {
    const int s = 31 - fp.e;
    m = _mm256_set1_epi64x(fp.m);
    bias = _mm256_set1_epi64x((int64_t(1) << 62) + (int64_t(1) << (30 - fp.e)));
    unbias = _mm256_set1_epi64x(int64_t(1) << (62 - s));
    shift = _mm_cvtsi32_si128(s);
  }
  __m256i apply(__m256i a) const {
    const __m256i even = _mm256_mul_epi32(a, m);
    const __m256i odd = _mm256_mul_epi32(_mm256_srli_epi64(a, 32), m);
    const __m256i re =
        _mm256_sub_epi64(_mm256_srl_epi64(_mm256_add_epi64(even, bias), shift), unbias);
    const __m256i ro =
        _mm256_sub_epi64(_mm256_srl_epi64(_mm256_add_epi64(odd, bias), shift), unbias);
    return _mm256_blend_epi32(re, _mm256_slli_epi64(ro, 32), 0xAA);
  }
};

inline __m256i load8_i8(const int8_t* p) {
  return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

// The two packs saturate to int16 and then to int8, which is the clamp to [-128, 127].
inline void store8_i8(int8_t* p, __m256i v) {
  const __m128i w = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packs_epi16(w, w));
}

}  // namespace

void add_fp32_avx2(const float* a, const float* b, float* out, int n, bool relu, void* ctx) {
  int i = 0;
  const __m256 zero = _mm256_setzero_ps();
  for (; i + 8 <= n; i += 8) {
    __m256 s = _mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    if (relu) s = _mm256_and_ps(s, _mm256_cmp_ps(s, zero, _CMP_GE_OQ));
    _mm256_storeu_ps(out + i, s);
  }
  add_fp32_ref(a + i, b + i, out + i, n - i, relu, ctx);
}

void add_int8_avx2(const int8_t* a, const int8_t* b, float in1_scale, int in1_zp, float in2_scale,
                   int in2_zp, float out_scale, int out_zp, int8_t* out, int n, void* ctx) {
  const FixedPoint f1 = to_fixed_point(in1_scale / out_scale);
  const FixedPoint f2 = to_fixed_point(in2_scale / out_scale);
  // With factors below 2^21 and int8 operands each term, and their sum with the output
  // zero point, fits in 32 bits; larger factors take the 64-bit scalar path.
  const bool small = f1.e <= 21 && f2.e <= 21 && in1_zp >= -128 && in1_zp <= 127 &&
                     in2_zp >= -128 && in2_zp <= 127 && out_zp >= -(1 << 30) && out_zp <= (1 << 30);
  int i = 0;
  if (small) {
    const VecFixedPoint v1(f1), v2(f2);
    const __m256i z1 = _mm256_set1_epi32(in1_zp), z2 = _mm256_set1_epi32(in2_zp);
    const __m256i zo = _mm256_set1_epi32(out_zp);
    for (; i + 8 <= n; i += 8) {
      const __m256i t1 = v1.apply(_mm256_sub_epi32(load8_i8(a + i), z1));
      const __m256i t2 = v2.apply(_mm256_sub_epi32(load8_i8(b + i), z2));
      store8_i8(out + i, _mm256_add_epi32(zo, _mm256_add_epi32(t1, t2)));
    }
  }
  add_int8_ref(a + i, b + i, in1_scale, in1_zp, in2_scale, in2_zp, out_scale, out_zp, out + i,
               n - i, ctx);
}

void scale_fp32_avx2(const float* in, float* out, size_t n, float s, void* ctx) {
  size_t i = 0;
  const __m256 vs = _mm256_set1_ps(s);
  for (; i + 32 <= n; i += 32) {
    const __m256 x0 = _mm256_loadu_ps(in + i), x1 = _mm256_loadu_ps(in + i + 8);
    const __m256 x2 = _mm256_loadu_ps(in + i + 16), x3 = _mm256_loadu_ps(in + i + 24);
    _mm256_storeu_ps(out + i, _mm256_mul_ps(vs, x0));
    _mm256_storeu_ps(out + i + 8, _mm256_mul_ps(vs, x1));
    _mm256_storeu_ps(out + i + 16, _mm256_mul_ps(vs, x2));
    _mm256_storeu_ps(out + i + 24, _mm256_mul_ps(vs, x3));
  }
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, _mm256_mul_ps(vs, _mm256_loadu_ps(in + i)));
  scale_fp32_ref(in + i, out + i, n - i, s, ctx);
}

void add_inplace_fp32_avx2(float* dst, const float* src, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(dst + i, _mm256_add_ps(_mm256_loadu_ps(dst + i), _mm256_loadu_ps(src + i)));
  add_inplace_fp32_ref(dst + i, src + i, n - i);
}

void add_bias_rows_fp32_avx2(float* data, const float* bias, int rows, int C, void*) {
  for (int r = 0; r < rows; ++r) add_inplace_fp32_avx2(data + size_t(r) * C, bias, size_t(C));
}

}  // namespace mi::cpu
