// Fixed-point requantisation shared by the int8 convolution kernels and layers.
#pragma once

#include <cmath>
#include <cstdint>

namespace mi::cpu {

// s = multiplier * 2^(shift - 31), multiplier in [2^30, 2^31), for a finite s > 0.
inline void conv_quantize_multiplier(double s, int32_t& multiplier, int32_t& shift) {
  int e = 0;
  const double m = std::frexp(s, &e);
  int64_t q = int64_t(std::round(m * 2147483648.0));
  if (q == (int64_t(1) << 31)) {
    q = int64_t(1) << 30;
    ++e;
  }
  multiplier = int32_t(q);
  shift = e;
}

// round(x * multiplier * 2^(shift - 31)), ties up, in one rounding. Shifts above 30 saturate
// any non-zero x either way and shifts below -32 round every int32 x to 0, so both ends are
// clamped to keep the shift count inside the 64-bit range.
inline int64_t requant_one_step(int64_t x, int32_t multiplier, int32_t shift) {
  if (shift > 30) shift = 30;
  if (shift < -32) return 0;
  const int s = 31 - shift;
  return (x * multiplier + (int64_t(1) << (s - 1))) >> s;
}

// The product by multiplier / 2^31 rounded half up, then an arithmetic right shift by
// -shift (at most 31). Defined for shift <= 0; larger scales take the one-step rule.
inline int64_t requant_two_step(int64_t x, int32_t multiplier, int32_t shift) {
  if (shift > 0) return requant_one_step(x, multiplier, shift);
  const int64_t t = (x * multiplier + (int64_t(1) << 30)) >> 31;
  return t >> (-shift < 31 ? -shift : 31);
}

inline int8_t saturate_int8(int64_t v) {
  return int8_t(v < -128 ? -128 : (v > 127 ? 127 : v));
}

}  // namespace mi::cpu
