// Long 1-D kernels as Winograd over chunks of taps. The kernel is cut into chunks of m taps
// (zeros after the last tap), each filtered by F(m,m). Chunk c of tile i reads the padded
// rows of tile i + c*d (the tile layout of conv1d.h, groups of m*d outputs), so one input
// transform serves every chunk, and the T products become T direct convolutions over the
// transformed tiles with one tap per chunk: T*chunks/m products per output instead of K.
#pragma once

#include <cstdint>
#include <vector>

#include "backend/cpu/conv1d.h"

namespace mi::cpu {

// F(m,m) for kernels of `taps` taps (4 and more), null for shorter kernels.
const Conv1dWinograd* conv1d_winograd_chunk_variant(int taps);

inline int conv1d_winograd_chunks(const Conv1dWinograd& v, int taps) {
  return (taps + v.m - 1) / v.m;
}

// The T matrices U_t, each C_out x chunks x Cg (the direct kernel's weight order):
// U_t[oc][c][ic] = sum_k G[t][k] * weight[oc][c*m + k][ic], from weight C_out x K x Cg.
std::vector<float> conv1d_winograd_chunk_weights(const Conv1dWinograd& v, const float* weight,
                                                 int C_out, int K, int Cg);

// Floats of scratch a call on the current thread needs: the padded input and one block
// area per thread of its team.
int64_t conv1d_winograd_chunks_scratch_floats(const Conv1dWinograd& v, int K, int L, int L_out,
                                              int C_in, int C_out, int padding, int dilation);

// Stride 1. `packed` holds the T matrices U_t packed by pack_conv1d_direct with
// `chunks` taps; `scratch` the floats above. Threads split the blocks of output tiles.
void conv1d_winograd_chunks_fp32(const Conv1dWinograd& v, int K, const float* input,
                                 const float* const* packed, const float* bias, bool relu, int L,
                                 int L_out, int C_in, int C_out, int padding, int dilation,
                                 float* output, float* scratch);

// Scalar reference with the same order of operations; `U` as conv1d_winograd_chunk_weights.
void conv1d_winograd_chunks_ref(const Conv1dWinograd& v, int K, const float* input, const float* U,
                                const float* bias, bool relu, int L, int L_out, int C_in, int C_out,
                                int padding, int dilation, float* output);

}  // namespace mi::cpu
