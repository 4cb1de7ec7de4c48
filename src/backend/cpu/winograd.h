// Winograd F(2x2, 3x3) convolution kernels (3x3, stride 1, pad 1) of the CPU backend.
// Tiles of 2x2 outputs: th = (H+1)/2 rows of tw = (W+1)/2 tiles, T = th*tw; tile t reads the
// 4x4 input patch whose top-left pixel is (2*(t/tw) - 1, 2*(t%tw) - 1). Transformed inputs
// and products are 16 matrices, one per transformed position k = 4a + b, stored T x C at
// (k*T + t)*C + c.
#pragma once

#include <cstdint>

namespace mi::cpu {

inline int64_t winograd_tiles(int H, int W) { return int64_t((H + 1) / 2) * ((W + 1) / 2); }

// U = G g G^T for one row-major 3x3 kernel g; U[4a + b].
void winograd_kernel_transform(const float* g, float* U);

void conv_winograd_fp32(const float* input, const void* const packed[16], const float* bias,
                        float* output, int C, int H, int W, int C_out, bool relu, float* scratch,
                        void* ctx, const float* weight);

void conv_winograd_int8(const int8_t* input, const void* const packed[16], const float* scales,
                        float input_scale, const int64_t* bias, const int32_t* multiplier,
                        const int32_t* shift, const float* req_scale, int8_t in_zp, int8_t out_zp,
                        int8_t* output, int C, int H, int W, int C_out, int8_t* scratch0,
                        int32_t* scratch1, const int32_t* const row_sums[16], void* ctx);

// Transforms over tiles [t0, t1) and channels [c0, c1). The *_ref forms are the scalar
// definitions; the *_avx2 forms compute the same values bit for bit.
struct WinogradInt8Out {
  int32_t pos_multiplier[16];  // fixed-point form of scale_k / input scale
  int32_t pos_shift[16];
  const int64_t* bias;  // low 32 bits used
  const int32_t* multiplier;
  const int32_t* shift;
  int8_t out_zp;
};

void winograd_input_fp32_ref(const float* in, int C, int H, int W, int t0, int t1, int c0, int c1,
                             float* V);
void winograd_input_fp32_avx2(const float* in, int C, int H, int W, int t0, int t1, float* V);
void winograd_output_fp32_ref(const float* Mw, const float* bias, bool relu, float* out, int C_out,
                              int H, int W, int t0, int t1, int c0, int c1);
void winograd_output_fp32_avx2(const float* Mw, const float* bias, bool relu, float* out, int C_out,
                               int H, int W, int t0, int t1);
void winograd_input_int8_ref(const int8_t* in, int8_t zp, int C, int H, int W, int t0, int t1,
                             int c0, int c1, int8_t* V);
void winograd_input_int8_avx2(const int8_t* in, int8_t zp, int C, int H, int W, int t0, int t1,
                              int8_t* V);
void winograd_output_int8_ref(const int32_t* P, const WinogradInt8Out& q, int8_t* out, int C_out,
                              int H, int W, int t0, int t1, int c0, int c1);
void winograd_output_int8_avx2(const int32_t* P, const WinogradInt8Out& q, int8_t* out, int C_out,
                               int H, int W, int t0, int t1);

}  // namespace mi::cpu
