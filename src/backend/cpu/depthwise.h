// Depthwise convolutions (one input channel per output channel) on channels-last images.
// Each *_ref form is the scalar definition; the *_avx2 form computes the same values bit for
// bit. Both cover output rows [oy0, oy1) and channels [c0, c1) (the avx2 forms all channels).
#pragma once

#include <cstdint>

namespace mi::cpu {

// Float depthwise with any kernel, stride, padding and dilation. `weight` is tap-major:
// tap (ky, kx) of channel c at (ky*kW + kx)*C + c. Per output: taps inside the image are
// accumulated in tap order by fused multiply-add from 0, then bias, then ReLU.
struct DepthwiseFp32Args {
  const float* input;
  const float* weight;
  const float* bias;  // nullable
  float* output;
  int C, H, W, kH, kW, stride_h, stride_w, pad_h, pad_w, dil_h, dil_w;
  bool relu;
};

void depthwise_fp32(const DepthwiseFp32Args& a);
void depthwise_fp32_ref(const DepthwiseFp32Args& a, int oy0, int oy1, int c0, int c1);
void depthwise_fp32_avx2(const DepthwiseFp32Args& a, int oy0, int oy1);

// Int8 depthwise 3x3, pad 1, equal strides. `weight` is tap-major (tap t of channel c at
// t*C + c). acc = bias[c] + sum of weight * input over the 9 taps, with in_zp for positions
// outside the image; out = clamp(out_zp + round(acc * multiplier * 2^(shift - 31))), rounded
// once, ties up.
struct Depthwise3x3Int8Args {
  const int8_t* input;
  const int8_t* weight;
  const int32_t* bias;
  const int32_t* multiplier;
  const int32_t* shift;
  int8_t in_zp, out_zp;
  int8_t* output;
  int C, H, W, stride;
};

void depthwise3x3_int8(const Depthwise3x3Int8Args& a);
void depthwise3x3_int8_ref(const Depthwise3x3Int8Args& a, int oy0, int oy1, int c0, int c1);
void depthwise3x3_int8_avx2(const Depthwise3x3Int8Args& a, int oy0, int oy1);

inline int depthwise_out_size(int in, int pad, int dil, int k, int stride) {
  return (in + 2 * pad - dil * (k - 1) - 1) / stride + 1;
}

}  // namespace mi::cpu
