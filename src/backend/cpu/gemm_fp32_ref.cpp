#include <cmath>
#include <cstddef>

#include "backend/cpu/gemm_fp32.h"

namespace mi::cpu {

void gemm_fp32_ref(const float* A, const float* W, const float* bias, float* C, bool relu, int M,
                   int K, int N) {
  for (int m = 0; m < M; ++m)
    for (int n = 0; n < N; ++n) {
      float acc = 0.0f;
      for (int k = 0; k < K; ++k) acc = std::fma(A[size_t(m) * K + k], W[size_t(n) * K + k], acc);
      if (bias) acc += bias[n];
      if (relu) acc = acc > 0.0f ? acc : 0.0f;
      C[size_t(m) * N + n] = acc;
    }
}

void relu_fp32_ref(float* x, int n) {
  for (int i = 0; i < n; ++i) x[i] = x[i] > 0.0f ? x[i] : 0.0f;
}

}  // namespace mi::cpu
