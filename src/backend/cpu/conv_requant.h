// The two rounding rules of the int8 convolution kernels.
#pragma once

#include <cstdint>

#include "backend/cpu/int8_arith.h"

namespace mi::cpu {

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

}  // namespace mi::cpu
