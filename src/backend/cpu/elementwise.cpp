#include "backend/cpu/elementwise.h"

#include <cmath>
#include <stdexcept>

namespace mi::cpu {

namespace {

// frexp then round the mantissa to 31 bits; a mantissa that rounds up to 2^31 moves into
// the exponent.
FixedPoint split(double f) {
  int e = 0;
  const double q = std::frexp(f, &e);
  FixedPoint fp{int64_t(std::round(q * 2147483648.0)), e};
  if (fp.m == (int64_t(1) << 31)) {
    fp.m = int64_t(1) << 30;
    fp.e += 1;
  }
  return fp;
}

}  // namespace

bool fixed_point_factor_ok(double f) { return std::isfinite(f) && f > 0.0 && split(f).e <= 30; }

FixedPoint to_fixed_point(double f) {
  if (!fixed_point_factor_ok(f))
    throw std::runtime_error("int8 rescale factor must be finite, positive and below 2^30");
  FixedPoint fp = split(f);
  // Below 2^-32 every int32 input rounds to 0; m = 0 gives that with a shift that stays
  // inside 64 bits.
  if (fp.e < -31) fp = FixedPoint{0, 0};
  return fp;
}

void add_fp32_ref(const float* a, const float* b, float* out, int n, bool relu, void*) {
  for (int i = 0; i < n; ++i) {
    const float s = a[i] + b[i];
    out[i] = relu ? (s >= 0.0f ? s : 0.0f) : s;
  }
}

void add_int8_ref(const int8_t* a, const int8_t* b, float in1_scale, int in1_zp, float in2_scale,
                  int in2_zp, float out_scale, int out_zp, int8_t* out, int n, void*) {
  const FixedPoint f1 = to_fixed_point(in1_scale / out_scale);
  const FixedPoint f2 = to_fixed_point(in2_scale / out_scale);
  for (int i = 0; i < n; ++i) {
    const int64_t v = int64_t(out_zp) + apply_fixed_point(int64_t(a[i]) - in1_zp, f1) +
                      apply_fixed_point(int64_t(b[i]) - in2_zp, f2);
    out[i] = saturate_int8(v);
  }
}

void scale_fp32_ref(const float* in, float* out, size_t n, float s, void*) {
  for (size_t i = 0; i < n; ++i) out[i] = s * in[i];
}

void add_inplace_fp32_ref(float* dst, const float* src, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] += src[i];
}

void add_bias_rows_fp32_ref(float* data, const float* bias, int rows, int C, void*) {
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < C; ++c) data[size_t(r) * C + c] += bias[c];
}

void install_elementwise_ops(BackendOps& ops) {
  ops.add_inplace_fp32 = add_inplace_fp32_avx2;
  ops.add_bias_rows_fp32 = add_bias_rows_fp32_avx2;
  ops.add_fp32 = add_fp32_avx2;
  ops.add_int8 = add_int8_avx2;
  ops.scale_fp32 = scale_fp32_avx2;
}

}  // namespace mi::cpu
