// Style-conditioned normalisation of 1-D sequences (L rows of C floats) and the Snake
// activation.
//
// Every result is independent of the thread count: Snake and adaptive layer norm compute
// each row on its own; adaptive instance norm sums fixed-size row blocks (their size depends
// on C only) and combines the block statistics in block order.
#pragma once

#include <cstdint>

#include "backend/backend.h"

namespace mi::cpu {

// y = x + inv_alpha[c] * sin^2(alpha[c] * x).
void snake1d_fp32(const float* in, float* out, const float* alpha, const float* inv_alpha, int rows,
                  int C, void* ctx);
// Per channel over the L rows: n = (x - mean) / sqrt(var + eps) (biased variance),
// z = n * norm_weight + norm_bias (z = n without a norm weight; a missing norm bias is 0),
// y = z * (1 + gamma) + beta.
void ada_in1d_fp32(const float* in, float* out, const float* gamma, const float* beta, int L, int C,
                   float eps, void* ctx, const float* norm_weight, const float* norm_bias);
// Per row over the C channels: n = (x - mean) / sqrt(var + eps), y = n * (1 + gamma) + beta.
void ada_layer_norm_fp32(const float* in, float* out, const float* gamma, const float* beta, int L,
                         int C, float eps, void* ctx);

// Scalar references: serial, the same operations per element as the kernels above.
void snake1d_fp32_ref(const float* in, float* out, const float* alpha, const float* inv_alpha,
                      int rows, int C, void* ctx);
void ada_in1d_fp32_ref(const float* in, float* out, const float* gamma, const float* beta, int L,
                       int C, float eps, void* ctx, const float* norm_weight,
                       const float* norm_bias);
void ada_layer_norm_fp32_ref(const float* in, float* out, const float* gamma, const float* beta,
                             int L, int C, float eps, void* ctx);

// Rows per statistics block of adaptive instance norm for C channels.
int ada_in_block_rows(int C);

// One Snake value. sin(z) is reduced exactly: z = alpha * x is split into its rounded value
// and the rounding error, the multiple of pi is taken off in two parts, and a degree-9
// minimax polynomial on [-pi/2, pi/2] finishes. Arguments beyond kSnakeDirectLimit in
// magnitude, where the float multiple of pi may be off by one, take the double-precision
// sine of the exact product instead.
float snake_value(float x, float alpha, float inv_alpha);
constexpr float kSnakeDirectLimit = 65536.0f;

// The AVX2 row kernels. Rows [r0, r1) of a rows x C block.
void snake_rows_avx2(const float* in, float* out, const float* alpha, const float* inv_alpha,
                     int64_t r0, int64_t r1, int C);
// Per channel of the block's n rows: sum[c] = sum of x, then
// m2[c] = sum of (x - sum[c] / n)^2; both in row order.
void ada_in_block_stats_avx2(const float* x, int n, int C, float* sum, float* m2);
// One block's step of the in-order merge of block statistics: the first block sets
// mean = sum / nb and m2; a later one moves them by d = sum / nb - mean:
// mean = fma(d, k_mean, mean), m2 = fma(d * d, k_m2, m2 + block m2), where
// k_mean = nb / n and k_m2 = n_before * nb / n for the n rows merged so far.
struct AdaInMerge {
  float nb = 0.0f;
  float k_mean = 0.0f;
  float k_m2 = 0.0f;
  bool first = true;
};
void ada_in_merge_avx2(const float* sum, const float* block_m2, const AdaInMerge& k, float* mean,
                       float* m2, int C);
// y = fma(fma(n, w, b), g1, beta) with n = (x - mean) * inv_std, or fma(n, g1, beta) when
// w is null, per channel, for rows [r0, r1).
void ada_in_apply_avx2(const float* in, float* out, int64_t r0, int64_t r1, int C,
                       const float* mean, const float* inv_std, const float* w, const float* b,
                       const float* g1, const float* beta);
// The adaptive layer norm of rows [r0, r1), with g1 = 1 + gamma.
void ada_layer_norm_rows_avx2(const float* in, float* out, const float* g1, const float* beta,
                              int64_t r0, int64_t r1, int C, float eps);

void install_style_norm_ops(BackendOps& ops);

}  // namespace mi::cpu
