#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/int8_arith.h"

namespace mi::cpu {

namespace {

constexpr int kChunkBlocks = 32;  // 256 rows of A per pass over the panels

// A rows sign-extended to int16 and zero-padded to whole 4-column groups, so that each
// (k, k+1) pair is one 32-bit word ready for a broadcast load. Per thread.
int16_t* widen_rows(const int8_t* A, int rows, int K, int kg) {
  thread_local std::vector<int16_t> buf;
  const size_t stride = size_t(kg) * 4;
  if (buf.size() < stride * rows) buf.resize(stride * rows);
  for (int r = 0; r < rows; ++r) {
    const int8_t* a = A + size_t(r) * K;
    int16_t* d = buf.data() + stride * r;
    int k = 0;
    for (; k + 16 <= K; k += 16)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + k),
                          _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k))));
    for (; k < K; ++k) d[k] = a[k];
    for (; size_t(k) < stride; ++k) d[k] = 0;
  }
  return buf.data();
}

inline __m256i bcast_pair(const int16_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm256_set1_epi32(v);
}

// acc[r] lane j = sum over k of A[r][k] * W[8p + j][k], exact in 32 bits.
template <int ROWS, bool PREFETCH>
inline void tile(const int16_t* a16, size_t astride, const uint8_t* panel, int kg,
                 __m256i* acc) {
  for (int r = 0; r < ROWS; ++r) acc[r] = _mm256_setzero_si256();
  auto group = [&](int g) {
    const uint8_t* blk = panel + size_t(g) * 32;
    const __m256i lo = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blk)));
    const __m256i hi =
        _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + 16)));
    for (int r = 0; r < ROWS; ++r) {
      const int16_t* a = a16 + astride * r + size_t(g) * 4;
      acc[r] = _mm256_add_epi32(acc[r], _mm256_madd_epi16(bcast_pair(a), lo));
      acc[r] = _mm256_add_epi32(acc[r], _mm256_madd_epi16(bcast_pair(a + 2), hi));
    }
  };
  int g = 0;
  for (; g + 4 <= kg; g += 4) {
    if (PREFETCH) {
      _mm_prefetch(reinterpret_cast<const char*>(panel + size_t(g) * 32 + 512), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char*>(panel + size_t(g) * 32 + 576), _MM_HINT_T0);
    }
    group(g);
    group(g + 1);
    group(g + 2);
    group(g + 3);
  }
  for (; g < kg; ++g) group(g);
}

// Per-panel tables of the output stage, gathered once before the panel's rows.
struct PanelOut {
  int n0 = 0;
  int w = 8;
  bool vector_requant = true;  // every shift <= 0
  alignas(32) int32_t bias32[8] = {};
  alignas(32) int32_t mult[8] = {};
  alignas(32) int32_t negshift[8] = {};
  alignas(32) double fbias[8] = {};
  bool exact_double = true;  // |bias| < 2^52: acc + bias is exact in double
};

PanelOut gather_panel(const Int8Output& o, int p, int N) {
  PanelOut t;
  t.n0 = 8 * p;
  t.w = std::min(8, N - t.n0);
  for (int j = 0; j < t.w; ++j) {
    const int n = t.n0 + j;
    if (o.mode == Int8Output::kRequantize) {
      t.bias32[j] = int32_t(uint32_t(uint64_t(o.bias[n])));
      t.mult[j] = o.multiplier[n];
      t.negshift[j] = -o.shift[n];
      if (o.shift[n] > 0) t.vector_requant = false;
    } else if (o.mode == Int8Output::kFloat) {
      const int64_t b = o.bias[n];
      if (b >= (int64_t(1) << 52) || b <= -(int64_t(1) << 52)) t.exact_double = false;
      t.fbias[j] = double(b);
    }
  }
  return t;
}

// Low 32 bits of (x * m + 2^30) >> 31 for each lane.
inline __m256i mul_round_shift31(__m256i x, __m256i m) {
  const __m256i half = _mm256_set1_epi64x(int64_t(1) << 30);
  const __m256i even = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(x, m), half), 31);
  const __m256i odd = _mm256_srli_epi64(
      _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(x, 32), _mm256_srli_epi64(m, 32)), half),
      31);
  return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
}

void store_row(const Int8Output& o, const PanelOut& t, __m256i acc, int m, int M, int N) {
  alignas(32) int32_t s[8];
  switch (o.mode) {
    case Int8Output::kInt32: {
      _mm256_store_si256(reinterpret_cast<__m256i*>(s), acc);
      std::copy(s, s + t.w, static_cast<int32_t*>(o.C) + size_t(m) * N + t.n0);
      return;
    }
    case Int8Output::kFloat: {
      float* c = static_cast<float*>(o.C) + size_t(m) * N + t.n0;
      if (t.exact_double) {
        const __m256d lo = _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(acc)),
                                         _mm256_load_pd(t.fbias));
        const __m256d hi = _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(acc, 1)),
                                         _mm256_load_pd(t.fbias + 4));
        __m256 v = _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
        alignas(32) float sc[8] = {};
        std::copy(o.scale + t.n0, o.scale + t.n0 + t.w, sc);
        v = _mm256_mul_ps(v, _mm256_load_ps(sc));
        if (t.w == 8) {
          _mm256_storeu_ps(c, v);
        } else {
          alignas(32) float f[8];
          _mm256_store_ps(f, v);
          std::copy(f, f + t.w, c);
        }
      } else {
        _mm256_store_si256(reinterpret_cast<__m256i*>(s), acc);
        for (int j = 0; j < t.w; ++j)
          c[j] = float(int64_t(s[j]) + o.bias[t.n0 + j]) * o.scale[t.n0 + j];
      }
      return;
    }
    case Int8Output::kDequant: {
      float* c = static_cast<float*>(o.C) + size_t(m) * N + t.n0;
      alignas(32) float cs[8] = {}, prev[8] = {};
      std::copy(o.col_scales + t.n0, o.col_scales + t.n0 + t.w, cs);
      const __m256 sc = _mm256_mul_ps(_mm256_set1_ps(o.row_scales[m]), _mm256_load_ps(cs));
      const float* addend = o.accumulate ? c : o.fbias ? o.fbias + t.n0 : nullptr;
      if (addend) std::copy(addend, addend + t.w, prev);
      const __m256 v = _mm256_fmadd_ps(sc, _mm256_cvtepi32_ps(acc), _mm256_load_ps(prev));
      alignas(32) float f[8];
      _mm256_store_ps(f, addend ? v : _mm256_mul_ps(sc, _mm256_cvtepi32_ps(acc)));
      std::copy(f, f + t.w, c);
      return;
    }
    case Int8Output::kRequantize: {
      if (t.vector_requant) {
        __m256i x = _mm256_add_epi32(acc, _mm256_load_si256(reinterpret_cast<const __m256i*>(t.bias32)));
        x = mul_round_shift31(x, _mm256_load_si256(reinterpret_cast<const __m256i*>(t.mult)));
        x = _mm256_srav_epi32(x, _mm256_load_si256(reinterpret_cast<const __m256i*>(t.negshift)));
        x = _mm256_min_epi32(_mm256_max_epi32(x, _mm256_set1_epi32(-65536)), _mm256_set1_epi32(65536));
        x = _mm256_add_epi32(x, _mm256_set1_epi32(o.out_zp));
        x = _mm256_min_epi32(_mm256_max_epi32(x, _mm256_set1_epi32(-128)), _mm256_set1_epi32(127));
        _mm256_store_si256(reinterpret_cast<__m256i*>(s), x);
      } else {
        _mm256_store_si256(reinterpret_cast<__m256i*>(s), acc);
        for (int j = 0; j < t.w; ++j)
          s[j] = requantize(int32_t(uint32_t(s[j]) + uint32_t(t.bias32[j])), t.mult[j],
                            -t.negshift[j], o.out_zp);
      }
      int8_t* c = static_cast<int8_t*>(o.C);
      if (o.channel_major) {
        for (int j = 0; j < t.w; ++j) c[size_t(t.n0 + j) * M + m] = int8_t(s[j]);
      } else {
        for (int j = 0; j < t.w; ++j) c[size_t(m) * N + t.n0 + j] = int8_t(s[j]);
      }
      return;
    }
  }
}

}  // namespace

void gemm_int8_share_avx2(const int8_t* A, const uint8_t* packed, const Int8Output& out,
                          int M, int K, int N, int p0, int p1, int r0, int r1, bool tail,
                          bool prefetch) {
  const int kg = (K + 3) / 4;
  const size_t astride = size_t(kg) * 4;
  __m256i acc[8];
  for (int c0 = r0; c0 < r1; c0 += kChunkBlocks) {
    const int c1 = std::min(c0 + kChunkBlocks, r1);
    for (int p = p0; p < p1; ++p) {
      const PanelOut t = gather_panel(out, p, N);
      const uint8_t* panel = packed + size_t(p) * kg * 32;
      for (int rb = c0; rb < c1; ++rb) {
        const int16_t* a16 = widen_rows(A + size_t(rb) * 8 * K, 8, K, kg);
        if (prefetch)
          tile<8, true>(a16, astride, panel, kg, acc);
        else
          tile<8, false>(a16, astride, panel, kg, acc);
        for (int r = 0; r < 8; ++r) store_row(out, t, acc[r], rb * 8 + r, M, N);
      }
    }
  }
  if (!tail) return;
  for (int m = (M / 8) * 8; m < M; ++m) {
    const int16_t* a16 = widen_rows(A + size_t(m) * K, 1, K, kg);
    for (int p = p0; p < p1; ++p) {
      const PanelOut t = gather_panel(out, p, N);
      tile<1, false>(a16, astride, packed + size_t(p) * kg * 32, kg, acc);
      store_row(out, t, acc[0], m, M, N);
    }
  }
}

void quantize_rows_avx2(const float* X, int8_t* q, float* scales, int M, int K) {
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256 lo = _mm256_set1_ps(-128.0f), hi = _mm256_set1_ps(127.0f);
  for (int m = 0; m < M; ++m) {
    const float* x = X + size_t(m) * K;
    int8_t* d = q + size_t(m) * K;
    __m256 vmax = _mm256_setzero_ps();
    int k = 0;
    for (; k + 8 <= K; k += 8) vmax = _mm256_max_ps(vmax, _mm256_andnot_ps(sign, _mm256_loadu_ps(x + k)));
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, vmax);
    float a = 0.0f;
    for (float v : lanes) a = std::max(a, v);
    for (; k < K; ++k) a = std::max(a, std::fabs(x[k]));
    const float s = dynamic_scale(a);
    const float inv = 1.0f / s;
    scales[m] = s;
    const __m256 vinv = _mm256_set1_ps(inv);
    k = 0;
    for (; k + 8 <= K; k += 8) {
      __m256 v = _mm256_mul_ps(_mm256_loadu_ps(x + k), vinv);
      v = _mm256_min_ps(_mm256_max_ps(v, lo), hi);
      const __m256i i32 = _mm256_cvtps_epi32(v);
      const __m128i i16 = _mm_packs_epi32(_mm256_castsi256_si128(i32), _mm256_extracti128_si256(i32, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(d + k), _mm_packs_epi16(i16, i16));
    }
    for (; k < K; ++k) d[k] = int8_t(std::lround(clamp_to_int8_range(x[k] * inv)));
  }
}

}  // namespace mi::cpu
