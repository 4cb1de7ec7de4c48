// Element-wise activation functions over float vectors.
//
// Every kernel computes whole blocks of 8 values with the polynomial forms below and the
// last n % 8 values with the C library functions, so a value's result depends on whether
// it falls in the tail. Input and output may be the same block.
#pragma once

#include "backend/backend.h"

namespace mi::cpu {

// exp(x) for x clamped to [-88, 88]: Cody-Waite reduction by ln 2 and a degree-7
// polynomial, scaled by 2^k built in the exponent field (0 for k = -127).
float exp_poly(float x);
// sin(x): reduction by pi, odd polynomial of degree 9, sign from the parity of the
// multiple of pi.
float sin_poly(float x);

// Scalar references: the block values use the polynomials above with exact division in
// place of the refined reciprocal estimate.
void sigmoid_fp32_ref(const float* in, float* out, int n, void* ctx);
void tanh_fp32_ref(const float* in, float* out, int n, void* ctx);
void leaky_relu_fp32_ref(const float* in, float* out, int n, float alpha, void* ctx);
void exp_fp32_ref(const float* in, float* out, int n, void* ctx);
void sin_fp32_ref(const float* in, float* out, int n, void* ctx);
void gelu_fp32_ref(float* x, int n, void* ctx);
void silu_fp32_ref(const float* x, float* y, int n, void* ctx);

void sigmoid_fp32_avx2(const float* in, float* out, int n, void* ctx);
void tanh_fp32_avx2(const float* in, float* out, int n, void* ctx);
void leaky_relu_fp32_avx2(const float* in, float* out, int n, float alpha, void* ctx);
void exp_fp32_avx2(const float* in, float* out, int n, void* ctx);
void sin_fp32_avx2(const float* in, float* out, int n, void* ctx);
void gelu_fp32_avx2(float* x, int n, void* ctx);
void silu_fp32_avx2(const float* x, float* y, int n, void* ctx);

// The tail forms, shared by the references and the AVX2 kernels.
float sigmoid_tail(float x);
float tanh_tail(float x);
float gelu_tail(float x);
float silu_tail(float x);

void install_activation_ops(BackendOps& ops);

}  // namespace mi::cpu
