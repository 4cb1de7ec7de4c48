// Integer arithmetic shared by every quantised layer and kernel: fixed-point multipliers,
// requantisation to int8 and the symmetric per-row quantisation of float activations.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace mi::cpu {

struct QuantMultiplier {
  int32_t multiplier;  // in [2^30, 2^31)
  int32_t shift;       // scale = multiplier / 2^31 * 2^shift
};

// Splits a positive scale s into s = multiplier * 2^(shift - 31), the multiplier rounded
// half away from zero.
inline QuantMultiplier quantize_multiplier(double s) {
  int e = 0;
  const double m = std::frexp(s, &e);
  int64_t q = int64_t(std::round(m * double(int64_t(1) << 31)));
  if (q == (int64_t(1) << 31)) {
    q = int64_t(1) << 30;
    ++e;
  }
  return {int32_t(q), int32_t(e)};
}

inline int8_t saturate_int8(int64_t v) { return int8_t(std::clamp<int64_t>(v, -128, 127)); }

// x * multiplier / 2^31 rounded half up, then an arithmetic shift by -shift (towards minus
// infinity), plus the output zero point, saturated. Scales of 1 and above (shift > 0) are
// a saturating left shift, so every input has a defined result.
inline int8_t requantize(int32_t x, int32_t multiplier, int32_t shift, int32_t out_zp) {
  int64_t t = (int64_t(x) * multiplier + (int64_t(1) << 30)) >> 31;
  if (shift <= 0)
    t >>= std::min(-int64_t(shift), int64_t(63));
  else
    t = int64_t(uint64_t(t) << std::min(shift, 32));
  return saturate_int8(t + out_zp);
}

// Dynamic quantisation of one float row: scale = max(max|x| / 127, 1e-8), symmetric.
constexpr float kInv127 = 0.007874016f;
constexpr float kMinDynamicScale = 1e-8f;

inline float dynamic_scale(float absmax) { return std::max(absmax * kInv127, kMinDynamicScale); }

// x * inv clamped to [-128, 127] (NaN to -128) before rounding, so that the integer
// conversion is always defined.
inline float clamp_to_int8_range(float v) {
  v = v > -128.0f ? v : -128.0f;
  return v < 127.0f ? v : 127.0f;
}

}  // namespace mi::cpu
