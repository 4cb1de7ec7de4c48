// fp32 matrix product on weights packed into 8-row panels, and the in-place ReLU.
#pragma once

#include <cstdint>

#include "backend/backend.h"

namespace mi::cpu {

void install_gemm_fp32_ops(BackendOps& ops);

// What a product does with each output after the bias: nothing, the ReLU rule of relu_fp32,
// or the 8-lane GELU of gelu_fp32 (so a product with kGelu equals the product followed by
// gelu_fp32 whenever M*N is a multiple of 8, which leaves gelu_fp32 no scalar tail).
enum class Fp32Epilogue { kNone, kRelu, kGelu };

float* pack_weights_fp32(const float* W, int N, int K);
void free_packed_fp32(void* block);
void gemm_packed_fp32(const float* A, const float* packed, const float* bias, float* C, bool relu,
                      int M, int K, int N, bool team, void* ctx);
void gemm_packed_fp32_epilogue(const float* A, const float* packed, const float* bias, float* C,
                               Fp32Epilogue epi, int M, int K, int N, bool team);
void gemm_fp32(const float* x, const float* W, const float* bias, float* y, int K, int N,
               const void* packed, void* ctx);
void relu_fp32(float* x, int n, void* ctx);

// Products of at least this many multiply-adds are shared by an OpenMP team.
constexpr int64_t kFp32TeamThreshold = 2000000;

// Number of threads a call made on the current thread with team = false would use.
int gemm_packed_fp32_threads(int M, int K, int N);

// One thread's share: panels [p0, p1) over row blocks [r0, r1), plus the trailing
// M mod 8 rows when `tail` is set. Every output is the ascending-k FMA sum from 0, then
// bias, then the epilogue.
void gemm_fp32_share_avx2(const float* A, const float* packed, const float* bias, float* C,
                          Fp32Epilogue epi, int M, int K, int N, int p0, int p1, int r0, int r1,
                          bool tail);
void relu_fp32_avx2(float* x, int n);

// Scalar references with the same per-element order of operations, on the unpacked
// N x K row-major W.
void gemm_fp32_ref(const float* A, const float* W, const float* bias, float* C, bool relu, int M,
                   int K, int N);
void relu_fp32_ref(float* x, int n);

}  // namespace mi::cpu
