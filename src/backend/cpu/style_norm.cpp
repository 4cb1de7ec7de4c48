#include "backend/cpu/style_norm.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "backend/cpu/row_sum.h"
#include "backend/cpu/snake_constants.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

// Below this many elements a kernel does not pay for a team.
constexpr int64_t kTeamElements = 32768;
// Statistics blocks of adaptive instance norm hold up to this many floats, so that a block
// stays in cache between its two passes, and up to this many rows, so that the sums inside
// a block stay short; longer sequences are merged block by block.
constexpr int kAdaInBlockFloats = 16384;
constexpr int kAdaInBlockMaxRows = 256;

int threads_for(int64_t elements) { return elements >= kTeamElements ? team_threads() : 1; }

struct AdaInScratch {};
struct AdaLnScratch {};

// The per-call work area of adaptive instance norm, C floats per field plus two per
// channel and block: the per-channel parameters of the final pass, the running squared
// deviations of the merge, and each block's (sum, m2).
struct AdaInWork {
  float* mean;
  float* inv_std;
  float* weight;  // null: z = n
  float* bias;
  float* g1;
  float* m2;
  float* partials;

  AdaInWork(float* p, int C, const float* gamma, const float* norm_weight, const float* norm_bias)
      : mean(p),
        inv_std(p + C),
        weight(norm_weight ? p + 2 * C : nullptr),
        bias(p + 3 * C),
        g1(p + 4 * C),
        m2(p + 5 * C),
        partials(p + 6 * C) {
    for (int c = 0; c < C; ++c) {
      if (norm_weight) {
        weight[c] = norm_weight[c];
        bias[c] = norm_bias ? norm_bias[c] : 0.0f;
      }
      g1[c] = 1.0f + gamma[c];
    }
  }
  static int64_t floats(int C, int blocks) { return int64_t(C) * (6 + 2 * int64_t(blocks)); }
};

void ada_in_merge_ref(const float* sum, const float* bm2, const AdaInMerge& k, float* mean,
                      float* m2, int C) {
  for (int c = 0; c < C; ++c) {
    if (k.first) {
      mean[c] = sum[c] / k.nb;
      m2[c] = bm2[c];
    } else {
      const float d = sum[c] / k.nb - mean[c];
      mean[c] = std::fma(d, k.k_mean, mean[c]);
      m2[c] = std::fma(d * d, k.k_m2, m2[c] + bm2[c]);
    }
  }
}

// Folds the blocks' (sum, m2) pairs into the mean and the inverse deviation, in block
// order: block means sum / n, merged by count with the pairwise update of the mean and the
// squared deviations.
template <class Merge>
void merge_blocks(AdaInWork& w, int blocks, int block_rows, int L, int C, float eps, Merge merge) {
  float n = 0.0f;
  for (int b = 0; b < blocks; ++b) {
    const float* sum = w.partials + size_t(b) * 2 * C;
    AdaInMerge k;
    k.nb = float(std::min(block_rows, L - b * block_rows));
    k.first = b == 0;
    const float total = n + k.nb;
    k.k_mean = k.nb / total;
    k.k_m2 = n * k.nb / total;
    merge(sum, sum + C, k, w.mean, w.m2, C);
    n = total;
  }
  for (int c = 0; c < C; ++c) w.inv_std[c] = 1.0f / std::sqrt(w.m2[c] / float(L) + eps);
}

void ada_in_block_stats_ref(const float* x, int n, int C, float* sum, float* m2) {
  for (int c = 0; c < C; ++c) {
    float s = 0.0f;
    for (int r = 0; r < n; ++r) s += x[size_t(r) * C + c];
    const float mean = s / float(n);
    float q = 0.0f;
    for (int r = 0; r < n; ++r) {
      const float d = x[size_t(r) * C + c] - mean;
      q = std::fma(d, d, q);
    }
    sum[c] = s;
    m2[c] = q;
  }
}

}  // namespace

float snake_value(float x, float alpha, float inv_alpha) {
  using namespace snake;
  const float z = alpha * x;
  float s;
  if (std::fabs(z) > kSnakeDirectLimit) {
    s = float(std::sin(double(alpha) * double(x)));
  } else {
    const float z_lo = std::fma(alpha, x, -z);
    const float n = std::nearbyint(z * kInvPi);
    float r = std::fma(-n, kPiHi, z);
    r = std::fma(-n, kPiLo, r);
    r = r + z_lo;
    const float u = r * r;
    float q = std::fma(u, kS4, kS3);
    q = std::fma(u, q, kS2);
    q = std::fma(u, q, kS1);
    q = std::fma(u, q, 1.0f);
    s = r * q;
  }
  return std::fma(inv_alpha, s * s, x);
}

int ada_in_block_rows(int C) {
  return std::clamp(kAdaInBlockFloats / std::max(C, 1), 1, kAdaInBlockMaxRows);
}

void snake1d_fp32(const float* in, float* out, const float* alpha, const float* inv_alpha, int rows,
                  int C, void*) {
  if (rows <= 0 || C <= 0) return;
  const int threads = threads_for(int64_t(rows) * C);
  if (threads == 1) return snake_rows_avx2(in, out, alpha, inv_alpha, 0, rows, C);
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    snake_rows_avx2(in, out, alpha, inv_alpha, split_begin(rows, t, T), split_begin(rows, t + 1, T),
                    C);
  }
}

void snake1d_fp32_ref(const float* in, float* out, const float* alpha, const float* inv_alpha,
                      int rows, int C, void*) {
  for (int64_t r = 0; r < rows; ++r)
    for (int c = 0; c < C; ++c) out[r * C + c] = snake_value(in[r * C + c], alpha[c], inv_alpha[c]);
}

void ada_in1d_fp32(const float* in, float* out, const float* gamma, const float* beta, int L, int C,
                   float eps, void*, const float* norm_weight, const float* norm_bias) {
  if (L <= 0 || C <= 0) return;
  const int block_rows = ada_in_block_rows(C);
  const int blocks = (L + block_rows - 1) / block_rows;
  AdaInWork w(thread_scratch<AdaInScratch, float>(AdaInWork::floats(C, blocks)), C, gamma,
              norm_weight, norm_bias);
  const int threads = blocks > 1 ? threads_for(int64_t(L) * C) : 1;
  // Each thread takes the same run of blocks in both passes and applies them in reverse, so
  // that the blocks whose statistics it read last are still in its cache.
#pragma omp parallel num_threads(threads) if (threads > 1)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    const int b0 = int(split_begin(blocks, t, T)), b1 = int(split_begin(blocks, t + 1, T));
    for (int b = b0; b < b1; ++b) {
      const int r0 = b * block_rows;
      float* sum = w.partials + size_t(b) * 2 * C;
      ada_in_block_stats_avx2(in + size_t(r0) * C, std::min(block_rows, L - r0), C, sum, sum + C);
    }
#pragma omp barrier
#pragma omp single
    merge_blocks(w, blocks, block_rows, L, C, eps, ada_in_merge_avx2);
    for (int b = b1 - 1; b >= b0; --b) {
      const int64_t r0 = int64_t(b) * block_rows;
      ada_in_apply_avx2(in, out, r0, std::min<int64_t>(r0 + block_rows, L), C, w.mean, w.inv_std,
                        w.weight, w.bias, w.g1, beta);
    }
  }
}

void ada_in1d_fp32_ref(const float* in, float* out, const float* gamma, const float* beta, int L,
                       int C, float eps, void*, const float* norm_weight, const float* norm_bias) {
  if (L <= 0 || C <= 0) return;
  const int block_rows = ada_in_block_rows(C);
  const int blocks = (L + block_rows - 1) / block_rows;
  std::vector<float> work(size_t(AdaInWork::floats(C, blocks)));
  AdaInWork w(work.data(), C, gamma, norm_weight, norm_bias);
  for (int b = 0; b < blocks; ++b) {
    const int r0 = b * block_rows;
    float* sum = w.partials + size_t(b) * 2 * C;
    ada_in_block_stats_ref(in + size_t(r0) * C, std::min(block_rows, L - r0), C, sum, sum + C);
  }
  merge_blocks(w, blocks, block_rows, L, C, eps, ada_in_merge_ref);
  for (int64_t r = 0; r < L; ++r)
    for (int c = 0; c < C; ++c) {
      const float n = (in[r * C + c] - w.mean[c]) * w.inv_std[c];
      const float z =
          norm_weight ? std::fma(n, norm_weight[c], norm_bias ? norm_bias[c] : 0.0f) : n;
      out[r * C + c] = std::fma(z, 1.0f + gamma[c], beta[c]);
    }
}

void ada_layer_norm_fp32(const float* in, float* out, const float* gamma, const float* beta, int L,
                         int C, float eps, void*) {
  if (L <= 0 || C <= 0) return;
  float* g1 = thread_scratch<AdaLnScratch, float>(C);
  for (int c = 0; c < C; ++c) g1[c] = 1.0f + gamma[c];
  const int threads = threads_for(int64_t(L) * C);
  if (threads == 1) return ada_layer_norm_rows_avx2(in, out, g1, beta, 0, L, C, eps);
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    ada_layer_norm_rows_avx2(in, out, g1, beta, split_begin(L, t, T), split_begin(L, t + 1, T), C,
                             eps);
  }
}

void ada_layer_norm_fp32_ref(const float* in, float* out, const float* gamma, const float* beta,
                             int L, int C, float eps, void*) {
  for (int64_t r = 0; r < L; ++r) {
    const float* x = in + r * C;
    const float mean = row_sum_ref(x, C) / float(C);
    const float inv = 1.0f / std::sqrt(row_sq_dev_ref(x, C, mean) / float(C) + eps);
    for (int c = 0; c < C; ++c)
      out[r * C + c] = std::fma((x[c] - mean) * inv, 1.0f + gamma[c], beta[c]);
  }
}

void install_style_norm_ops(BackendOps& ops) {
  ops.snake1d_fp32 = snake1d_fp32;
  ops.ada_in1d_fp32 = ada_in1d_fp32;
  ops.ada_layer_norm_fp32 = ada_layer_norm_fp32;
}

}  // namespace mi::cpu
