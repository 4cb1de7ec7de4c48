#include "backend/cpu/pooling.h"

#include <cmath>
#include <limits>

#include "backend/cpu/elementwise.h"

namespace mi::cpu {

namespace {

template <class T>
void maxpool_ref(const T* in, T* out, int C, int H, int W, int kH, int kW, int stride_h,
                 int stride_w, int pad_h, int pad_w, T lowest, bool planar) {
  const int64_t Ho = pooled_extent(H, kH, stride_h, pad_h);
  const int64_t Wo = pooled_extent(W, kW, stride_w, pad_w);
  for (int64_t oy = 0; oy < Ho; ++oy)
    for (int64_t ox = 0; ox < Wo; ++ox)
      for (int c = 0; c < C; ++c) {
        T m = lowest;
        for (int ky = 0; ky < kH; ++ky) {
          const int64_t y = oy * stride_h - pad_h + ky;
          if (y < 0 || y >= H) continue;
          for (int kx = 0; kx < kW; ++kx) {
            const int64_t x = ox * stride_w - pad_w + kx;
            if (x < 0 || x >= W) continue;
            const T v = planar ? in[(int64_t(c) * H + y) * W + x] : in[(y * W + x) * C + c];
            m = m > v ? m : v;
          }
        }
        if (planar)
          out[(int64_t(c) * Ho + oy) * Wo + ox] = m;
        else
          out[(oy * Wo + ox) * C + c] = m;
      }
}

void avgpool_int8_generic(const int8_t* in, float in_scale, int in_zp, float out_scale, int out_zp,
                          int8_t* out, int C, int H, int W, bool planar) {
  const FixedPoint fp = to_fixed_point(avgpool_int8_factor(in_scale, out_scale, H, W));
  const int64_t P = int64_t(H) * W;
  for (int c = 0; c < C; ++c) {
    int32_t acc = 0;
    for (int64_t p = 0; p < P; ++p) acc += (planar ? in[c * P + p] : in[p * C + c]) - in_zp;
    out[c] = saturate_int8(apply_fixed_point(acc, fp) + out_zp);
  }
}

}  // namespace

void maxpool_fp32_ref(const float* in, float* out, int C, int H, int W, int kH, int kW,
                      int stride_h, int stride_w, int pad_h, int pad_w, void*) {
  maxpool_ref(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w,
              -std::numeric_limits<float>::infinity(), false);
}

void maxpool_int8_ref(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                      int stride_h, int stride_w, int pad_h, int pad_w, void*) {
  maxpool_ref<int8_t>(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, -128, false);
}

void maxpool_int8_planar_ref(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                             int stride_h, int stride_w, int pad_h, int pad_w, void*) {
  maxpool_ref<int8_t>(in, out, C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, -128, true);
}

void avgpool_fp32_ref(const float* in, float* out, int C, int H, int W, void*) {
  const int64_t P = int64_t(H) * W;
  const float r = 1.0f / float(P);
  for (int c = 0; c < C; ++c) out[c] = 0.0f;
  for (int64_t p = 0; p < P; ++p)
    for (int c = 0; c < C; ++c) out[c] += in[p * C + c];
  for (int c = 0; c < C; ++c) out[c] *= r;
}

void avgpool_int8_ref(const int8_t* in, float in_scale, int in_zp, float out_scale, int out_zp,
                      int8_t* out, int C, int H, int W, void*) {
  avgpool_int8_generic(in, in_scale, in_zp, out_scale, out_zp, out, C, H, W, false);
}

void avgpool_int8_planar_ref(const int8_t* in, float in_scale, int in_zp, float out_scale,
                             int out_zp, int8_t* out, int C, int H, int W, void*) {
  avgpool_int8_generic(in, in_scale, in_zp, out_scale, out_zp, out, C, H, W, true);
}

BilinearTap bilinear_tap(int o, int in, int out) {
  const float s = ((float(o) + 0.5f) * float(in)) / float(out) - 0.5f;
  const float f0 = std::floor(s);
  const int i0 = int(f0);
  const auto clamp = [in](int i) { return i < 0 ? 0 : i > in - 1 ? in - 1 : i; };
  return BilinearTap{clamp(i0), clamp(i0 + 1), s - f0};
}

void upsample_bilinear_fp32_ref(const float* in, float* out, int C, int H, int W, int H_out,
                                int W_out, void*) {
  for_each_bilinear_pixel(in, out, C, H, W, H_out, W_out, [C](const BilinearPixel& px, float* o) {
    for (int c = 0; c < C; ++c) o[c] = bilinear_blend(px, c);
  });
}

void install_pooling_ops(BackendOps& ops) {
  ops.maxpool_int8_planar = maxpool_int8_planar_avx2;
  ops.maxpool_int8 = maxpool_int8_avx2;
  ops.maxpool_fp32 = maxpool_fp32_avx2;
  ops.avgpool_int8_planar = avgpool_int8_planar_avx2;
  ops.avgpool_int8 = avgpool_int8_avx2;
  ops.avgpool_fp32 = avgpool_fp32_avx2;
  ops.upsample_bilinear_fp32 = upsample_bilinear_fp32_avx2;
}

}  // namespace mi::cpu
