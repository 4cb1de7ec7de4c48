// 1-D convolution kernels on time-major sequences (L rows of C floats): Winograd minimal
// filtering F(4,3), F(2,7) and F(2,11), a direct convolution on channel-panel packed
// weights, and the per-row int8 quantiser of the int8 layer.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace mi::cpu {

// One Winograd variant: m outputs per tile from T = m + r - 1 transformed points of an
// r-tap kernel. BT (T x T) and AT (m x T) have integer entries; the Lagrange denominators
// sit in G (T x r).
struct Conv1dWinograd {
  int m = 0, r = 0, T = 0;
  std::vector<float> BT, AT, G;
};

// Toom-Cook matrices of F(m, r) over the m + r - 2 finite points `pts` and infinity.
Conv1dWinograd conv1d_winograd_from_points(int m, int r, const std::vector<int>& pts);

// The variant for 3, 7 or 11 taps; null for any other kernel size.
const Conv1dWinograd* conv1d_winograd_variant(int taps);

// The T transformed weight matrices, U[t][oc][ic] = sum_k G[t][k] * weight[oc][k][ic]
// (fused multiply-adds in k order), from weight laid out C_out x r x Cg.
std::vector<float> conv1d_winograd_weights(const Conv1dWinograd& v, const float* weight, int C_out,
                                           int Cg);

// A dilation-d convolution is d undilated ones over the interleaved phases of the
// sequence. Tiles come in groups of d, one per phase, each group covering m*d consecutive
// outputs: tile i computes the outputs base + d*j (j < m) from the padded rows base + d*j
// (j < T), base = m*d*(i/d) + i%d. With d = 1, tile i starts at m*i.
inline int64_t conv1d_winograd_tiles(const Conv1dWinograd& v, int L_out, int dilation) {
  const int64_t group = int64_t(v.m) * dilation;
  return (int64_t(L_out) + group - 1) / group * dilation;
}
inline int64_t conv1d_winograd_tile_base(const Conv1dWinograd& v, int64_t i, int dilation) {
  return int64_t(v.m) * dilation * (i / dilation) + i % dilation;
}

// Floats of scratch a Winograd call needs: padded input, V and M.
int64_t conv1d_winograd_scratch_floats(const Conv1dWinograd& v, int L, int L_out, int C_in,
                                       int C_out, int padding, int dilation);

// Winograd convolution, stride 1. `packed` holds the T matrices U_t packed by
// pack_weights_fp32 (C_out rows, C_in columns); `scratch` the floats above.
void conv1d_winograd_f4k3(const float* input, const void* const* packed, const float* bias,
                          bool relu, int L, int L_out, int C_in, int C_out, int padding,
                          int dilation, float* output, float* scratch);
void conv1d_winograd_f2k7(const float* input, const void* const* packed, const float* bias,
                          bool relu, int L, int L_out, int C_in, int C_out, int padding,
                          int dilation, float* output, float* scratch);
void conv1d_winograd_f2k11(const float* input, const void* const* packed, const float* bias,
                           bool relu, int L, int L_out, int C_in, int C_out, int padding,
                           int dilation, float* output, float* scratch);

// Copies L rows of C floats to `padded` after `padding` zero rows, zeros up to row Lp.
void conv1d_fill_padded(const float* input, float* padded, int L, int C, int padding, int64_t Lp);

// Direct-convolution panel layout: ceil(C_out/8) panels; panel p holds, for k = 0..K-1 and
// ic = 0..Cg-1 in that order, the 8 floats weight[8p + j][k][ic] (j = 0..7), 0.0 where
// 8p + j >= C_out. From weight laid out C_out x K x Cg; the block is freed with delete[].
float* pack_conv1d_direct(const float* weight, int C_out, int K, int Cg);

// output[t][oc] = bias[oc] + sum_k sum_ic padded[t + k*dilation][ic] * W[oc][k][ic], then the
// ReLU rule; `in_parallel` says that the caller is one thread of a team sharing the call.
void conv1d_direct_fp32(const float* padded, const float* packed, const float* bias, float* output,
                        bool relu, int L_out, int C_in, int C_out, int K, int dilation,
                        bool in_parallel);

// Direct convolutions of at least this many multiply-adds are shared by a team.
constexpr int64_t kConv1dDirectTeamThreshold = 2000000;

// Symmetric quantisation of one row: scale = max(max|x| / 127, 1e-8), values rounded half
// to even and saturated.
void quantize_row_int8(const float* x, int8_t* q, float* scale, int n);

// One quantised value: round half to even, saturate to int16 and then to int8 (a value
// outside the int32 range, or NaN, converts to the int32 minimum first, as the vector
// conversion does).
inline int8_t quantize_value_int8(float v) {
  int32_t i = INT32_MIN;
  if (v >= -2147483648.0f && v < 2147483648.0f) i = int32_t(std::nearbyint(v));
  i = i < -32768 ? -32768 : i > 32767 ? 32767 : i;
  return int8_t(i < -128 ? -128 : i > 127 ? 127 : i);
}

// Int8 convolution with stride 1, one product per tap. The L input rows, with `padding`
// zero rows on each side, are quantised row by row into q (Lp x C_in int8) and scales (Lp
// floats; a zero row gets 1e-8); tap k then multiplies rows k*dilation.. with packs[k]
// (C_out x C_in, pack_weights_int8) and adds scale_row * w_scales[oc] * sum to the output,
// tap 0 starting from the bias. Threads split the time steps, so every output element takes
// the same arithmetic whatever the thread count.
void conv1d_int8_per_tap(const float* input, int L, int padding, const uint8_t* const* packs,
                         const float* w_scales, const float* bias, float* output, int L_out,
                         int C_in, int C_out, int K, int dilation, int8_t* q, float* scales);

// Vector parts. One thread's share of the direct convolution: output steps [t0, t1) of the
// panels [p0, p1).
void conv1d_direct_share_avx2(const float* padded, const float* packed, const float* bias,
                              float* output, bool relu, int L_out, int C_in, int C_out, int K,
                              int dilation, int t0, int t1, int p0, int p1);
// The input transform of the n tiles from i0: V[t][i - i0] = sum_j BT[t][j] *
// padded[base(i) + d*j].
void conv1d_winograd_input_avx2(const Conv1dWinograd& v, const float* padded, int dilation,
                                float* V, int n, int C, int64_t i0);
// The output transform of the n tiles from i0 with bias and ReLU (outputs below L_out).
void conv1d_winograd_output_avx2(const Conv1dWinograd& v, const float* M, const float* bias,
                                 bool relu, float* output, int dilation, int n, int L_out, int C,
                                 int64_t i0);
void quantize_row_int8_avx2(const float* x, int8_t* q, float* scale, int n);

// Scalar references with the same per-element order of operations as the vector kernels.
// `U` is the unpacked list of conv1d_winograd_weights, `weight` the C_out x K x C_in matrix.
void conv1d_winograd_ref(const Conv1dWinograd& v, const float* input, const float* U,
                         const float* bias, bool relu, int L, int L_out, int C_in, int C_out,
                         int padding, int dilation, float* output);
void conv1d_direct_fp32_ref(const float* padded, const float* weight, const float* bias,
                            float* output, bool relu, int L_out, int C_in, int C_out, int K,
                            int dilation);
// The two transforms of conv1d_winograd_ref, shared with the chunked form's reference:
// V[t][i][c] for the n tiles of `padded` (Lp rows of C_in), and the n tiles of M back to
// the output rows below L_out with bias and ReLU.
void conv1d_winograd_input_ref(const Conv1dWinograd& v, const float* padded, int64_t n, int C_in,
                               int dilation, float* V);
void conv1d_winograd_output_ref(const Conv1dWinograd& v, const float* M, const float* bias,
                                bool relu, int64_t n, int L_out, int C_out, int dilation,
                                float* output);
void quantize_row_int8_ref(const float* x, int8_t* q, float* scale, int n);

}  // namespace mi::cpu
