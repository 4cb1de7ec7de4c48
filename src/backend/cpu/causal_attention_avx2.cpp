#include <immintrin.h>

#include <cmath>

#include "backend/cpu/causal_attention.h"
#include "backend/cpu/lanes_avx2.h"

namespace mi::cpu {

namespace {

inline float tail_dot(const float* a, const float* b, int from, int n, float s) {
  for (int i = from; i < n; ++i) s = std::fma(a[i], b[i], s);
  return s;
}

}  // namespace

// Four keys at a time, each in its own accumulator: the chains run side by side while every
// dot product keeps the order of head_dot_ref.
void head_scores_avx2(const float* q, const float* keys, int64_t stride, int n, int d, float scale,
                      float* scores) {
  const int whole = d & ~7;
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    const float* k0 = keys + j * stride;
    const float* k1 = k0 + stride;
    const float* k2 = k1 + stride;
    const float* k3 = k2 + stride;
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (int i = 0; i < whole; i += 8) {
      const __m256 x = _mm256_loadu_ps(q + i);
      a0 = _mm256_fmadd_ps(x, _mm256_loadu_ps(k0 + i), a0);
      a1 = _mm256_fmadd_ps(x, _mm256_loadu_ps(k1 + i), a1);
      a2 = _mm256_fmadd_ps(x, _mm256_loadu_ps(k2 + i), a2);
      a3 = _mm256_fmadd_ps(x, _mm256_loadu_ps(k3 + i), a3);
    }
    scores[j] = tail_dot(q, k0, whole, d, fold(a0)) * scale;
    scores[j + 1] = tail_dot(q, k1, whole, d, fold(a1)) * scale;
    scores[j + 2] = tail_dot(q, k2, whole, d, fold(a2)) * scale;
    scores[j + 3] = tail_dot(q, k3, whole, d, fold(a3)) * scale;
  }
  for (; j < n; ++j) {
    const float* kj = keys + j * stride;
    __m256 a = _mm256_setzero_ps();
    for (int i = 0; i < whole; i += 8)
      a = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), _mm256_loadu_ps(kj + i), a);
    scores[j] = tail_dot(q, kj, whole, d, fold(a)) * scale;
  }
}

void head_mix_avx2(const float* p, const float* values, int64_t stride, int n, int d, float* out) {
  const int whole = d & ~7;
  // Columns in strips of 32 kept in registers across all positions.
  int c = 0;
  for (; c + 32 <= whole; c += 32) {
    __m256 o0 = _mm256_setzero_ps(), o1 = o0, o2 = o0, o3 = o0;
    for (int j = 0; j < n; ++j) {
      const __m256 w = _mm256_set1_ps(p[j]);
      const float* vj = values + j * stride + c;
      o0 = _mm256_fmadd_ps(w, _mm256_loadu_ps(vj), o0);
      o1 = _mm256_fmadd_ps(w, _mm256_loadu_ps(vj + 8), o1);
      o2 = _mm256_fmadd_ps(w, _mm256_loadu_ps(vj + 16), o2);
      o3 = _mm256_fmadd_ps(w, _mm256_loadu_ps(vj + 24), o3);
    }
    _mm256_storeu_ps(out + c, o0);
    _mm256_storeu_ps(out + c + 8, o1);
    _mm256_storeu_ps(out + c + 16, o2);
    _mm256_storeu_ps(out + c + 24, o3);
  }
  for (; c < whole; c += 8) {
    __m256 o = _mm256_setzero_ps();
    for (int j = 0; j < n; ++j)
      o = _mm256_fmadd_ps(_mm256_set1_ps(p[j]), _mm256_loadu_ps(values + j * stride + c), o);
    _mm256_storeu_ps(out + c, o);
  }
  for (; c < d; ++c) {
    float o = 0.0f;
    for (int j = 0; j < n; ++j) o = std::fma(p[j], values[j * stride + c], o);
    out[c] = o;
  }
}

}  // namespace mi::cpu
