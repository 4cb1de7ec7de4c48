// Max pooling, global average pooling and bilinear resizing over image tensors.
//
// Channels-last unless named planar (channel-major: element (ch, y, x) at ch*H*W + y*W + x).
// Pooling output is H' = (H + 2*pad_h - kH) / stride_h + 1 by W' likewise; window taps
// outside the image are skipped. Input and output must be distinct blocks.
#pragma once

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
void maxpool_int8_planar_ref(const int8_t* in, int8_t* out, int C, int H, int W, int kH,
                             int kW, int stride_h, int stride_w, int pad_h, int pad_w,
                             void* ctx);
void avgpool_fp32_ref(const float* in, float* out, int C, int H, int W, void* ctx);
void avgpool_int8_ref(const int8_t* in, float in_scale, int in_zp, float out_scale,
                      int out_zp, int8_t* out, int C, int H, int W, void* ctx);
void avgpool_int8_planar_ref(const int8_t* in, float in_scale, int in_zp, float out_scale,
                             int out_zp, int8_t* out, int C, int H, int W, void* ctx);
void upsample_bilinear_fp32_ref(const float* in, float* out, int C, int H, int W, int H_out,
                                int W_out, void* ctx);

void maxpool_fp32_avx2(const float* in, float* out, int C, int H, int W, int kH, int kW,
                       int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
void maxpool_int8_avx2(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,
                       int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
void maxpool_int8_planar_avx2(const int8_t* in, int8_t* out, int C, int H, int W, int kH,
                              int kW, int stride_h, int stride_w, int pad_h, int pad_w,
                              void* ctx);
void avgpool_fp32_avx2(const float* in, float* out, int C, int H, int W, void* ctx);
void avgpool_int8_avx2(const int8_t* in, float in_scale, int in_zp, float out_scale,
                       int out_zp, int8_t* out, int C, int H, int W, void* ctx);
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

void install_pooling_ops(BackendOps& ops);

}  // namespace mi::cpu
