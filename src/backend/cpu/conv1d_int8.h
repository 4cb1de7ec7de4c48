// Int8 1-D convolution, stride 1, for weights in [-64, 63]: every tap of a few output rows
// is computed while those rows sit in registers and L1, instead of one product per tap
// over the whole sequence. The arithmetic is that of conv1d_int8_per_tap: the padded rows
// quantised per time step, then output = bias + the dequantised tap sums, one fused
// multiply-add per tap in tap order.
#pragma once

#include <cstdint>

namespace mi::cpu {

// Every value of the C_out x K x C_in weight lies in [-64, 63].
bool conv1d_int8_is_narrow(const int8_t* weight, int64_t count);

// Packed layout: ceil(C_out/8) panels; panel p holds, for tap k and 4-channel group g in
// that order, 32 bytes whose 32-bit lane j is W[8p + j][k][4g .. 4g + 3] (0 past C_out or
// C_in). Behind the panels, per panel and tap, 8 int32 offsets 128 * sum_ic W[8p + j][k][ic].
// The block is freed with delete[].
uint8_t* pack_conv1d_int8_narrow(const int8_t* weight, int C_out, int K, int C_in);
int64_t conv1d_int8_narrow_bytes(int C_out, int K, int C_in);

// Bytes of the quantised padded rows: Lp rows of C_in rounded up to 4.
int64_t conv1d_int8_narrow_rows_bytes(int64_t Lp, int C_in);

// output[t][oc] from the L input rows with `padding` zero rows on each side, as
// conv1d_int8_per_tap computes it. q: conv1d_int8_narrow_rows_bytes(L + 2 * padding, C_in)
// bytes; scales: L + 2 * padding floats. Threads split the output steps.
void conv1d_int8_narrow(const float* input, int L, int padding, const uint8_t* packed,
                        const float* w_scales, const float* bias, float* output, int L_out,
                        int C_in, int C_out, int K, int dilation, uint8_t* q, float* scales);

// One thread's share: output steps [t0, t1) from the rows quantised to q + 128 (row
// stride ceil(C_in/4)*4 bytes) and their scales.
void conv1d_int8_narrow_share_avx2(const uint8_t* q, const float* scales, const uint8_t* packed,
                                   const float* w_scales, const float* bias, float* output,
                                   int C_in, int C_out, int K, int dilation, int t0, int t1);

// Shifts the n quantised bytes of a row to q + 128 and zeroes the row's pad bytes up to
// `stride`.
void offset_row_avx2(uint8_t* q, int n, int stride);

// Scalar reference on the unpacked C_out x K x C_in weight.
void conv1d_int8_narrow_ref(const float* input, int L, int padding, const int8_t* weight,
                            const float* w_scales, const float* bias, float* output, int L_out,
                            int C_in, int C_out, int K, int dilation);

}  // namespace mi::cpu
