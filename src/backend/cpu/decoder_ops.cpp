#include "backend/cpu/decoder_ops.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "backend/cpu/row_sum.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

// Below this many values a second thread costs more than it saves.
constexpr int64_t kRmsParallelValues = 16384;

}  // namespace

void rms_norm_fp32_ref(const float* x, const float* gamma, float* y, int rows, int C, float eps,
                       void*) {
  for (int64_t r = 0; r < rows; ++r) {
    const float* xr = x + r * C;
    float* yr = y + r * C;
    const float ms = row_sq_dev_ref(xr, C, 0.0f) / float(C);
    const float inv = 1.0f / std::sqrt(ms + eps);
    for (int c = 0; c < C; ++c) yr[c] = (xr[c] * inv) * gamma[c];
  }
}

void rms_norm_fp32(const float* x, const float* gamma, float* y, int rows, int C, float eps,
                   void*) {
  const int threads = int64_t(rows) * C >= kRmsParallelValues ? team_threads() : 1;
  if (threads < 2) {
    rms_norm_rows_avx2(x, gamma, y, 0, rows, C, eps);
    return;
  }
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    rms_norm_rows_avx2(x, gamma, y, split_begin(rows, t, T), split_begin(rows, t + 1, T), C, eps);
  }
}

void elemwise_mul_fp32_ref(const float* a, const float* b, float* y, int n, void*) {
  for (int64_t i = 0; i < n; ++i) y[i] = a[i] * b[i];
}

void elemwise_mul_fp32(const float* a, const float* b, float* y, int n, void*) {
  elemwise_mul_fp32_avx2(a, b, y, n);
}

int64_t embedding_row(float index, int V) {
  if (!(index >= 1.0f)) return 0;  // negatives, values in [0, 1) and NaN
  if (index >= float(V)) return V - 1;
  return std::min<int64_t>(int64_t(index), V - 1);
}

void embedding_lookup_fp32(const float* indices, const float* table, float* out, int n, int V,
                           int D) {
  for (int64_t i = 0; i < n; ++i)
    std::memcpy(out + i * D, table + embedding_row(indices[i], V) * D, size_t(D) * sizeof(float));
}

void install_decoder_ops(BackendOps& ops) {
  ops.rms_norm_fp32 = rms_norm_fp32;
  ops.elemwise_mul_fp32 = elemwise_mul_fp32;
  ops.embedding_lookup_fp32 = embedding_lookup_fp32;
}

}  // namespace mi::cpu
