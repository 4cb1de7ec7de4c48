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

}  // namespace mi::cpu
