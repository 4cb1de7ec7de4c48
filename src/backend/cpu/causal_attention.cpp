#include "backend/cpu/causal_attention.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

struct ScoreRow {};  // tag of the per-thread score scratch

// Copies q and k into the rows of `work` and rotates each head vector there: for position
// p = seq_pos + t, the pair (x_i, x_{i + d/2}) turns by p * theta^(-2i/d).
void rotate_rows(const float* q, const float* k, float* work, int T, int Hq, int Hkv, int d,
                 int seq_pos, float theta) {
  const int half = d / 2;
  const int64_t qw = int64_t(Hq) * d, kw = int64_t(Hkv) * d;
  const size_t n = static_cast<size_t>(half);
  std::vector<float> freq(n), c(n), s(n);
  for (int i = 0; i < half; ++i) freq[size_t(i)] = std::pow(theta, float(-2 * i) / float(d));
  for (int64_t t = 0; t < T; ++t) {
    float* row = work + t * (qw + kw);
    std::memcpy(row, q + t * qw, size_t(qw) * sizeof(float));
    std::memcpy(row + qw, k + t * kw, size_t(kw) * sizeof(float));
    const float p = float(seq_pos + t);
    for (int i = 0; i < half; ++i) {
      const float angle = freq[size_t(i)] * p;
      c[size_t(i)] = std::cos(angle);
      s[size_t(i)] = std::sin(angle);
    }
    for (int h = 0; h < Hq + Hkv; ++h) {
      float* x = row + int64_t(h) * d;
      for (int i = 0; i < half; ++i) {
        const float a = x[i], b = x[i + half];
        x[i] = a * c[size_t(i)] - b * s[size_t(i)];
        x[i + half] = a * s[size_t(i)] + b * c[size_t(i)];
      }
    }
  }
}

void store_cache_rows(const float* work, const float* v, float* cache, int seq_pos, int max_len,
                      int T, int Hq, int Hkv, int d) {
  const int64_t qw = int64_t(Hq) * d, kw = int64_t(Hkv) * d;
  float* keys = cache;
  float* values = cache + int64_t(max_len) * kw;
  for (int64_t t = 0; t < T; ++t) {
    std::memcpy(keys + (seq_pos + t) * kw, work + t * (qw + kw) + qw, size_t(kw) * sizeof(float));
    std::memcpy(values + (seq_pos + t) * kw, v + t * kw, size_t(kw) * sizeof(float));
  }
}

// Softmax of n scores in place: p = exp(s - max), then p * (1 / sum), the sum ascending.
void softmax_row(float* s, int n) {
  float m = s[0];
  for (int j = 1; j < n; ++j) m = std::max(m, s[j]);
  float sum = 0.0f;
  for (int j = 0; j < n; ++j) {
    s[j] = std::exp(s[j] - m);
    sum += s[j];
  }
  const float inv = 1.0f / sum;
  for (int j = 0; j < n; ++j) s[j] *= inv;
}

template <class Scores, class Mix>
void attend(const float* q, const float* k, const float* v, float* cache, int seq_pos, int max_len,
            float* y, int T, int Hq, int Hkv, int d, float theta, float* work, bool threaded,
            Scores scores_of, Mix mix) {
  rotate_rows(q, k, work, T, Hq, Hkv, d, seq_pos, theta);
  store_cache_rows(work, v, cache, seq_pos, max_len, T, Hq, Hkv, d);
  const int64_t qw = int64_t(Hq) * d, kw = int64_t(Hkv) * d;
  const float* keys = cache;
  const float* values = cache + int64_t(max_len) * kw;
  const int group = Hq / Hkv;
  const float scale = 1.0f / std::sqrt(float(d));
  const int64_t items = int64_t(T) * Hq;
  // One (token, query head) pair per item: each writes its own d outputs. Items are dealt
  // out in turn, since a later token attends to more positions than an earlier one.
  auto run = [&](int64_t first, int64_t step) {
    float* s = thread_scratch<ScoreRow, float>(int64_t(seq_pos) + T);
    for (int64_t it = first; it < items; it += step) {
      const int64_t t = it / Hq;
      const int h = int(it % Hq), g = h / group;
      const int n = int(seq_pos + t + 1);
      scores_of(work + t * (qw + kw) + int64_t(h) * d, keys + int64_t(g) * d, kw, n, d, scale, s);
      softmax_row(s, n);
      mix(s, values + int64_t(g) * d, kw, n, d, y + t * qw + int64_t(h) * d);
    }
  };
  const int threads = threaded && items > 1 ? team_threads() : 1;
  if (threads < 2) {
    run(0, 1);
    return;
  }
#pragma omp parallel num_threads(threads)
  run(omp_get_thread_num(), omp_get_num_threads());
}

}  // namespace

int64_t causal_attn_work_floats(int T, int num_q_heads, int num_kv_heads, int head_dim) {
  return int64_t(T) * (int64_t(num_q_heads) + num_kv_heads) * head_dim;
}

float head_dot_ref(const float* a, const float* b, int n) {
  float acc[8] = {};
  int i = 0;
  for (; i + 8 <= n; i += 8)
    for (int l = 0; l < 8; ++l) acc[l] = std::fma(a[i + l], b[i + l], acc[l]);
  for (int l = 0; l < 4; ++l) acc[l] = acc[l] + acc[l + 4];
  for (int l = 0; l < 2; ++l) acc[l] = acc[l] + acc[l + 2];
  float s = acc[0] + acc[1];
  for (; i < n; ++i) s = std::fma(a[i], b[i], s);
  return s;
}

void causal_attn_core_fp32_ref(const float* q, const float* k, const float* v, float* cache,
                               int seq_pos, int max_len, float* y, int T, int num_q_heads,
                               int num_kv_heads, int head_dim, int, float rope_theta, uint8_t,
                               float* work, void*) {
  attend(
      q, k, v, cache, seq_pos, max_len, y, T, num_q_heads, num_kv_heads, head_dim, rope_theta, work,
      false,
      [](const float* qh, const float* keys, int64_t stride, int n, int d, float scale, float* s) {
        for (int j = 0; j < n; ++j) s[j] = head_dot_ref(qh, keys + j * stride, d) * scale;
      },
      [](const float* p, const float* values, int64_t stride, int n, int d, float* out) {
        std::fill(out, out + d, 0.0f);
        for (int j = 0; j < n; ++j)
          for (int i = 0; i < d; ++i) out[i] = std::fma(p[j], values[j * stride + i], out[i]);
      });
}

void causal_attn_core_fp32(const float* q, const float* k, const float* v, float* cache,
                           int seq_pos, int max_len, float* y, int T, int num_q_heads,
                           int num_kv_heads, int head_dim, int, float rope_theta, uint8_t,
                           float* work, void*) {
  attend(q, k, v, cache, seq_pos, max_len, y, T, num_q_heads, num_kv_heads, head_dim, rope_theta,
         work, true, head_scores_avx2, head_mix_avx2);
}

void install_causal_attention_ops(BackendOps& ops) {
  ops.causal_attn_core_fp32 = causal_attn_core_fp32;
}

}  // namespace mi::cpu
