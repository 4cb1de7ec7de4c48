#include <immintrin.h>

#include "backend/cpu/activation_avx2.h"
#include "backend/cpu/lstm.h"

namespace mi::cpu {

namespace {

inline __m256 sigmoid8(__m256 x) {
  const __m256 one = _mm256_set1_ps(1.0f);
  return _mm256_div_ps(one, _mm256_add_ps(one, exp8(_mm256_sub_ps(_mm256_setzero_ps(), x))));
}

inline __m256 tanh8(__m256 x) {
  const __m256 two = _mm256_set1_ps(2.0f);
  return _mm256_fmsub_ps(two, sigmoid8(_mm256_mul_ps(two, x)), _mm256_set1_ps(1.0f));
}

// Gates of kBlocks blocks (8 accumulators per 2 blocks) over the whole of h_prev.
template <int kBlocks>
inline void gates(const float* gx, const float* w, const float* h_prev, int H, __m256* acc) {
  constexpr int P = 4 * kBlocks;
  for (int p = 0; p < P; ++p) acc[p] = _mm256_loadu_ps(gx + 8 * p);
  int k = 0;
  for (; k + 2 <= H; k += 2) {
    const __m256 h0 = _mm256_broadcast_ss(h_prev + k);
    const __m256 h1 = _mm256_broadcast_ss(h_prev + k + 1);
    for (int p = 0; p < P; ++p) acc[p] = _mm256_fmadd_ps(h0, _mm256_loadu_ps(w + 8 * p), acc[p]);
    for (int p = 0; p < P; ++p)
      acc[p] = _mm256_fmadd_ps(h1, _mm256_loadu_ps(w + 8 * (P + p)), acc[p]);
    w += 16 * P;
  }
  if (k < H) {
    const __m256 h0 = _mm256_broadcast_ss(h_prev + k);
    for (int p = 0; p < P; ++p) acc[p] = _mm256_fmadd_ps(h0, _mm256_loadu_ps(w + 8 * p), acc[p]);
  }
}

// The cell update of one block of 8 channels from its four gate vectors.
inline void cell(const __m256* g, float* c, float* h, int valid) {
  const __m256 i = sigmoid8(g[0]);
  const __m256 f = sigmoid8(g[1]);
  const __m256 cand = tanh8(g[2]);
  const __m256 o = sigmoid8(g[3]);
  const __m256 cn = _mm256_fmadd_ps(f, _mm256_loadu_ps(c), _mm256_mul_ps(i, cand));
  _mm256_storeu_ps(c, cn);
  const __m256 hn = _mm256_mul_ps(o, tanh8(cn));
  if (valid == 8) {
    _mm256_storeu_ps(h, hn);
  } else {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    _mm256_maskstore_ps(h, _mm256_cmpgt_epi32(_mm256_set1_epi32(valid), lane), hn);
  }
}

inline int valid_lanes(int H, int block) { return H - 8 * block < 8 ? H - 8 * block : 8; }

}  // namespace

void lstm_step_avx2(const float* gx_row, const float* w_rec, const float* h_prev, float* c,
                    float* h, int H, int g0, int g1) {
  const int blocks = lstm_padded_hidden(H) / 8;
  for (int g = g0; g < g1; ++g) {
    const int b = 2 * g;
    const float* w = w_rec + size_t(g) * 64 * H;
    __m256 acc[8];
    if (b + 1 < blocks) {
      gates<2>(gx_row + 32 * b, w, h_prev, H, acc);
      cell(acc, c + 8 * b, h + 8 * b, 8);
      cell(acc + 4, c + 8 * (b + 1), h + 8 * (b + 1), valid_lanes(H, b + 1));
    } else {
      gates<1>(gx_row + 32 * b, w, h_prev, H, acc);
      cell(acc, c + 8 * b, h + 8 * b, valid_lanes(H, b));
    }
  }
}

}  // namespace mi::cpu
