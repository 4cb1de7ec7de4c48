// Single-precision constants of the spectral kernels' sine, cosine and arctangent.
#pragma once

#include <cstdint>

namespace mi::cpu::spectral {

constexpr float kInvPi = 0.318309873f;    // 0x3EA2F983
constexpr float kPiHi = 3.14159274f;      // 0x40490FDB, pi rounded to float
constexpr float kPiLo = -8.74227766e-8f;  // 0xB3BBBD2E, pi - kPiHi
constexpr float kHalfPi = 1.57079637f;
constexpr float kQuarterPi = 0.785398185f;
constexpr float kTwoPi = 6.2831855f;
constexpr double kTwoPiD = 6.283185307179586;

// sin(r) = r * (1 + u*(kS1 + u*(kS2 + u*(kS3 + u*kS4)))), u = r^2, minimax on
// [-pi/2 - 0.01, pi/2 + 0.01] (the Snake sine's polynomial).
constexpr float kS1 = -0.166666597f;
constexpr float kS2 = 8.3330553e-3f;
constexpr float kS3 = -1.9808783e-4f;
constexpr float kS4 = 2.6038731e-6f;

// cos(r) = 1 + u*(kC1 + u*(kC2 + ... + u*kC6)): the Taylor series to r^12, whose truncation
// error is below 7e-9 on [-pi/2, pi/2].
constexpr float kC1 = -0.5f;
constexpr float kC2 = 4.16666679e-2f;
constexpr float kC3 = -1.38888889e-3f;
constexpr float kC4 = 2.48015876e-5f;
constexpr float kC5 = -2.75573188e-7f;
constexpr float kC6 = 2.08767570e-9f;

// atan(t) = t + t*z*(kA0 + z*(kA1 + z*(kA2 + z*kA3))), z = t^2, for |t| <= tan(pi/8); larger
// ratios go through atan(a) = pi/4 + atan((a - 1) / (a + 1)).
constexpr float kTanPi8 = 0.414213562f;
constexpr float kA0 = -3.33329491539e-1f;
constexpr float kA1 = 1.99777106478e-1f;
constexpr float kA2 = -1.38776856032e-1f;
constexpr float kA3 = 8.05374449538e-2f;

// 2^-32: the generator's upper 32 bits to [0, 1).
constexpr float kTwoPowMinus32 = 2.3283064e-10f;
constexpr uint64_t kXorshiftMultiplier = 0x2545f4914f6cdd1dull;

}  // namespace mi::cpu::spectral
