#include <immintrin.h>

#include <algorithm>
#include <vector>

#include "backend/cpu/depthwise.h"

namespace mi::cpu {

namespace {

// One output pixel, channels [c, c + 8): the taps inside the image in tap order.
inline __m256 pixel_block(const DepthwiseFp32Args& a, int oy, int ox, int c) {
  __m256 acc = _mm256_setzero_ps();
  for (int ky = 0; ky < a.kH; ++ky) {
    const int iy = oy * a.stride_h + ky * a.dil_h - a.pad_h;
    if (iy < 0 || iy >= a.H) continue;
    const float* row = a.input + int64_t(iy) * a.W * a.C + c;
    const float* wrow = a.weight + int64_t(ky) * a.kW * a.C + c;
    for (int kx = 0; kx < a.kW; ++kx) {
      const int ix = ox * a.stride_w + kx * a.dil_w - a.pad_w;
      if (ix < 0 || ix >= a.W) continue;
      acc = _mm256_fmadd_ps(_mm256_loadu_ps(row + int64_t(ix) * a.C),
                            _mm256_loadu_ps(wrow + int64_t(kx) * a.C), acc);
    }
  }
  return acc;
}

inline void store_block(const DepthwiseFp32Args& a, float* out, __m256 acc, __m256 bias) {
  __m256 v = _mm256_add_ps(acc, bias);
  // max(v, 0) in this operand order maps NaN and -0.0 to +0.0, like the scalar rule.
  if (a.relu) v = _mm256_max_ps(v, _mm256_setzero_ps());
  _mm256_storeu_ps(out, v);
}

}  // namespace

namespace {

// 3x3 output pixels [x0, x1) of row oy whose taps inside the image are rows [ky0, ky1) and
// columns [kx0, kx1) of the kernel, the same for every pixel of the range. Channel blocks
// are innermost so that the image is read in order, and PIXELS pixels at a time give
// independent sums that hide the multiply-add latency. Returns the first pixel not done.
template <int PIXELS, bool ALL_TAPS>
int pixels3x3(const DepthwiseFp32Args& a, int oy, int x0, int x1, int ky0, int ky1, int kx0,
              int kx1, int C8, float* out_row) {
  if (ALL_TAPS) {
    ky0 = kx0 = 0;
    ky1 = kx1 = 3;
  }
  const int64_t rs = int64_t(a.W) * a.C, step = int64_t(a.stride_w) * a.C;
  const int iy0 = oy * a.stride_h - a.pad_h;
  int ox = x0;
  for (; ox + PIXELS <= x1; ox += PIXELS) {
    // Tap (ky, kx) of pixel i reads p0 + ky * rs + kx * C + i * step.
    const float* p0 = a.input + int64_t(iy0) * rs + int64_t(ox * a.stride_w - a.pad_w) * a.C;
    float* o = out_row + int64_t(ox) * a.C;
    for (int c = 0; c < C8; c += 8) {
      const __m256 bias = a.bias ? _mm256_loadu_ps(a.bias + c) : _mm256_setzero_ps();
      __m256 acc[PIXELS];
#pragma GCC unroll 4
      for (int i = 0; i < PIXELS; ++i) acc[i] = _mm256_setzero_ps();
#pragma GCC unroll 3
      for (int ky = ky0; ky < ky1; ++ky)
#pragma GCC unroll 3
        for (int kx = kx0; kx < kx1; ++kx) {
          const __m256 w = _mm256_loadu_ps(a.weight + int64_t(3 * ky + kx) * a.C + c);
          const float* q = p0 + ky * rs + int64_t(kx) * a.C + c;
#pragma GCC unroll 4
          for (int i = 0; i < PIXELS; ++i)
            acc[i] = _mm256_fmadd_ps(_mm256_loadu_ps(q + i * step), w, acc[i]);
        }
#pragma GCC unroll 4
      for (int i = 0; i < PIXELS; ++i) store_block(a, o + i * a.C + c, acc[i], bias);
    }
  }
  return ox;
}

}  // namespace

void depthwise_fp32_avx2(const DepthwiseFp32Args& a, int oy0, int oy1) {
  const int Wo = depthwise_out_size(a.W, a.pad_w, a.dil_w, a.kW, a.stride_w);
  const int C8 = a.C / 8 * 8;
  if (a.kH == 3 && a.kW == 3 && a.dil_h == 1 && a.dil_w == 1) {
    // Output columns whose 3 taps all lie inside the image.
    const int x_lo = std::min(Wo, (a.pad_w + a.stride_w - 1) / a.stride_w);
    const int last = a.W - 3 + a.pad_w;  // largest ox * stride_w with the taps inside
    const int x_hi = last < 0 ? x_lo : std::max(x_lo, std::min(Wo, last / a.stride_w + 1));
    for (int oy = oy0; oy < oy1; ++oy) {
      const int iy0 = oy * a.stride_h - a.pad_h;
      const int ky0 = std::clamp(-iy0, 0, 3), ky1 = std::clamp(a.H - iy0, ky0, 3);
      float* out_row = a.output + int64_t(oy) * Wo * a.C;
      auto edge = [&](int ox) {
        const int ix0 = ox * a.stride_w - a.pad_w;
        const int kx0 = std::clamp(-ix0, 0, 3), kx1 = std::clamp(a.W - ix0, kx0, 3);
        pixels3x3<1, false>(a, oy, ox, ox + 1, ky0, ky1, kx0, kx1, C8, out_row);
      };
      for (int ox = 0; ox < x_lo; ++ox) edge(ox);
      int ox = x_lo;
      if (ky0 == 0 && ky1 == 3) {
        ox = pixels3x3<4, true>(a, oy, ox, x_hi, 0, 3, 0, 3, C8, out_row);
        ox = pixels3x3<1, true>(a, oy, ox, x_hi, 0, 3, 0, 3, C8, out_row);
      }
      ox = pixels3x3<4, false>(a, oy, ox, x_hi, ky0, ky1, 0, 3, C8, out_row);
      pixels3x3<1, false>(a, oy, ox, x_hi, ky0, ky1, 0, 3, C8, out_row);
      for (int x = x_hi; x < Wo; ++x) edge(x);
    }
  } else {
    for (int oy = oy0; oy < oy1; ++oy)
      for (int ox = 0; ox < Wo; ++ox)
        for (int c = 0; c < C8; c += 8)
          store_block(a, a.output + (int64_t(oy) * Wo + ox) * a.C + c, pixel_block(a, oy, ox, c),
                      a.bias ? _mm256_loadu_ps(a.bias + c) : _mm256_setzero_ps());
  }
  if (C8 < a.C) depthwise_fp32_ref(a, oy0, oy1, C8, a.C);
}

namespace {

// Per-channel constants of the one-step rounding, as 64-bit lanes in the even/odd lane
// order of _mm256_mul_epi32: entries c..c+3 are channels c, c+2, c+4, c+6 and entries
// c+4..c+7 channels c+1, c+3, c+5, c+7 of the block starting at c.
struct RoundingTables {
  std::vector<int64_t> count, half, offset;
  RoundingTables(const int32_t* shift, int C8) : count(C8), half(C8), offset(C8) {
    for (int c = 0; c < C8; c += 8)
      for (int j = 0; j < 8; ++j) {
        const int ch = c + (j < 4 ? 2 * j : 2 * (j - 4) + 1);
        int sh = shift[ch];
        sh = sh > 30 ? 30 : (sh < -32 ? -32 : sh);
        const int s = 31 - sh;
        count[c + j] = s;
        half[c + j] = int64_t(1) << (s - 1);
        offset[c + j] = int64_t(uint64_t(1) << (63 - s));
      }
  }
};

// Arithmetic right shift of 64-bit lanes by per-lane counts: bias to unsigned, shift
// logically, remove the shifted bias.
inline __m256i sra_epi64(__m256i x, __m256i count, __m256i offset) {
  const __m256i sign = _mm256_set1_epi64x(int64_t(uint64_t(1) << 63));
  return _mm256_sub_epi64(_mm256_srlv_epi64(_mm256_xor_si256(x, sign), count), offset);
}

inline __m256i load64(const int64_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

inline __m256i clamp_epi64(__m256i x, __m256i lo, __m256i hi) {
  x = _mm256_blendv_epi8(x, hi, _mm256_cmpgt_epi64(x, hi));
  return _mm256_blendv_epi8(x, lo, _mm256_cmpgt_epi64(lo, x));
}

// Per 16-channel block, the constants of the pairwise-tap product. Taps 2p and 2p + 1 of
// the block's channels are interleaved as int16 pairs by unpacklo/unpackhi, so that one
// _mm256_madd_epi16 adds both products of a pair; tap 8 pairs with zero. The lo half then
// holds channels c..c+3, c+8..c+11 in its lanes and the hi half c+4..c+7, c+12..c+15, and the
// per-channel tables follow that order. With every rounding shift of the block at least 33,
// (acc * m + 2^(s-1)) >> s equals (hi32(acc * m) + 2^(s-33)) >> (s - 32) in 32-bit lanes.
struct Block16 {
  __m256i w_lo[5], w_hi[5];
  __m256i bias[2], mult[2], mult_odd[2], rnd[2], count[2];
  bool fast;
};

inline __m256i load_i8x16_as_i16(const int8_t* p) {
  return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

std::vector<Block16> make_blocks16(const Depthwise3x3Int8Args& a, int C16) {
  std::vector<Block16> blocks(size_t(C16 / 16));
  const __m256i zero = _mm256_setzero_si256();
  for (int c = 0; c < C16; c += 16) {
    Block16& b = blocks[size_t(c / 16)];
    __m256i w[10];
    for (int t = 0; t < 9; ++t) w[t] = load_i8x16_as_i16(a.weight + int64_t(t) * a.C + c);
    w[9] = zero;
    for (int p = 0; p < 5; ++p) {
      b.w_lo[p] = _mm256_unpacklo_epi16(w[2 * p], w[2 * p + 1]);
      b.w_hi[p] = _mm256_unpackhi_epi16(w[2 * p], w[2 * p + 1]);
    }
    alignas(32) int32_t bias[2][8], mult[2][8], rnd[2][8], count[2][8];
    b.fast = true;
    for (int h = 0; h < 2; ++h)
      for (int j = 0; j < 8; ++j) {
        const int ch = c + 4 * h + (j < 4 ? j : j + 4);
        const int s = 31 - std::max(-32, std::min(30, a.shift[ch]));
        if (s < 33) b.fast = false;
        bias[h][j] = a.bias[ch];
        mult[h][j] = a.multiplier[ch];
        rnd[h][j] = s >= 33 ? int32_t(1) << (s - 33) : 0;
        count[h][j] = s - 32;
      }
    for (int h = 0; h < 2; ++h) {
      b.bias[h] = _mm256_load_si256(reinterpret_cast<const __m256i*>(bias[h]));
      b.mult[h] = _mm256_load_si256(reinterpret_cast<const __m256i*>(mult[h]));
      b.mult_odd[h] = _mm256_srli_epi64(b.mult[h], 32);
      b.rnd[h] = _mm256_load_si256(reinterpret_cast<const __m256i*>(rnd[h]));
      b.count[h] = _mm256_load_si256(reinterpret_cast<const __m256i*>(count[h]));
    }
  }
  return blocks;
}

inline __m256i round_shift_fast(__m256i acc, const Block16& b, int h) {
  const __m256i even = _mm256_srli_epi64(_mm256_mul_epi32(acc, b.mult[h]), 32);
  const __m256i odd = _mm256_mul_epi32(_mm256_srli_epi64(acc, 32), b.mult_odd[h]);
  const __m256i hi32 = _mm256_blend_epi32(even, odd, 0xAA);
  return _mm256_srav_epi32(_mm256_add_epi32(hi32, b.rnd[h]), b.count[h]);
}

}  // namespace

void depthwise3x3_int8_avx2(const Depthwise3x3Int8Args& a, int oy0, int oy1) {
  const int Wo = depthwise_out_size(a.W, 1, 1, 3, a.stride);
  const int C8 = a.C / 8 * 8;
  const RoundingTables tab(a.shift, C8);
  const __m256i zp_in = _mm256_set1_epi32(a.in_zp);
  const __m256i zp_out = _mm256_set1_epi64x(a.out_zp);
  const __m256i lo = _mm256_set1_epi64x(-128), hi = _mm256_set1_epi64x(127);
  const int C16 = a.C / 16 * 16;
  const std::vector<Block16> blocks = make_blocks16(a, C16);
  const __m256i zp_in16 = _mm256_set1_epi16(a.in_zp);
  const __m128i zp_out16 = _mm_set1_epi16(a.out_zp);
  // Requantises channels [c, c + 8) of a by the 64-bit rule valid for every shift.
  auto requant8 = [&](__m256i acc, int c) {
    const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.multiplier + c));
    auto lane = [&](const __m256i& p, int j) {
      const __m256i r = sra_epi64(_mm256_add_epi64(p, load64(&tab.half[c + j])),
                                  load64(&tab.count[c + j]), load64(&tab.offset[c + j]));
      return clamp_epi64(_mm256_add_epi64(r, zp_out), lo, hi);
    };
    const __m256i even = lane(_mm256_mul_epi32(acc, m), 0);
    const __m256i odd =
        lane(_mm256_mul_epi32(_mm256_srli_epi64(acc, 32), _mm256_srli_epi64(m, 32)), 4);
    return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
  };
  for (int oy = oy0; oy < oy1; ++oy)
    for (int ox = 0; ox < Wo; ++ox) {
      const int8_t* src[9];
      for (int t = 0; t < 9; ++t) {
        const int iy = oy * a.stride - 1 + t / 3, ix = ox * a.stride - 1 + t % 3;
        src[t] = (iy < 0 || iy >= a.H || ix < 0 || ix >= a.W)
                     ? nullptr
                     : a.input + (int64_t(iy) * a.W + ix) * a.C;
      }
      int8_t* out = a.output + (int64_t(oy) * Wo + ox) * a.C;
      for (int c = 0; c < C16; c += 16) {
        const Block16& b = blocks[size_t(c / 16)];
        __m256i x[10];
        for (int t = 0; t < 9; ++t) x[t] = src[t] ? load_i8x16_as_i16(src[t] + c) : zp_in16;
        x[9] = _mm256_setzero_si256();
        __m256i acc_lo = b.bias[0], acc_hi = b.bias[1];
        for (int p = 0; p < 5; ++p) {
          acc_lo = _mm256_add_epi32(
              acc_lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(x[2 * p], x[2 * p + 1]), b.w_lo[p]));
          acc_hi = _mm256_add_epi32(
              acc_hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(x[2 * p], x[2 * p + 1]), b.w_hi[p]));
        }
        __m128i r8;
        if (b.fast) {
          // Packing the two halves restores the channel order c..c+15.
          const __m256i r16 =
              _mm256_packs_epi32(round_shift_fast(acc_lo, b, 0), round_shift_fast(acc_hi, b, 1));
          r8 = _mm_packs_epi16(_mm_adds_epi16(_mm256_castsi256_si128(r16), zp_out16),
                               _mm_adds_epi16(_mm256_extracti128_si256(r16, 1), zp_out16));
        } else {
          const __m256i r0 = requant8(_mm256_permute2x128_si256(acc_lo, acc_hi, 0x20), c);
          const __m256i r1 = requant8(_mm256_permute2x128_si256(acc_lo, acc_hi, 0x31), c + 8);
          const __m256i r16 = _mm256_permute4x64_epi64(_mm256_packs_epi32(r0, r1), 0xD8);
          r8 = _mm_packs_epi16(_mm256_castsi256_si128(r16), _mm256_extracti128_si256(r16, 1));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c), r8);
      }
      for (int c = C16; c < C8; c += 8) {
        __m256i acc = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.bias + c));
        for (int t = 0; t < 9; ++t) {
          const __m256i x = src[t] ? _mm256_cvtepi8_epi32(_mm_loadl_epi64(
                                         reinterpret_cast<const __m128i*>(src[t] + c)))
                                   : zp_in;
          const __m256i w = _mm256_cvtepi8_epi32(
              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(a.weight + int64_t(t) * a.C + c)));
          acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(x, w));
        }
        const __m256i r = requant8(acc, c);
        const __m256i p16 = _mm256_packs_epi32(r, r);
        const __m256i p8 = _mm256_packs_epi16(p16, p16);
        const __m256i packed =
            _mm256_permutevar8x32_epi32(p8, _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + c), _mm256_castsi256_si128(packed));
      }
    }
  if (C8 < a.C) depthwise3x3_int8_ref(a, oy0, oy1, C8, a.C);
}

}  // namespace mi::cpu
