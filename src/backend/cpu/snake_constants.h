// Single-precision constants of the Snake sine, with their bit patterns.
#pragma once

namespace mi::cpu::snake {

constexpr float kInvPi = 0.318309873f;    // 0x3EA2F983
constexpr float kPiHi = 3.14159274f;      // 0x40490FDB, pi rounded to float
constexpr float kPiLo = -8.74227766e-8f;  // 0xB3BBBD2E, pi - kPiHi

// sin(r) = r * (1 + u*(kS1 + u*(kS2 + u*(kS3 + u*kS4)))), u = r^2: minimax for the relative
// error on [-pi/2 - 0.01, pi/2 + 0.01] (6.5e-9 in exact arithmetic). The margin covers the
// rounding of the multiple of pi up to the direct limit.
constexpr float kS1 = -0.166666597f;   // 0xBE2AAAA6
constexpr float kS2 = 8.3330553e-3f;   // 0x3C08875E
constexpr float kS3 = -1.9808783e-4f;  // 0xB94FB5CC
constexpr float kS4 = 2.6038731e-6f;   // 0x362EBE33

}  // namespace mi::cpu::snake
