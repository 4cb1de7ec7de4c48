// Per-token dense products over token-major sequences (M rows of K floats to M rows of N),
// in float and dynamically quantised int8 form, the single-token product against int8
// weights with one scale per row, and the simulated 8-bit activation of the float layers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend/backend.h"

namespace mi::cpu {

void install_seqgemm_ops(BackendOps& ops);

void seqgemm_fp32(const float* x, const float* W, const float* bias, float* y, int M, int K, int N,
                  bool gelu, const float* packed, void* ctx);
void seqgemm_int8(const float* x, const uint8_t* packed, const float* w_scales,
                  const int64_t* bias64, const float* bias, int8_t* q_scratch, float* scale_scratch,
                  float* y, int M, int K, int N, bool gelu, void* ctx);
void gemv_int8w_fp32(const float* x, const int8_t* Wq, const float* w_scales, const float* bias,
                     float* y, int K, int N, void* ctx);

// Single token against int8 weights quantised in blocks of B along K: Wq is N x K, w_scales
// is block-major ([K/B][N], so eight rows' scales of a block are adjacent). The token is
// quantised in blocks of B as well; y[n] accumulates float(int32 dot of block b) * (token
// scale b * weight scale b,n) in ascending b with fused multiply-adds, then adds the bias.
// B is a positive multiple of 32 dividing K. Work is split over rows only.
void gemv_int8_blocks_fp32(const float* x, const int8_t* Wq, const float* w_scales,
                           const float* bias, float* y, int K, int N, int B, void* ctx);

// Symmetric int8 copy of n values in blocks of B: scale max|v|/127 per block, values rounded
// half away from zero into [-127, 127]; a block of magnitude at most 1e-8 gets scale 1e-8 and
// zeros. The scale of block b goes to scales[b * scale_stride].
void quantize_blocks_int8(const float* x, int8_t* q, float* scales, int64_t n, int B,
                          int64_t scale_stride);

// Rows [n0, n1) of gemv_int8_blocks_fp32 from the already quantised token (xq, xs).
void gemv_int8_blocks_rows_avx2(const int8_t* xq, const float* xs, const int8_t* Wq,
                                const float* w_scales, const float* bias, float* y, int K, int N,
                                int B, int n0, int n1);

// Rows [n0, n1) of gemv_int8w_fp32 from the already quantised token (xq with scale xs).
void gemv_int8_rows_avx2(const int8_t* xq, float xs, const int8_t* Wq, const float* w_scales,
                         const float* bias, float* y, int K, int n0, int n1);

// GELU over n values, shared by a team in 8-aligned pieces, so every value is computed
// exactly as by one call over all n.
void gelu_fp32_shared(float* x, int64_t n);

// Each of the n values quantised to 8 unsigned levels over [min(lo, 0), max(hi, 0)] and
// back. `divide` divides by the scale instead of multiplying by its inverse. x may be y.
void fake_quantize_u8(const float* x, float* y, size_t n, bool divide);

// int32 dot product of K int8 values.
int32_t dot_int8_avx2(const int8_t* a, const int8_t* b, int K);

// Scalar references: seqgemm_fp32 on the unpacked W, and the single-token product.
void seqgemm_fp32_ref(const float* x, const float* W, const float* bias, float* y, int M, int K,
                      int N, bool gelu);
void gemv_int8w_fp32_ref(const float* x, const int8_t* Wq, const float* w_scales, const float* bias,
                         float* y, int K, int N);
void gemv_int8_blocks_fp32_ref(const float* x, const int8_t* Wq, const float* w_scales,
                               const float* bias, float* y, int K, int N, int B);

}  // namespace mi::cpu
