// Element-wise additions (of tensors, in place, of a bias to every row) and scaling, and the
// fixed-point rescaling shared by every int8 kernel of this family and of the pooling family.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backend/backend.h"

namespace mi::cpu {

// A positive real factor f as m * 2^(e - 31) with m in [2^30, 2^31).
struct FixedPoint {
  int64_t m = 0;
  int e = 0;
};

// True when `f` is finite, positive and small enough (below about 2^30) for the rescaling
// shift to stay defined. Layers check their factors with this before calling a kernel.
bool fixed_point_factor_ok(double f);
// Throws std::runtime_error when !fixed_point_factor_ok(f).
FixedPoint to_fixed_point(double f);
// Rounds a * f half up: ((a*m + 2^(30-e)) >> (31-e)) in 64-bit arithmetic.
inline int64_t apply_fixed_point(int64_t a, FixedPoint fp) {
  return (a * fp.m + (int64_t(1) << (30 - fp.e))) >> (31 - fp.e);
}
inline int8_t saturate_int8(int64_t v) { return int8_t(v < -128 ? -128 : v > 127 ? 127 : v); }

// Scalar references. Input and output may be the same block.
void add_fp32_ref(const float* a, const float* b, float* out, int n, bool relu, void* ctx);
void add_int8_ref(const int8_t* a, const int8_t* b, float in1_scale, int in1_zp, float in2_scale,
                  int in2_zp, float out_scale, int out_zp, int8_t* out, int n, void* ctx);
void scale_fp32_ref(const float* in, float* out, size_t n, float s, void* ctx);
void add_inplace_fp32_ref(float* dst, const float* src, size_t n);
void add_bias_rows_fp32_ref(float* data, const float* bias, int rows, int C, void* ctx);

void add_fp32_avx2(const float* a, const float* b, float* out, int n, bool relu, void* ctx);
void add_int8_avx2(const int8_t* a, const int8_t* b, float in1_scale, int in1_zp, float in2_scale,
                   int in2_zp, float out_scale, int out_zp, int8_t* out, int n, void* ctx);
void scale_fp32_avx2(const float* in, float* out, size_t n, float s, void* ctx);
// dst[i] += src[i]; data[r][c] += bias[c] over rows of C floats.
void add_inplace_fp32_avx2(float* dst, const float* src, size_t n);
void add_bias_rows_fp32_avx2(float* data, const float* bias, int rows, int C, void* ctx);

void install_elementwise_ops(BackendOps& ops);

}  // namespace mi::cpu
