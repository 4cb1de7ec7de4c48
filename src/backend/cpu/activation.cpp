#include "backend/cpu/activation.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "backend/cpu/activation_constants.h"

namespace mi::cpu {

using namespace act;

float exp_poly(float x) {
  if (std::isnan(x)) return x;
  x = -kExpMax > x ? -kExpMax : x;
  x = kExpMax < x ? kExpMax : x;
  const float k = std::nearbyint(x * kLog2e);
  float r = std::fma(k, -kLn2Hi, x);
  r = std::fma(k, kLn2Lo, r);
  float p = kExpP0;
  p = std::fma(p, r, kExpP1);
  p = std::fma(p, r, kExpP2);
  p = std::fma(p, r, kExpP3);
  p = std::fma(p, r, kExpP4);
  p = std::fma(p, r, 0.5f);
  p = std::fma(p, r, 1.0f);
  p = std::fma(p, r, 1.0f);
  const uint32_t bits = uint32_t(int32_t(k) + 127) << 23;
  float scale;
  std::memcpy(&scale, &bits, sizeof scale);
  return p * scale;
}

float sin_poly(float x) {
  const float k = std::nearbyint(x * kInvPi);
  const float r = std::fma(k, -kPi, x);
  const float r2 = r * r;
  float q = std::fma(r2, kSinS4, kSinS3);
  q = std::fma(r2, q, kSinS2);
  q = std::fma(r2, q, kSinS1);
  q = std::fma(r2, q, 1.0f);
  const float s = r * q;
  // Parity from the float itself: k beyond 2^24 is even, NaN keeps its sign.
  return std::fabs(std::fmod(k, 2.0f)) == 1.0f ? -s : s;
}

float sigmoid_tail(float x) { return 1.0f / (1.0f + std::exp(-x)); }
float tanh_tail(float x) { return std::tanh(x); }
float gelu_tail(float x) {
  const float t = std::tanh(x * (kGeluSqrt2OverPi + kGeluCubicTanh * x * x));
  return 0.5f * (x + x * t);
}
float silu_tail(float x) { return x / (1.0f + std::exp(-x)); }

namespace {

float gelu_block(float x) {
  const float z = kGeluTwoSqrt2OverPi * std::fma(kGeluCubic * x * x, x, x);
  return std::fma(-x, 1.0f / (1.0f + exp_poly(z)), x);
}

// Applies `block` to whole groups of 8 and `tail` to the rest.
template <class Block, class Tail>
void blocked(const float* in, float* out, int n, Block block, Tail tail) {
  const int body = n - n % 8;
  for (int i = 0; i < body; ++i) out[i] = block(in[i]);
  for (int i = body; i < n; ++i) out[i] = tail(in[i]);
}

}  // namespace

void exp_fp32_ref(const float* in, float* out, int n, void*) {
  blocked(in, out, n, exp_poly, [](float x) { return std::exp(x); });
}

void sin_fp32_ref(const float* in, float* out, int n, void*) {
  blocked(in, out, n, sin_poly, [](float x) { return std::sin(x); });
}

void sigmoid_fp32_ref(const float* in, float* out, int n, void*) {
  blocked(in, out, n, [](float x) { return 1.0f / (1.0f + exp_poly(-x)); }, sigmoid_tail);
}

void tanh_fp32_ref(const float* in, float* out, int n, void*) {
  blocked(in, out, n, [](float x) { return std::fma(2.0f, 1.0f / (1.0f + exp_poly(-2.0f * x)), -1.0f); },
          tanh_tail);
}

void leaky_relu_fp32_ref(const float* in, float* out, int n, float alpha, void*) {
  for (int i = 0; i < n; ++i) out[i] = in[i] >= 0.0f ? in[i] : alpha * in[i];
}

void gelu_fp32_ref(float* x, int n, void*) { blocked(x, x, n, gelu_block, gelu_tail); }

void silu_fp32_ref(const float* x, float* y, int n, void*) {
  blocked(x, y, n, [](float v) { return v * (1.0f / (1.0f + exp_poly(-v))); }, silu_tail);
}

void install_activation_ops(BackendOps& ops) {
  ops.gelu_fp32 = gelu_fp32_avx2;
  ops.sigmoid_fp32 = sigmoid_fp32_avx2;
  ops.tanh_fp32 = tanh_fp32_avx2;
  ops.leaky_relu_fp32 = leaky_relu_fp32_avx2;
  ops.exp_fp32 = exp_fp32_avx2;
  ops.sin_fp32 = sin_fp32_avx2;
  ops.silu_fp32 = silu_fp32_avx2;
}

}  // namespace mi::cpu
