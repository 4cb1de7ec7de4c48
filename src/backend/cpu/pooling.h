// Max pooling, global average pooling and bilinear resizing over image tensors.
//
// Channels-last unless named planar (channel-major: element (ch, y, x) at ch*H*W + y*W + x).
// Pooling output is H' = (H + 2*pad_h - kH) / stride_h + 1 by W' likewise; window taps
// outside the image are skipped. Input and output must be distinct blocks.
#pragma once

#include <cmath>
#include <cstdint>

#include "backend/backend.h"

namespace mi::cpu {

// Output height (or width) of a pooling window; may be 0 or negative when nothing fits.
inline int64_t pooled_extent(int64_t in, int64_t k, int64_t stride, int64_t pad) {
  return (in + 2 * pad - k) / stride + 1;
}

void maxpool_fp32_ref(const float* in, float* out, int C, int H, int W, int kH, int kW,
                      int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
void maxpool_int8_ref(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                      int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
void maxpool_int8_planar_ref(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                             int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
void avgpool_fp32_ref(const float* in, float* out, int C, int H, int W, void* ctx);
void avgpool_int8_ref(const int8_t* in, float in_scale, int in_zp, float out_scale, int out_zp,
                      int8_t* out, int C, int H, int W, void* ctx);
void avgpool_int8_planar_ref(const int8_t* in, float in_scale, int in_zp, float out_scale,
                             int out_zp, int8_t* out, int C, int H, int W, void* ctx);
void upsample_bilinear_fp32_ref(const float* in, float* out, int C, int H, int W, int H_out,
                                int W_out, void* ctx);

void maxpool_fp32_avx2(const float* in, float* out, int C, int H, int W, int kH, int kW,
                       int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
void maxpool_int8_avx2(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                       int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
void maxpool_int8_planar_avx2(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                              int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
void avgpool_fp32_avx2(const float* in, float* out, int C, int H, int W, void* ctx);
void avgpool_int8_avx2(const int8_t* in, float in_scale, int in_zp, float out_scale, int out_zp,
                       int8_t* out, int C, int H, int W, void* ctx);
void avgpool_int8_planar_avx2(const int8_t* in, float in_scale, int in_zp, float out_scale,
                              int out_zp, int8_t* out, int C, int H, int W, void* ctx);
void upsample_bilinear_fp32_avx2(const float* in, float* out, int C, int H, int W, int H_out,
                                 int W_out, void* ctx);

// The rescale factor of the int8 global average over H*W pixels.
inline float avgpool_int8_factor(float in_scale, float out_scale, int H, int W) {
  return in_scale / (float(int64_t(H) * W) * out_scale);
}

// Source row (or column) of bilinear output index `o`, with half-pixel centres: the two
// clamped taps and the weight of the second.
struct BilinearTap {
  int i0, i1;
  float frac;
};
BilinearTap bilinear_tap(int o, int in, int out);

// The four taps of one bilinear output pixel and their weights.
struct BilinearPixel {
  const float *p00, *p01, *p10, *p11;
  float w00, w01, w10, w11;
};

// Channel c of the pixel: w00*p00, then three fused multiply-adds in tap order.
inline float bilinear_blend(const BilinearPixel& px, int c) {
  float v = px.w00 * px.p00[c];
  v = std::fma(px.w01, px.p01[c], v);
  v = std::fma(px.w10, px.p10[c], v);
  return std::fma(px.w11, px.p11[c], v);
}

// Calls fn(pixel, output row of C floats) for every output pixel in row-major order.
template <class Fn>
void for_each_bilinear_pixel(const float* in, float* out, int C, int H, int W, int H_out, int W_out,
                             Fn fn) {
  for (int oy = 0; oy < H_out; ++oy) {
    const BilinearTap ty = bilinear_tap(oy, H, H_out);
    for (int ox = 0; ox < W_out; ++ox) {
      const BilinearTap tx = bilinear_tap(ox, W, W_out);
      const float a = 1.0f - ty.frac;
      const BilinearPixel px{in + (int64_t(ty.i0) * W + tx.i0) * C,
                             in + (int64_t(ty.i0) * W + tx.i1) * C,
                             in + (int64_t(ty.i1) * W + tx.i0) * C,
                             in + (int64_t(ty.i1) * W + tx.i1) * C,
                             std::fma(-a, tx.frac, a),
                             a * tx.frac,
                             std::fma(-ty.frac, tx.frac, ty.frac),
                             ty.frac * tx.frac};
      fn(px, out + (int64_t(oy) * W_out + ox) * C);
    }
  }
}

void install_pooling_ops(BackendOps& ops);

}  // namespace mi::cpu
