// Kernels that combine, cut, repeat and sum the rows of 1-D sequences (rows of C floats).
#pragma once

#include "backend/backend.h"

namespace mi::cpu {

// Output row r = a row r (C1 floats), then b row r, or b's single row when `broadcast`, or
// C2 zeros without b.
void concat1d_fp32(const float* a, const float* b, float* out, int rows, int C1, int C2,
                   bool broadcast, void* ctx);
// Output row r = input[r][start .. start + n).
void slice_channels_fp32(const float* in, float* out, int rows, int C, int start, int n, void* ctx);
// Output row t*s + j = input row t, j = 0..s-1.
void upsample_nearest1d_fp32(const float* in, float* out, int L, int C, int s, void* ctx);
// output[r] = the sum of row r in the order of row_sum.h.
void sum_channels_fp32(const float* in, float* out, int rows, int C, void* ctx);
void sum_channels_fp32_ref(const float* in, float* out, int rows, int C, void* ctx);

void install_sequence_ops(BackendOps& ops);

}  // namespace mi::cpu
