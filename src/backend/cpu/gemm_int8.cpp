#include "backend/cpu/gemm_int8.h"

#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "backend/cpu/threading.h"

namespace mi::cpu {

size_t packed_int8_bytes(int N, int K) {
  return ((size_t(N) + 7) / 8) * ((size_t(K) + 3) / 4) * 32;
}

namespace {

// Bytes before the block: the column offsets (8 per panel), then the 32-byte info.
size_t header_bytes(int N) { return ((size_t(N) + 7) / 8) * 8 * sizeof(int32_t) + 32; }

}  // namespace

// Block layout: nb = ceil(N/8) panels of 8 rows, kg = ceil(K/4) groups of 4 columns, one
// 32-byte block per (panel p, group g) at byte (p*kg + g)*32. For row j of the panel
// (n = 8p + j) and k = 4g: byte 2j = W[n][k], 2j+1 = W[n][k+1], 16+2j = W[n][k+2],
// 16+2j+1 = W[n][k+3]. Bytes of rows n >= N or columns >= K are 0. The header in front
// records whether every weight lies in [-64, 63] and 128 times each row's sum.
uint8_t* pack_weights_int8(const int8_t* W, int N, int K) {
  const size_t kg = (size_t(K) + 3) / 4;
  const size_t head = header_bytes(N);
  uint8_t* base = new uint8_t[head + packed_int8_bytes(N, K)]();
  uint8_t* block = base + head;
  static constexpr int kOffset[4] = {0, 1, 16, 17};
  PackedInt8Info info;
  info.N = N;
  info.narrow = 1;
  int32_t* offsets = reinterpret_cast<int32_t*>(base);
  for (int n = 0; n < N; ++n) {
    const size_t p = size_t(n) / 8, j = size_t(n) % 8;
    uint32_t sum = 0;
    for (int k = 0; k < K; ++k) {
      const int8_t w = W[size_t(n) * K + k];
      block[(p * kg + size_t(k) / 4) * 32 + 2 * j + kOffset[k % 4]] = uint8_t(w);
      sum += uint32_t(int32_t(w));
      if (w < -64 || w > 63) info.narrow = 0;
    }
    offsets[n] = int32_t(sum * 128u);
  }
  std::memcpy(block - 32, &info, sizeof info);
  return block;
}

void free_packed_int8(void* block) {
  if (!block) return;
  uint8_t* b = static_cast<uint8_t*>(block);
  delete[] (b - header_bytes(packed_int8_info(b).N));
}

PackedInt8Info packed_int8_info(const uint8_t* block) {
  PackedInt8Info info;
  std::memcpy(&info, block - 32, sizeof info);
  return info;
}

const int32_t* packed_int8_offsets(const uint8_t* block) {
  return reinterpret_cast<const int32_t*>(block - header_bytes(packed_int8_info(block).N));
}

namespace {

struct DynamicRowScales;

// The float product's split: columns when several threads share fewer rows than columns,
// else 8-row blocks with the trailing rows on thread 0.
void run_team_share(const int8_t* A, const uint8_t* packed, const Int8Output& out, int M, int K,
                    int N, int t, int T) {
  const int nb = (N + 7) / 8;
  const int mb = M / 8;
  if (T > 1 && M < N) {
    gemm_int8_share_avx2(A, packed, out, M, K, N, int(int64_t(nb) * t / T),
                         int(int64_t(nb) * (t + 1) / T), 0, mb, true, true);
  } else {
    gemm_int8_share_avx2(A, packed, out, M, K, N, 0, nb, int(int64_t(mb) * t / T),
                         int(int64_t(mb) * (t + 1) / T), t == 0, true);
  }
}

}  // namespace

void gemm_int8(const int8_t* A, const uint8_t* packed, const int64_t* bias,
               const int32_t* multiplier, const int32_t* shift, const float* scale, int8_t out_zp,
               void* C, bool float_output, int M, int K, int N, bool channel_major, bool team,
               const int32_t* row_sums, void* ctx) {
  if (M <= 0 || N <= 0) return;
  Int8Output out;
  out.mode = float_output ? Int8Output::kFloat : Int8Output::kRequantize;
  out.C = C;
  out.bias = bias;
  out.multiplier = multiplier;
  out.shift = shift;
  out.scale = scale;
  out.out_zp = out_zp;
  out.channel_major = channel_major;
  if (team) {
    run_team_share(A, packed, out, M, K, N, team_index(), team_size());
    return;
  }
  if (!run_serial()) {
#pragma omp parallel num_threads(omp_get_max_threads())
    run_team_share(A, packed, out, M, K, N, omp_get_thread_num(), omp_get_num_threads());
    return;
  }
  run_team_share(A, packed, out, M, K, N, 0, 1);
}

void gemm_int8_int32(const int8_t* A, const uint8_t* packed, int32_t* C, int M, int K, int N,
                     const int32_t* row_sums, void* ctx) {
  if (M <= 0 || N <= 0) return;
  Int8Output out;
  out.mode = Int8Output::kInt32;
  out.C = C;
  gemm_int8_share_avx2(A, packed, out, M, K, N, 0, (N + 7) / 8, 0, M / 8, true, false);
}

void gemm_int8_dequant(const int8_t* A, const uint8_t* packed, float* C, int M, int K, int N,
                       const float* col_scales, const float* row_scales, const float* bias,
                       bool accumulate) {
  if (M <= 0 || N <= 0) return;
  Int8Output out;
  out.mode = Int8Output::kDequant;
  out.C = C;
  out.col_scales = col_scales;
  out.row_scales = row_scales;
  out.fbias = bias;
  out.accumulate = accumulate;
  gemm_int8_share_avx2(A, packed, out, M, K, N, 0, (N + 7) / 8, 0, M / 8, true, false);
}

void gemm_int8_dynamic(const float* X, const uint8_t* packed, const float* w_scales,
                       const int64_t* bias64, const float* bias, int8_t* q_scratch,
                       float* scale_scratch, float* Y, int M, int K, int N,
                       const int32_t* row_sums) {
  if (M <= 0 || N <= 0) return;
  // Per thread, so that concurrent calls on different threads stay independent.
  float* row_scale = thread_scratch<DynamicRowScales, float>(M);
  quantize_rows_avx2(X, q_scratch, row_scale, M, K);
  std::copy(w_scales, w_scales + N, scale_scratch);
  gemm_int8(q_scratch, packed, bias64, nullptr, nullptr, scale_scratch, 0, Y, true, M, K, N, false,
            false, row_sums, nullptr);
  // Two separate roundings, row scale then bias: this file is built without FMA, so the
  // compiler cannot fuse them.
  for (int m = 0; m < M; ++m) {
    float* y = Y + size_t(m) * N;
    const float s = row_scale[m];
    for (int n = 0; n < N; ++n) y[n] *= s;
    if (bias)
      for (int n = 0; n < N; ++n) y[n] += bias[n];
  }
}

void install_gemm_int8_ops(BackendOps& ops) {
  ops.pack_weights_int8 = pack_weights_int8;
  ops.free_packed_int8 = free_packed_int8;
  ops.gemm_int8 = gemm_int8;
  ops.gemm_int8_int32 = gemm_int8_int32;
}

}  // namespace mi::cpu
