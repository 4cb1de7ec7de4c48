#include "backend/cpu/gemm_fp32.h"

#include <omp.h>

#include <cstddef>
#include <memory>

#include "backend/cpu/threading.h"

namespace mi::cpu {

// Panel layout: nb = ceil(N/8) panels of 8 rows of W, each stored k-major, so that
// block[(p*K + k)*8 + j] = W[8p + j][k]. Rows 8p + j >= N of the last panel are 0.0.
// nb*K*8 floats, no header.
float* pack_weights_fp32(const float* W, int N, int K) {
  const size_t nb = (size_t(N) + 7) / 8;
  float* block = new float[nb * size_t(K) * 8]();
  for (size_t p = 0; p < nb; ++p)
    for (int k = 0; k < K; ++k)
      for (int j = 0; j < 8; ++j) {
        const size_t n = p * 8 + size_t(j);
        if (n < size_t(N)) block[(p * K + k) * 8 + j] = W[n * K + k];
      }
  return block;
}

void free_packed_fp32(void* block) { delete[] static_cast<float*>(block); }

int gemm_packed_fp32_threads(int M, int K, int N) {
  if (run_serial()) return 1;
  return int64_t(M) * K * N >= kFp32TeamThreshold ? omp_get_max_threads() : 1;
}

namespace {

// Column split when the team has several threads and fewer rows than columns; otherwise
// 8-row blocks are split evenly and thread 0 also takes the trailing rows.
void run_team_share(const float* A, const float* packed, const float* bias, float* C,
                    Fp32Epilogue epi, int M, int K, int N, int t, int T) {
  const int nb = (N + 7) / 8;
  const int mb = M / 8;
  if (T > 1 && M < N) {
    const int p0 = int(int64_t(nb) * t / T);
    const int p1 = int(int64_t(nb) * (t + 1) / T);
    gemm_fp32_share_avx2(A, packed, bias, C, epi, M, K, N, p0, p1, 0, mb, true);
  } else {
    const int r0 = int(int64_t(mb) * t / T);
    const int r1 = int(int64_t(mb) * (t + 1) / T);
    gemm_fp32_share_avx2(A, packed, bias, C, epi, M, K, N, 0, nb, r0, r1, t == 0);
  }
}

}  // namespace

void gemm_packed_fp32_epilogue(const float* A, const float* packed, const float* bias, float* C,
                               Fp32Epilogue epi, int M, int K, int N, bool team) {
  if (M <= 0 || N <= 0) return;
  if (team) {
    run_team_share(A, packed, bias, C, epi, M, K, N, team_index(), team_size());
    return;
  }
  const int threads = gemm_packed_fp32_threads(M, K, N);
  if (threads > 1) {
#pragma omp parallel num_threads(threads)
    run_team_share(A, packed, bias, C, epi, M, K, N, omp_get_thread_num(), omp_get_num_threads());
    return;
  }
  run_team_share(A, packed, bias, C, epi, M, K, N, 0, 1);
}

void gemm_packed_fp32(const float* A, const float* packed, const float* bias, float* C, bool relu,
                      int M, int K, int N, bool team, void*) {
  gemm_packed_fp32_epilogue(A, packed, bias, C, relu ? Fp32Epilogue::kRelu : Fp32Epilogue::kNone, M,
                            K, N, team);
}

void gemm_fp32(const float* x, const float* W, const float* bias, float* y, int K, int N,
               const void* packed, void* ctx) {
  if (packed) {
    gemm_packed_fp32(x, static_cast<const float*>(packed), bias, y, false, 1, K, N, false, nullptr);
    return;
  }
  std::unique_ptr<float[], void (*)(void*)> tmp(pack_weights_fp32(W, N, K), free_packed_fp32);
  gemm_packed_fp32(x, tmp.get(), bias, y, false, 1, K, N, false, nullptr);
}

void relu_fp32(float* x, int n, void* ctx) { relu_fp32_avx2(x, n); }

void install_gemm_fp32_ops(BackendOps& ops) {
  ops.pack_weights_fp32 = pack_weights_fp32;
  ops.free_packed_fp32 = free_packed_fp32;
  ops.gemm_packed_fp32 = gemm_packed_fp32;
  ops.gemm_fp32 = gemm_fp32;
  ops.relu_fp32 = relu_fp32;
  ops.relu_fp32_alias = relu_fp32;
}

}  // namespace mi::cpu
