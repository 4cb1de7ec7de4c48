// Layer normalisation of token rows: each row of C floats is centred on its mean, divided
// by its standard deviation (population variance plus eps), scaled by gamma and shifted by
// beta.
#pragma once

#include "backend/backend.h"

namespace mi::cpu {

void install_layernorm_ops(BackendOps& ops);

void layernorm_fp32(const float* x, const float* gamma, const float* beta, float* y, int rows,
                    int C, float eps, void* ctx);

// One thread's rows. Sums run in 8 lanes over the whole groups of 8, reduced as
// reduce8_ref, then the last C mod 8 values in order.
void layernorm_rows_avx2(const float* x, const float* gamma, const float* beta, float* y, int rows,
                         int C, float eps);
void layernorm_fp32_ref(const float* x, const float* gamma, const float* beta, float* y, int rows,
                        int C, float eps);

}  // namespace mi::cpu
