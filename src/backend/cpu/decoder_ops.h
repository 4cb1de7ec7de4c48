// Per-token kernels of the decoder graphs: RMS normalisation, the element-wise product and
// the token-embedding gather.
#pragma once

#include <cstdint>

#include "backend/backend.h"

namespace mi::cpu {

// Each row of C values: y = (x * (1 / sqrt(sum(x^2) / C + eps))) * gamma, the sum of squares
// in the order of row_sum.h. Rows are split over threads.
void rms_norm_fp32(const float* x, const float* gamma, float* y, int rows, int C, float eps,
                   void* ctx);
void rms_norm_fp32_ref(const float* x, const float* gamma, float* y, int rows, int C, float eps,
                       void* ctx);

// y[i] = a[i] * b[i], on the calling thread.
void elemwise_mul_fp32(const float* a, const float* b, float* y, int n, void* ctx);
void elemwise_mul_fp32_ref(const float* a, const float* b, float* y, int n, void* ctx);

// Output row i = table row k, k = indices[i] truncated toward zero and clamped to
// [0, V - 1]; a NaN index reads row 0.
void embedding_lookup_fp32(const float* indices, const float* table, float* out, int n, int V,
                           int D);
// Row of the table that an index selects, as embedding_lookup_fp32 chooses it.
int64_t embedding_row(float index, int V);

void rms_norm_rows_avx2(const float* x, const float* gamma, float* y, int64_t first, int64_t last,
                        int C, float eps);
void elemwise_mul_fp32_avx2(const float* a, const float* b, float* y, int n);

void install_decoder_ops(BackendOps& ops);

}  // namespace mi::cpu
