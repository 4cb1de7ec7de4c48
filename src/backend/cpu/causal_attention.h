// The attention core of the decoder graphs: rotary positions on the two halves of each head
// vector, key/value heads shared by groups of query heads, and a softmax over every cached
// position up to the token's own.
//
// The cache holds `max_len` key rows of Hkv*d floats, then `max_len` value rows of the same
// size; a call writes rows seq_pos .. seq_pos + T - 1 and reads rows 0 .. seq_pos + T - 1.
// `work` holds (Hq + Hkv) * d * T floats (the rotated query and key rows); the scores live in
// a per-thread scratch row of seq_pos + T floats.
#pragma once

#include <cstdint>

#include "backend/backend.h"

namespace mi::cpu {

void causal_attn_core_fp32(const float* q, const float* k, const float* v, float* cache,
                           int seq_pos, int max_len, float* y, int T, int num_q_heads,
                           int num_kv_heads, int head_dim, int seq_pos_again, float rope_theta,
                           uint8_t seq_flag, float* work, void* ctx);
void causal_attn_core_fp32_ref(const float* q, const float* k, const float* v, float* cache,
                               int seq_pos, int max_len, float* y, int T, int num_q_heads,
                               int num_kv_heads, int head_dim, int seq_pos_again, float rope_theta,
                               uint8_t seq_flag, float* work, void* ctx);

// Floats of `work` the kernel needs for T tokens.
int64_t causal_attn_work_floats(int T, int num_q_heads, int num_kv_heads, int head_dim);

// Dot product of length n in one fixed order: lane l of 8 accumulates a[i]*b[i] for i = l
// mod 8 over the whole groups of 8 (fused multiply-adds, ascending), the lanes fold as
// (l + l+4), (l + l+2), (0 + 1), then the last n % 8 products are added in order.
float head_dot_ref(const float* a, const float* b, int n);

// scores[j] = head_dot(q, keys + j * stride, d) * scale for j < n.
void head_scores_avx2(const float* q, const float* keys, int64_t stride, int n, int d, float scale,
                      float* scores);
// out[0..d) = sum_j p[j] * values[j * stride ..], accumulated from 0 in ascending j with
// fused multiply-adds.
void head_mix_avx2(const float* p, const float* values, int64_t stride, int n, int d, float* out);

void install_causal_attention_ops(BackendOps& ops);

}  // namespace mi::cpu
