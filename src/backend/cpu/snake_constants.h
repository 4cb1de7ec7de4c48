// Single-precision constants of the Snake sine, with their bit patterns.
#pragma once

namespace mi::cpu::snake {

constexpr float kInvPi = 0.318309873f;    // 0x3EA2F983
constexpr float kPiHi = 3.14159274f;      // 0x40490FDB, pi rounded to float
constexpr float kPiLo = -8.74227766e-8f;  // 0xB3BBBD2E, pi - kPiHi

// sin(r) = r * (1 + u*(kS1 + u*(kS2 + u*(kS3 + u*kS4)))), u = r^2: minimax for the relative
// error on [-pi/2, pi/2] (6e-9 in exact arithmetic).
constexpr float kS1 = -0.166666597f;    // 0xBE2AAAA6
constexpr float kS2 = 8.33306648e-3f;   // 0x3C08876A
constexpr float kS3 = -1.98096037e-4f;  // 0xB94FB800
constexpr float kS4 = 2.60578236e-6f;   // 0x362EDF00

}  // namespace mi::cpu::snake
