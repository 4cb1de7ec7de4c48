#include <cmath>
#include <cstddef>
#include <vector>

#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/int8_arith.h"

namespace mi::cpu {

void gemm_int8_ref(const int8_t* A, const int8_t* W, const Int8Output& o, int M, int K, int N) {
  for (int m = 0; m < M; ++m)
    for (int n = 0; n < N; ++n) {
      int32_t acc = 0;
      for (int k = 0; k < K; ++k) acc += int32_t(A[size_t(m) * K + k]) * W[size_t(n) * K + k];
      const size_t rm = size_t(m) * N + n;
      switch (o.mode) {
        case Int8Output::kInt32: static_cast<int32_t*>(o.C)[rm] = acc; break;
        case Int8Output::kFloat:
          static_cast<float*>(o.C)[rm] = float(int64_t(acc) + o.bias[n]) * o.scale[n];
          break;
        case Int8Output::kDequant: {
          float* c = static_cast<float*>(o.C);
          const float s = o.row_scales[m] * o.col_scales[n];
          if (o.accumulate)
            c[rm] = std::fma(s, float(acc), c[rm]);
          else if (o.fbias)
            c[rm] = std::fma(s, float(acc), o.fbias[n]);
          else
            c[rm] = s * float(acc);
          break;
        }
        case Int8Output::kRequantize: {
          const int32_t x = int32_t(uint32_t(acc) + uint32_t(uint64_t(o.bias[n])));
          const int8_t v = requantize(x, o.multiplier[n], o.shift[n], o.out_zp);
          static_cast<int8_t*>(o.C)[o.channel_major ? size_t(n) * M + m : rm] = v;
          break;
        }
      }
    }
}

void quantize_rows_ref(const float* X, int8_t* q, float* scales, int M, int K) {
  const int vector_part = K - K % 8;
  for (int m = 0; m < M; ++m) {
    const float* x = X + size_t(m) * K;
    float a = 0.0f;
    for (int k = 0; k < K; ++k) a = std::max(a, std::fabs(x[k]));
    const float s = dynamic_scale(a);
    const float inv = 1.0f / s;
    scales[m] = s;
    for (int k = 0; k < K; ++k) {
      const float v = clamp_to_int8_range(x[k] * inv);
      q[size_t(m) * K + k] = int8_t(k < vector_part ? std::nearbyint(v) : std::round(v));
    }
  }
}

void gemm_int8_dynamic_ref(const float* X, const int8_t* W, const float* w_scales,
                           const int64_t* bias64, const float* bias, float* Y, int M, int K,
                           int N) {
  std::vector<int8_t> q(size_t(M) * K);
  std::vector<float> s(static_cast<size_t>(M));
  quantize_rows_ref(X, q.data(), s.data(), M, K);
  Int8Output o;
  o.mode = Int8Output::kFloat;
  o.C = Y;
  o.bias = bias64;
  o.scale = w_scales;
  gemm_int8_ref(q.data(), W, o, M, K, N);
  for (int m = 0; m < M; ++m)
    for (int n = 0; n < N; ++n) {
      float& y = Y[size_t(m) * N + n];
      y *= s[size_t(m)];
      if (bias) y += bias[n];
    }
}

}  // namespace mi::cpu
