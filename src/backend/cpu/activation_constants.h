// Single-precision constants of the activation polynomials, with their bit patterns.
#pragma once

namespace mi::cpu::act {

constexpr float kExpMax = 88.0f;
constexpr float kLog2e = 1.44269502f;     // 0x3FB8AA3B
constexpr float kLn2Hi = 0.693359375f;    // 0x3F318000
constexpr float kLn2Lo = 2.12194442e-4f;  // 0x395E8083, added back: r = x - k*hi + k*lo
constexpr float kExpP0 = 1.98756912e-4f;  // 0x39506967
constexpr float kExpP1 = 1.39819994e-3f;  // 0x3AB743CE
constexpr float kExpP2 = 8.33345205e-3f;  // 0x3C088908
constexpr float kExpP3 = 4.16657962e-2f;  // 0x3D2AA9C1
constexpr float kExpP4 = 0.166666657f;    // 0x3E2AAAAA

constexpr float kInvPi = 0.318309873f;     // 0x3EA2F983
constexpr float kPi = 3.14159274f;         // 0x40490FDB
constexpr float kSinS1 = -0.166666672f;    // 0xBE2AAAAB
constexpr float kSinS2 = 8.33333377e-3f;   // 0x3C088889
constexpr float kSinS3 = -1.98412701e-4f;  // 0xB9500D01
constexpr float kSinS4 = 2.75573166e-6f;   // 0x3638EF1C

// GELU, tanh form: x * sigmoid(2 * sqrt(2/pi) * (x + 0.044715 x^3)).
constexpr float kGeluCubic = 0.044715f;
constexpr float kGeluTwoSqrt2OverPi = 1.5957692f;
constexpr float kGeluSqrt2OverPi = 0.7978846f;
constexpr float kGeluCubicTanh = 0.035677407f;  // 0.044715 * sqrt(2/pi)

}  // namespace mi::cpu::act
