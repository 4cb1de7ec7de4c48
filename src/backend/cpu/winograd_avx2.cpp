#include <immintrin.h>

#include <algorithm>

#include "backend/cpu/winograd.h"
#include "backend/cpu/winograd_tile.h"

namespace mi::cpu {

namespace {

typedef short v16s __attribute__((vector_size(32)));
typedef unsigned v8u __attribute__((vector_size(32)));

// (x * m + 2^30) >> 31 per 32-bit lane, m per lane; the result fits 32 bits, so the low
// dword of the logical 64-bit shift equals that of the arithmetic one.
inline __m256i mul_round_q31(__m256i x, __m256i m) {
  const __m256i half = _mm256_set1_epi64x(int64_t(1) << 30);
  const __m256i even = _mm256_add_epi64(_mm256_mul_epi32(x, m), half);
  const __m256i odd =
      _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(x, 32), _mm256_srli_epi64(m, 32)), half);
  return _mm256_blend_epi32(_mm256_srli_epi64(even, 31), _mm256_slli_epi64(odd, 1), 0xAA);
}

inline __m256i rescale_position(__m256i p, int32_t mult, int32_t shift) {
  const __m256i r = mul_round_q31(p, _mm256_set1_epi32(mult));
  if (shift < 0) return _mm256_srai_epi32(r, std::min(-shift, 31));
  if (shift == 0) return r;
  if (shift < 32) return _mm256_sll_epi32(r, _mm_cvtsi32_si128(shift));
  return _mm256_setzero_si256();
}

}  // namespace

void winograd_input_fp32_avx2(const float* in, int C, int H, int W, int t0, int t1, float* V) {
  const int64_t T = winograd_tiles(H, W);
  const int tw = (W + 1) / 2;
  const int C8 = C / 8 * 8;
  for (int t = t0; t < t1; ++t) {
    const int y0 = 2 * (t / tw) - 1, x0 = 2 * (t % tw) - 1;
    const float* src[16];
    for (int i = 0; i < 16; ++i) {
      const int y = y0 + i / 4, x = x0 + i % 4;
      src[i] = (y < 0 || y >= H || x < 0 || x >= W) ? nullptr : in + (int64_t(y) * W + x) * C;
    }
    for (int c = 0; c < C8; c += 8) {
      __m256 d[16], v[16];
      for (int i = 0; i < 16; ++i)
        d[i] = src[i] ? _mm256_loadu_ps(src[i] + c) : _mm256_setzero_ps();
      input_tile(d, v);
      for (int k = 0; k < 16; ++k) _mm256_storeu_ps(V + (k * T + t) * C + c, v[k]);
    }
    if (C8 < C) winograd_input_fp32_ref(in, C, H, W, t, t + 1, C8, C, V);
  }
}

void winograd_output_fp32_avx2(const float* Mw, const float* bias, bool relu, float* out, int C_out,
                               int H, int W, int t0, int t1) {
  const int64_t T = winograd_tiles(H, W);
  const int tw = (W + 1) / 2;
  const int C8 = C_out / 8 * 8;
  const __m256 zero = _mm256_setzero_ps();
  for (int t = t0; t < t1; ++t) {
    const int oy = 2 * (t / tw), ox = 2 * (t % tw);
    for (int o = 0; o < C8; o += 8) {
      __m256 m[16], y[4];
      for (int k = 0; k < 16; ++k) m[k] = _mm256_loadu_ps(Mw + (k * T + t) * C_out + o);
      output_tile(m, y);
      const __m256 b = bias ? _mm256_loadu_ps(bias + o) : zero;
      for (int i = 0; i < 4; ++i) {
        const int yy = oy + i / 2, xx = ox + i % 2;
        if (yy >= H || xx >= W) continue;
        __m256 r = _mm256_add_ps(y[i], b);
        // max(r, 0) with the operands in this order maps NaN to +0.0.
        if (relu) r = _mm256_max_ps(r, zero);
        _mm256_storeu_ps(out + (int64_t(yy) * W + xx) * C_out + o, r);
      }
    }
    if (C8 < C_out) winograd_output_fp32_ref(Mw, bias, relu, out, C_out, H, W, t, t + 1, C8, C_out);
  }
}

void winograd_input_int8_avx2(const int8_t* in, int8_t zp, int C, int H, int W, int t0, int t1,
                              int8_t* V) {
  const int64_t T = winograd_tiles(H, W);
  const int tw = (W + 1) / 2;
  const int C16 = C / 16 * 16;
  const v16s pad = (v16s)_mm256_set1_epi16(zp);
  const __m256i two = _mm256_set1_epi16(2);
  for (int t = t0; t < t1; ++t) {
    const int y0 = 2 * (t / tw) - 1, x0 = 2 * (t % tw) - 1;
    const int8_t* src[16];
    for (int i = 0; i < 16; ++i) {
      const int y = y0 + i / 4, x = x0 + i % 4;
      src[i] = (y < 0 || y >= H || x < 0 || x >= W) ? nullptr : in + (int64_t(y) * W + x) * C;
    }
    for (int c = 0; c < C16; c += 16) {
      v16s d[16], v[16];
      for (int i = 0; i < 16; ++i)
        d[i] = src[i] ? (v16s)_mm256_cvtepi8_epi16(
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(src[i] + c)))
                      : pad;
      input_tile(d, v);
      for (int k = 0; k < 16; ++k) {
        const __m256i q = _mm256_srai_epi16(_mm256_add_epi16((__m256i)v[k], two), 2);
        const __m256i p = _mm256_permute4x64_epi64(_mm256_packs_epi16(q, q), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(V + (k * T + t) * C + c),
                         _mm256_castsi256_si128(p));
      }
    }
    if (C16 < C) winograd_input_int8_ref(in, zp, C, H, W, t, t + 1, C16, C, V);
  }
}

void winograd_output_int8_avx2(const int32_t* P, const WinogradInt8Out& q, int8_t* out, int C_out,
                               int H, int W, int t0, int t1) {
  const int64_t T = winograd_tiles(H, W);
  const int tw = (W + 1) / 2;
  const int C8 = C_out / 8 * 8;
  const __m256i lo = _mm256_set1_epi32(-256), hi = _mm256_set1_epi32(255);
  const __m256i zp = _mm256_set1_epi32(q.out_zp);
  const __m256i qmin = _mm256_set1_epi32(-128), qmax = _mm256_set1_epi32(127);
  const __m256i gather_low = _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0);
  for (int t = t0; t < t1; ++t) {
    const int oy = 2 * (t / tw), ox = 2 * (t % tw);
    for (int o = 0; o < C8; o += 8) {
      const __m256i sh = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q.shift + o));
      if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(sh, _mm256_setzero_si256()))) {
        winograd_output_int8_ref(P, q, out, C_out, H, W, t, t + 1, o, o + 8);
        continue;
      }
      const __m256i rsh =
          _mm256_min_epi32(_mm256_sub_epi32(_mm256_setzero_si256(), sh), _mm256_set1_epi32(31));
      const __m256i mult = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q.multiplier + o));
      const __m256i b = _mm256_permutevar8x32_epi32(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q.bias + o)), gather_low);
      const __m256i b_hi = _mm256_permutevar8x32_epi32(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q.bias + o + 4)), gather_low);
      const __m256i bias32 = _mm256_permute2x128_si256(b, b_hi, 0x20);
      v8u m[16], y[4];
      for (int k = 0; k < 16; ++k)
        m[k] = (v8u)rescale_position(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P + (k * T + t) * C_out + o)),
            q.pos_multiplier[k], q.pos_shift[k]);
      output_tile(m, y);
      for (int i = 0; i < 4; ++i) {
        const int yy = oy + i / 2, xx = ox + i % 2;
        if (yy >= H || xx >= W) continue;
        __m256i r = mul_round_q31(_mm256_add_epi32((__m256i)y[i], bias32), mult);
        r = _mm256_srav_epi32(r, rsh);
        r = _mm256_add_epi32(_mm256_min_epi32(_mm256_max_epi32(r, lo), hi), zp);
        r = _mm256_min_epi32(_mm256_max_epi32(r, qmin), qmax);
        const __m256i p16 = _mm256_packs_epi32(r, r);
        const __m256i p8 = _mm256_packs_epi16(p16, p16);
        const __m256i packed =
            _mm256_permutevar8x32_epi32(p8, _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (int64_t(yy) * W + xx) * C_out + o),
                         _mm256_castsi256_si128(packed));
      }
    }
    if (C8 < C_out) winograd_output_int8_ref(P, q, out, C_out, H, W, t, t + 1, C8, C_out);
  }
}

}  // namespace mi::cpu
