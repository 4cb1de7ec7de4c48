#include "backend/cpu/layernorm.h"

#include <omp.h>

#include <cmath>
#include <cstddef>

#include "backend/cpu/attention.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

// Below this many values a team costs more than it saves.
constexpr int64_t kLayerNormTeamThreshold = 16384;

}  // namespace

void layernorm_fp32(const float* x, const float* gamma, const float* beta, float* y, int rows,
                    int C, float eps, void*) {
  if (rows <= 0 || C <= 0) return;
  const int threads = int64_t(rows) * C >= kLayerNormTeamThreshold ? team_threads() : 1;
  if (threads < 2 || rows < 2) {
    layernorm_rows_avx2(x, gamma, beta, y, rows, C, eps);
    return;
  }
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    const int64_t r0 = split_begin(rows, t, T), r1 = split_begin(rows, t + 1, T);
    layernorm_rows_avx2(x + r0 * C, gamma, beta, y + r0 * C, int(r1 - r0), C, eps);
  }
}

void layernorm_fp32_ref(const float* x, const float* gamma, const float* beta, float* y, int rows,
                        int C, float eps) {
  const int body = C - C % 8;
  for (int r = 0; r < rows; ++r) {
    const float* xr = x + size_t(r) * C;
    float* yr = y + size_t(r) * C;
    float lanes[8] = {};
    for (int c = 0; c < body; ++c) lanes[c % 8] += xr[c];
    float sum = reduce8_ref(lanes);
    for (int c = body; c < C; ++c) sum += xr[c];
    const float mean = sum / float(C);
    float sq[8] = {};
    for (int c = 0; c < body; ++c) sq[c % 8] = std::fma(xr[c] - mean, xr[c] - mean, sq[c % 8]);
    float ss = reduce8_ref(sq);
    for (int c = body; c < C; ++c) ss = std::fma(xr[c] - mean, xr[c] - mean, ss);
    const float inv = 1.0f / std::sqrt(ss / float(C) + eps);
    for (int c = 0; c < C; ++c) yr[c] = std::fma((xr[c] - mean) * inv, gamma[c], beta[c]);
  }
}

void install_layernorm_ops(BackendOps& ops) { ops.layernorm_fp32 = layernorm_fp32; }

}  // namespace mi::cpu
