// Multi-head self-attention over a token-major sequence (T rows of E floats): the packed
// QKV projection, a blocked softmax per head that never holds the T x T score matrix, and
// the packed output projection, in float and in dynamically quantised int8 form.
#pragma once

#include <cstdint>

#include "backend/backend.h"

namespace mi::cpu {

void install_attention_ops(BackendOps& ops);

// Query and key blocks of the online softmax.
constexpr int kAttnBlock = 64;

void attention_fp32(const float* x, const float* w_qkv, const float* b_qkv, const float* w_proj,
                    const float* b_proj, float* y, int T, int E, int num_heads, float* work,
                    const float* qkv_packed, const float* proj_packed, void* ctx,
                    bool dynamic_quantize);
// The direct entry: `qkv_row_sums` and `proj_row_sums` are not read.
void attention_int8(const float* x, const uint8_t* qkv_packed, const float* w_qkv_scales,
                    const int64_t* qkv_bias64, const float* b_qkv, const uint8_t* proj_packed,
                    const float* w_proj_scales, const int64_t* proj_bias64, const float* b_proj,
                    float* y, int T, int E, int num_heads, float* work, int8_t* q_scratch,
                    float* scale_scratch, const int32_t* qkv_row_sums, const int32_t* proj_row_sums,
                    void* ctx);

// The softmax-weighted sum of every head: `qkv` holds T rows of 3E floats (query, key,
// value), `out` receives T rows of E floats. `poly_exp` selects the polynomial exponential
// for whole groups of 8 scores (the float path); otherwise every exponential is expf.
void attention_heads(const float* qkv, float* out, int T, int E, int num_heads, bool poly_exp);

// One head on per-thread copies: q (T x d, row-major), kt (d x Tp, the keys transposed,
// columns T..Tp-1 zero, Tp = T rounded up to 8), v (T x d). Writes T rows of d floats with
// stride `ld` into out.
void attention_head_avx2(const float* q, const float* kt, const float* v, float* out, int ld, int T,
                         int Tp, int d, float scale, bool poly_exp);
void attention_head_ref(const float* q, const float* kt, const float* v, float* out, int ld, int T,
                        int Tp, int d, float scale, bool poly_exp);

// Whole-operation scalar references on unpacked weights (3E x E and E x E, row-major).
void attention_fp32_ref(const float* x, const float* w_qkv, const float* b_qkv, const float* w_proj,
                        const float* b_proj, float* y, int T, int E, int num_heads,
                        bool dynamic_quantize);
void attention_int8_ref(const float* x, const int8_t* w_qkv, const float* w_qkv_scales,
                        const float* b_qkv, const int8_t* w_proj, const float* w_proj_scales,
                        const float* b_proj, float* y, int T, int E, int num_heads);

// Sum of 8 lanes in the order ((l0+l4)+(l2+l6)) + ((l1+l5)+(l3+l7)).
inline float reduce8_ref(const float* l) {
  return ((l[0] + l[4]) + (l[2] + l[6])) + ((l[1] + l[5]) + (l[3] + l[7]));
}

}  // namespace mi::cpu
