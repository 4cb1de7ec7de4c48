// Copy kernels that combine and cut the channels of 1-D sequences (rows of C floats).
#pragma once

#include "backend/backend.h"

namespace mi::cpu {

void concat1d_fp32(const float* a, const float* b, float* out, int rows, int C1, int C2,
                   bool broadcast, void* ctx);
void slice_channels_fp32(const float* in, float* out, int rows, int C, int start, int n, void* ctx);

void install_sequence_ops(BackendOps& ops);

}  // namespace mi::cpu
