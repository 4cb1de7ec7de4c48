// General 2-D convolution kernels of the CPU backend: im2col gathers feeding the packed
// GEMM engines. Tensors are single images, channels-last unless a planar flag says so.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "backend/backend.h"

namespace mi::cpu {

void install_conv_ops(BackendOps& ops);

// The convolution kernels lower to the CPU record's matrix products.
inline void require_cpu_op(bool present, const char* op) {
  if (!present) throw std::runtime_error(std::string("cpu backend: convolution needs ") + op);
}

// Output extent of one spatial dimension; may be 0 or negative when the kernel does not fit.
inline int conv_out_size(int in, int pad, int dil, int k, int stride) {
  return (in + 2 * pad - dil * (k - 1) - 1) / stride + 1;
}

// One convolution: the layer's configuration, and the image of one run.
struct ConvGeometry {
  int C_out = 0, C_in = 0, kH = 1, kW = 1, stride_h = 1, stride_w = 1, pad_h = 0, pad_w = 0;
  int groups = 1, dilation_h = 1, dilation_w = 1;
  int K = 0;  // (C_in / groups) * kH * kW, the reduction length of one output value
  int H = 0, W = 0, Ho = 0, Wo = 0;
  int c0 = 0;  // first input channel of the group an im2col gathers

  int Cg() const { return C_in / groups; }
  void set_image(int h, int w) {
    H = h;
    W = w;
    Ho = conv_out_size(h, pad_h, dilation_h, kH, stride_h);
    Wo = conv_out_size(w, pad_w, dilation_w, kW, stride_w);
  }
};

// weight [N][Cg][kH][kW] (file order) -> [N][kH][kW][Cg] (kernel-position order, matching the
// channels-last im2col columns). 1x1 kernels are the same in both orders.
template <class T>
void reorder_kernel_position(const T* weight, T* out, int N, int Cg, int kH, int kW) {
  const int taps = kH * kW;
  for (int o = 0; o < N; ++o)
    for (int i = 0; i < Cg; ++i)
      for (int t = 0; t < taps; ++t)
        out[(int64_t(o) * taps + t) * Cg + i] = weight[(int64_t(o) * Cg + i) * taps + t];
}

void conv_fp32(const float* input, const float* weight, const float* bias, float* output, int C,
               int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
               int pad_w, bool relu, const void* packed, float* scratch, int dil_h, int dil_w,
               void* ctx);

// Grouped float convolution: group g reads input channels [g*C/groups, (g+1)*C/groups) and
// writes output channels [g*C_out/groups, ...), with group_packs[g] the group's
// C_out/groups x (C/groups)*kH*kW kernel-position matrix packed by pack_weights_fp32.
// scratch (nullable) holds the floats of grouped_fp32_scratch_floats.
void conv_fp32_grouped(const float* input, const void* const* group_packs, const float* bias,
                       float* output, int C, int H, int W, int C_out, int kH, int kW, int stride_h,
                       int stride_w, int pad_h, int pad_w, int dil_h, int dil_w, int groups,
                       bool relu, float* scratch);
int64_t grouped_fp32_scratch_floats(int C, int H_out, int W_out, int C_out, int kH, int kW,
                                    int groups);

void conv_int8(const int8_t* input, const int8_t* weight, const void* packed,
               const int64_t* eff_bias, const int32_t* multiplier, const int32_t* shift,
               int8_t in_zp, int8_t out_zp, int8_t* output, int C, int H, int W, int C_out, int kH,
               int kW, int stride_h, int stride_w, int pad_h, int pad_w, int groups,
               int8_t* scratch, bool channels_last, const int32_t* row_sums, void* ctx);

// Grouped int8 convolution on a channels-last image through the planar kernel: the input is
// copied to planar order, convolved per group, and the planar result copied back. The two
// staging buffers are per thread and only grow.
void conv_int8_grouped_channels_last(const int8_t* input, const int8_t* weight,
                                     const int64_t* eff_bias, const int32_t* multiplier,
                                     const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                     int8_t* output, int C, int H, int W, int C_out, int kH, int kW,
                                     int stride_h, int stride_w, int pad_h, int pad_w, int groups);

}  // namespace mi::cpu
