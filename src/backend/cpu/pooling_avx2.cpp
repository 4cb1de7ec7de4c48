#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "backend/cpu/elementwise.h"
#include "backend/cpu/pooling.h"

namespace mi::cpu {

namespace {

// One pooling window: its output position, its top-left input position and the in-image
// tap ranges [ky0, ky1) x [kx0, kx1).
struct Window {
  int64_t oy, ox, ys, xs;
  int ky0, ky1, kx0, kx1;
};

// Calls fn(window) for every output pixel in row-major order.
template <class Fn>
void for_each_window(int H, int W, int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w,
                     Fn fn) {
  const int64_t Ho = pooled_extent(H, kH, stride_h, pad_h);
  const int64_t Wo = pooled_extent(W, kW, stride_w, pad_w);
  Window w{};
  for (w.oy = 0; w.oy < Ho; ++w.oy) {
    w.ys = w.oy * stride_h - pad_h;
    w.ky0 = int(std::max<int64_t>(0, -w.ys));
    w.ky1 = int(std::min<int64_t>(kH, H - w.ys));
    for (w.ox = 0; w.ox < Wo; ++w.ox) {
      w.xs = w.ox * stride_w - pad_w;
      w.kx0 = int(std::max<int64_t>(0, -w.xs));
      w.kx1 = int(std::min<int64_t>(kW, W - w.xs));
      fn(w);
    }
  }
}

// The output row of C channels starts at the lowest value and takes the maximum with
// each in-image tap in window order.
void max_into_fp32(float* o, const float* p, int C) {
  int c = 0;
  for (; c + 8 <= C; c += 8)
    _mm256_storeu_ps(o + c, _mm256_max_ps(_mm256_loadu_ps(o + c), _mm256_loadu_ps(p + c)));
  for (; c < C; ++c) o[c] = o[c] > p[c] ? o[c] : p[c];
}

void max_into_int8(int8_t* o, const int8_t* p, int C) {
  int c = 0;
  for (; c + 32 <= C; c += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o + c));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + c));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + c), _mm256_max_epi8(a, b));
  }
  for (; c + 16 <= C; c += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o + c));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + c));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + c), _mm_max_epi8(a, b));
  }
  for (; c < C; ++c) o[c] = std::max(o[c], p[c]);
}

template <class T, class MaxInto>
void maxpool_channels_last(const T* in, T* out, int C, int H, int W, int kH, int kW, int stride_h,
                           int stride_w, int pad_h, int pad_w, T lowest, MaxInto max_into) {
  const int64_t Wo = pooled_extent(W, kW, stride_w, pad_w);
  for_each_window(H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, [&](const Window& w) {
    T* o = out + (w.oy * Wo + w.ox) * C;
    std::fill(o, o + C, lowest);
    for (int ky = w.ky0; ky < w.ky1; ++ky)
      for (int kx = w.kx0; kx < w.kx1; ++kx) max_into(o, in + ((w.ys + ky) * W + w.xs + kx) * C, C);
  });
}

inline int8_t hmax_epi8(__m128i v) {
  v = _mm_max_epi8(v, _mm_srli_si128(v, 8));
  v = _mm_max_epi8(v, _mm_srli_si128(v, 4));
  v = _mm_max_epi8(v, _mm_srli_si128(v, 2));
  v = _mm_max_epi8(v, _mm_srli_si128(v, 1));
  return int8_t(_mm_cvtsi128_si32(v));
}

}  // namespace

void maxpool_fp32_avx2(const float* in, float* out, int C, int H, int W, int kH, int kW,
                       int stride_h, int stride_w, int pad_h, int pad_w, void*) {
  maxpool_channels_last(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w,
                        -std::numeric_limits<float>::infinity(), max_into_fp32);
}

void maxpool_int8_avx2(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                       int stride_h, int stride_w, int pad_h, int pad_w, void*) {
  maxpool_channels_last<int8_t>(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, -128,
                                max_into_int8);
}

void maxpool_int8_planar_avx2(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                              int stride_h, int stride_w, int pad_h, int pad_w, void*) {
  const int64_t Ho = pooled_extent(H, kH, stride_h, pad_h);
  const int64_t Wo = pooled_extent(W, kW, stride_w, pad_w);
  for (int c = 0; c < C; ++c) {
    const int8_t* plane = in + int64_t(c) * H * W;
    int8_t* o = out + int64_t(c) * Ho * Wo;
    for_each_window(H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, [&](const Window& w) {
      int8_t m = -128;
      if (w.ky0 == 0 && w.ky1 == kH && w.kx0 == 0 && w.kx1 == kW) {
        __m128i vm = _mm_set1_epi8(-128);
        for (int ky = 0; ky < kH; ++ky) {
          const int8_t* row = plane + (w.ys + ky) * W + w.xs;
          int kx = 0;
          for (; kx + 16 <= kW; kx += 16)
            vm = _mm_max_epi8(vm, _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + kx)));
          for (; kx < kW; ++kx) m = std::max(m, row[kx]);
        }
        m = std::max(m, hmax_epi8(vm));
      } else {
        for (int ky = w.ky0; ky < w.ky1; ++ky)
          for (int kx = w.kx0; kx < w.kx1; ++kx)
            m = std::max(m, plane[(w.ys + ky) * W + w.xs + kx]);
      }
      o[w.oy * Wo + w.ox] = m;
    });
  }
}

void avgpool_fp32_avx2(const float* in, float* out, int C, int H, int W, void*) {
  const int64_t P = int64_t(H) * W;
  const float r = 1.0f / float(P);
  std::fill(out, out + C, 0.0f);
  for (int64_t p = 0; p < P; ++p) {
    const float* px = in + p * C;
    int c = 0;
    for (; c + 8 <= C; c += 8)
      _mm256_storeu_ps(out + c, _mm256_add_ps(_mm256_loadu_ps(out + c), _mm256_loadu_ps(px + c)));
    for (; c < C; ++c) out[c] += px[c];
  }
  const __m256 vr = _mm256_set1_ps(r);
  int c = 0;
  for (; c + 8 <= C; c += 8) _mm256_storeu_ps(out + c, _mm256_mul_ps(_mm256_loadu_ps(out + c), vr));
  for (; c < C; ++c) out[c] *= r;
}

void avgpool_int8_avx2(const int8_t* in, float in_scale, int in_zp, float out_scale, int out_zp,
                       int8_t* out, int C, int H, int W, void*) {
  const FixedPoint fp = to_fixed_point(avgpool_int8_factor(in_scale, out_scale, H, W));
  const int64_t P = int64_t(H) * W;
  std::vector<int32_t> acc(size_t(C), 0);
  const __m256i zp = _mm256_set1_epi32(in_zp);
  for (int64_t p = 0; p < P; ++p) {
    const int8_t* px = in + p * C;
    int c = 0;
    for (; c + 8 <= C; c += 8) {
      const __m256i v =
          _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(px + c)));
      __m256i* a = reinterpret_cast<__m256i*>(acc.data() + c);
      _mm256_storeu_si256(a, _mm256_add_epi32(_mm256_loadu_si256(a), _mm256_sub_epi32(v, zp)));
    }
    for (; c < C; ++c) acc[c] += px[c] - in_zp;
  }
  for (int c = 0; c < C; ++c) out[c] = saturate_int8(apply_fixed_point(acc[c], fp) + out_zp);
}

void avgpool_int8_planar_avx2(const int8_t* in, float in_scale, int in_zp, float out_scale,
                              int out_zp, int8_t* out, int C, int H, int W, void*) {
  const FixedPoint fp = to_fixed_point(avgpool_int8_factor(in_scale, out_scale, H, W));
  const int64_t P = int64_t(H) * W;
  const __m256i flip = _mm256_set1_epi8(-128);
  for (int c = 0; c < C; ++c) {
    const int8_t* plane = in + c * P;
    // Flipping the sign bit maps int8 v to the byte v + 128, which the sum of absolute
    // differences against zero adds up; the offset is taken off at the end.
    __m256i sums = _mm256_setzero_si256();
    int64_t p = 0;
    for (; p + 32 <= P; p += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plane + p));
      const __m256i biased = _mm256_xor_si256(v, flip);
      sums = _mm256_add_epi64(sums, _mm256_sad_epu8(biased, _mm256_setzero_si256()));
    }
    alignas(32) int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    int64_t total = lanes[0] + lanes[1] + lanes[2] + lanes[3] - 128 * p;
    for (; p < P; ++p) total += plane[p];
    const int32_t acc = int32_t(total - int64_t(in_zp) * P);
    out[c] = saturate_int8(apply_fixed_point(acc, fp) + out_zp);
  }
}

void upsample_bilinear_fp32_avx2(const float* in, float* out, int C, int H, int W, int H_out,
                                 int W_out, void*) {
  for_each_bilinear_pixel(in, out, C, H, W, H_out, W_out, [C](const BilinearPixel& px, float* o) {
    const __m256 v00 = _mm256_set1_ps(px.w00), v01 = _mm256_set1_ps(px.w01);
    const __m256 v10 = _mm256_set1_ps(px.w10), v11 = _mm256_set1_ps(px.w11);
    int c = 0;
    for (; c + 8 <= C; c += 8) {
      __m256 v = _mm256_mul_ps(v00, _mm256_loadu_ps(px.p00 + c));
      v = _mm256_fmadd_ps(v01, _mm256_loadu_ps(px.p01 + c), v);
      v = _mm256_fmadd_ps(v10, _mm256_loadu_ps(px.p10 + c), v);
      _mm256_storeu_ps(o + c, _mm256_fmadd_ps(v11, _mm256_loadu_ps(px.p11 + c), v));
    }
    for (; c < C; ++c) o[c] = bilinear_blend(px, c);
  });
}

}  // namespace mi::cpu
