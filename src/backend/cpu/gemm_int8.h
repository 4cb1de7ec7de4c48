// int8 matrix products on weights packed into 8-row by 4-column blocks, with
// requantised, float, raw int32 and dequantised outputs, and dynamic quantisation.
#pragma once

#include <cstdint>

#include "backend/backend.h"

namespace mi::cpu {

void install_gemm_int8_ops(BackendOps& ops);

uint8_t* pack_weights_int8(const int8_t* W, int N, int K);
void free_packed_int8(void* block);
size_t packed_int8_bytes(int N, int K);

// Stored in the 32 bytes before a packed block.
struct PackedInt8Info {
  int32_t N = 0;
  int32_t narrow = 0;  // every weight in [-64, 63]: pair sums of u8 * weight fit int16
  int32_t unused[6] = {};
};
PackedInt8Info packed_int8_info(const uint8_t* block);
// 128 times the sum of each weight row, 8 per panel (0 past N): the difference between the
// sums over activations shifted to unsigned bytes and the sums over the signed ones.
const int32_t* packed_int8_offsets(const uint8_t* block);

void gemm_int8(const int8_t* A, const uint8_t* packed, const int64_t* bias,
               const int32_t* multiplier, const int32_t* shift, const float* scale, int8_t out_zp,
               void* C, bool float_output, int M, int K, int N, bool channel_major, bool team,
               const int32_t* row_sums, void* ctx);
void gemm_int8_int32(const int8_t* A, const uint8_t* packed, int32_t* C, int M, int K, int N,
                     const int32_t* row_sums, void* ctx);
void gemm_int8_dequant(const int8_t* A, const uint8_t* packed, float* C, int M, int K, int N,
                       const float* col_scales, const float* row_scales, const float* bias,
                       bool accumulate);
void gemm_int8_dynamic(const float* X, const uint8_t* packed, const float* w_scales,
                       const int64_t* bias64, const float* bias, int8_t* q_scratch,
                       float* scale_scratch, float* Y, int M, int K, int N,
                       const int32_t* row_sums);

// What a tile does with its 8 int32 sums per row.
struct Int8Output {
  enum Mode { kRequantize, kFloat, kInt32, kDequant };
  Mode mode = kInt32;
  void* C = nullptr;
  const int64_t* bias = nullptr;  // kRequantize (low 32 bits), kFloat
  const int32_t* multiplier = nullptr;
  const int32_t* shift = nullptr;
  const float* scale = nullptr;  // kFloat
  int8_t out_zp = 0;
  bool channel_major = false;
  const float* col_scales = nullptr;  // kDequant
  const float* row_scales = nullptr;
  const float* fbias = nullptr;
  bool accumulate = false;
};

// One thread's share: panels [p0, p1) over 8-row blocks [r0, r1), plus the trailing
// M mod 8 rows when `tail` is set.
void gemm_int8_share_avx2(const int8_t* A, const uint8_t* packed, const Int8Output& out, int M,
                          int K, int N, int p0, int p1, int r0, int r1, bool tail, bool prefetch);

// Symmetric quantisation of M rows of K floats; returns one scale per row in `scales`.
// Groups of 8 from the row start round ties to even, the last K mod 8 values away from 0.
void quantize_rows_avx2(const float* X, int8_t* q, float* scales, int M, int K);

// Scalar references on the unpacked N x K row-major W.
void gemm_int8_ref(const int8_t* A, const int8_t* W, const Int8Output& out, int M, int K, int N);
void quantize_rows_ref(const float* X, int8_t* q, float* scales, int M, int K);
void gemm_int8_dynamic_ref(const float* X, const int8_t* W, const float* w_scales,
                           const int64_t* bias64, const float* bias, float* Y, int M, int K, int N);

}  // namespace mi::cpu
