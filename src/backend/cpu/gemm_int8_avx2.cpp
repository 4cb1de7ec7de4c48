#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/int8_arith.h"
#include "backend/cpu/lanes_avx2.h"

namespace mi::cpu {

namespace {

// Rows of A widened at once, sized so that the widened chunk stays in L2 while every panel
// pair of the share streams past it.
constexpr size_t kChunkBytes = size_t(192) << 10;
constexpr int kTileRows = 6;

// A rows sign-extended to int16 and zero-padded to whole 4-column groups, interleaved by
// tiles of kTileRows rows: the 4 values of row r, group g of tile i are at
// ((i * kg + g) * kTileRows + r) * 4, so that a tile's broadcasts of one group are adjacent
// 32-bit words. Rows past `rows` in the last tile are left unset. Per thread.
int16_t* widen_rows(const int8_t* A, int rows, int K, int kg) {
  thread_local std::vector<int16_t> buf;
  const size_t tile_stride = size_t(kg) * kTileRows * 4;
  const size_t need = tile_stride * size_t((rows + kTileRows - 1) / kTileRows);
  if (buf.size() < need) buf.resize(need);
  constexpr int kGroupStride = kTileRows * 4;
  for (int r = 0; r < rows; ++r) {
    const int8_t* a = A + size_t(r) * K;
    int16_t* d = buf.data() + tile_stride * (r / kTileRows) + (r % kTileRows) * 4;
    int g = 0;
    for (; 4 * g + 8 <= K; g += 2) {
      const __m128i v =
          _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + 4 * g)));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(d + g * kGroupStride), v);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(d + (g + 1) * kGroupStride),
                       _mm_unpackhi_epi64(v, v));
    }
    for (; g < kg; ++g)
      for (int j = 0; j < 4; ++j) d[g * kGroupStride + j] = 4 * g + j < K ? a[4 * g + j] : 0;
  }
  return buf.data();
}

inline __m256i bcast_pair(const int16_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm256_set1_epi32(v);
}

// acc[r][q] lane j = sum over k of A[r][k] * W[8(p + q) + j][k] for the PANELS panels
// starting at `panel`, exact in 32 bits. Each broadcast pair of A feeds every panel.
template <int ROWS, int PANELS>
inline void tile(const int16_t* a16, const uint8_t* panel, size_t pstride, int kg, bool prefetch,
                 __m256i (&acc)[kTileRows][2]) {
  // The row and panel loops are unrolled in full so that the sums are locals held in
  // registers; they are copied out once at the end.
  __m256i sum[ROWS][PANELS];
#pragma GCC unroll 8
  for (int r = 0; r < ROWS; ++r)
#pragma GCC unroll 8
    for (int q = 0; q < PANELS; ++q) sum[r][q] = _mm256_setzero_si256();
  for (int g = 0; g < kg; ++g) {
    const uint8_t* blk = panel + size_t(g) * 32;
    if (prefetch && (g & 1) == 0)
#pragma GCC unroll 8
      for (int q = 0; q < PANELS; ++q)
        _mm_prefetch(reinterpret_cast<const char*>(blk + q * pstride + 512), _MM_HINT_T0);
    const int16_t* a = a16 + size_t(g) * kTileRows * 4;
    __m256i w[PANELS];
#pragma GCC unroll 8
    for (int q = 0; q < PANELS; ++q)
      w[q] = _mm256_cvtepi8_epi16(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + q * pstride)));
#pragma GCC unroll 8
    for (int r = 0; r < ROWS; ++r) {
      const __m256i b = bcast_pair(a + 4 * r);
#pragma GCC unroll 8
      for (int q = 0; q < PANELS; ++q)
        sum[r][q] = _mm256_add_epi32(sum[r][q], _mm256_madd_epi16(b, w[q]));
    }
// Keeps each sum in its register: regrouping the two halves' products first would need
// more registers than there are and spill the accumulators.
#pragma GCC unroll 8
    for (int r = 0; r < ROWS; ++r)
#pragma GCC unroll 8
      for (int q = 0; q < PANELS; ++q) asm("" : "+x"(sum[r][q]));
#pragma GCC unroll 8
    for (int q = 0; q < PANELS; ++q)
      w[q] = _mm256_cvtepi8_epi16(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(blk + q * pstride + 16)));
#pragma GCC unroll 8
    for (int r = 0; r < ROWS; ++r) {
      const __m256i b = bcast_pair(a + 4 * r + 2);
#pragma GCC unroll 8
      for (int q = 0; q < PANELS; ++q)
        sum[r][q] = _mm256_add_epi32(sum[r][q], _mm256_madd_epi16(b, w[q]));
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < ROWS; ++r)
#pragma GCC unroll 8
    for (int q = 0; q < PANELS; ++q) acc[r][q] = sum[r][q];
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
        const __m256d lo =
            _mm256_add_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(acc)), _mm256_load_pd(t.fbias));
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
        __m256i x =
            _mm256_add_epi32(acc, _mm256_load_si256(reinterpret_cast<const __m256i*>(t.bias32)));
        x = mul_round_shift31(x, _mm256_load_si256(reinterpret_cast<const __m256i*>(t.mult)));
        x = _mm256_srav_epi32(x, _mm256_load_si256(reinterpret_cast<const __m256i*>(t.negshift)));
        x = _mm256_min_epi32(_mm256_max_epi32(x, _mm256_set1_epi32(-65536)),
                             _mm256_set1_epi32(65536));
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

// The vector requantisation of store_row for full 8-column panels of a row-major int8
// output, the tables held in registers for the whole tile. Saturating to int16, adding the
// zero point with int16 saturation and saturating to int8 clamps x + zero point exactly as
// store_row does: a value pushed to an int16 limit stays beyond the int8 range.
struct RequantRegs {
  __m256i bias, mult, mult_odd, negshift;
};

inline RequantRegs requant_regs(const PanelOut& t) {
  RequantRegs q;
  q.bias = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.bias32));
  q.mult = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.mult));
  q.mult_odd = _mm256_srli_epi64(q.mult, 32);
  q.negshift = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.negshift));
  return q;
}

inline void requant_store8(const RequantRegs& q, __m128i zp16, __m256i acc, int8_t* c) {
  const __m256i half = _mm256_set1_epi64x(int64_t(1) << 30);
  const __m256i x = _mm256_add_epi32(acc, q.bias);
  const __m256i even = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(x, q.mult), half), 31);
  const __m256i odd =
      _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(x, 32), q.mult_odd), half);
  const __m256i r =
      _mm256_srav_epi32(_mm256_blend_epi32(even, _mm256_slli_epi64(odd, 1), 0xAA), q.negshift);
  const __m128i r16 = _mm_adds_epi16(
      _mm_packs_epi32(_mm256_castsi256_si128(r), _mm256_extracti128_si256(r, 1)), zp16);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(c), _mm_packs_epi16(r16, r16));
}

template <int ROWS, int PANELS>
void store_tile(const __m256i (&acc)[kTileRows][2], const Int8Output& out, const PanelOut* t, int m,
                int M, int N) {
  bool full = true, vector_requant = true;
  for (int q = 0; q < PANELS; ++q) {
    full = full && t[q].w == 8;
    vector_requant = vector_requant && t[q].vector_requant;
  }
  if (full && out.mode == Int8Output::kInt32) {
    int32_t* c = static_cast<int32_t*>(out.C) + size_t(m) * N + t[0].n0;
    for (int r = 0; r < ROWS; ++r)
      for (int q = 0; q < PANELS; ++q)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(c + size_t(r) * N + 8 * q), acc[r][q]);
    return;
  }
  if (full && vector_requant && out.mode == Int8Output::kRequantize && !out.channel_major) {
    RequantRegs regs[PANELS];
    for (int q = 0; q < PANELS; ++q) regs[q] = requant_regs(t[q]);
    const __m128i zp16 = _mm_set1_epi16(out.out_zp);
    int8_t* c = static_cast<int8_t*>(out.C) + size_t(m) * N + t[0].n0;
    for (int r = 0; r < ROWS; ++r)
      for (int q = 0; q < PANELS; ++q)
        requant_store8(regs[q], zp16, acc[r][q], c + size_t(r) * N + 8 * q);
    return;
  }
  for (int r = 0; r < ROWS; ++r)
    for (int q = 0; q < PANELS; ++q) store_row(out, t[q], acc[r][q], m + r, M, N);
}

template <int ROWS, int PANELS>
void tile_and_store(const int16_t* a16, const uint8_t* panel, size_t pstride, int kg, bool prefetch,
                    const Int8Output& out, const PanelOut* t, int m, int M, int N) {
  __m256i acc[kTileRows][2];
  tile<ROWS, PANELS>(a16, panel, pstride, kg, prefetch, acc);
  store_tile<ROWS, PANELS>(acc, out, t, m, M, N);
}

template <int ROWS>
void tile_rows(int panels, const int16_t* a16, const uint8_t* panel, size_t pstride, int kg,
               bool prefetch, const Int8Output& out, const PanelOut* t, int m, int M, int N) {
  if (panels == 2)
    tile_and_store<ROWS, 2>(a16, panel, pstride, kg, prefetch, out, t, m, M, N);
  else
    tile_and_store<ROWS, 1>(a16, panel, pstride, kg, prefetch, out, t, m, M, N);
}

using TileFn = void (*)(int, const int16_t*, const uint8_t*, size_t, int, bool, const Int8Output&,
                        const PanelOut*, int, int, int);
constexpr TileFn kTileByRows[kTileRows + 1] = {
    nullptr, tile_rows<1>, tile_rows<2>, tile_rows<3>, tile_rows<4>, tile_rows<5>, tile_rows<6>};

// Rows [m0, m1) against panels [p0, p1): each chunk of rows is widened once, then every
// panel pair walks down it in tiles of kTileRows rows.
void share_rows(const int8_t* A, const uint8_t* packed, const Int8Output& out, int M, int K, int N,
                int p0, int p1, int m0, int m1, bool prefetch) {
  const int kg = (K + 3) / 4;
  const size_t astride = size_t(kg) * 4;
  const size_t pstride = size_t(kg) * 32;
  const size_t row_bytes = std::max<size_t>(astride, 4) * sizeof(int16_t);
  const int chunk = std::max<int>(kTileRows, int(kChunkBytes / row_bytes) / kTileRows * kTileRows);
  for (int c0 = m0; c0 < m1; c0 += chunk) {
    const int c1 = std::min(c0 + chunk, m1);
    const int16_t* a16 = widen_rows(A + size_t(c0) * K, c1 - c0, K, kg);
    for (int p = p0; p < p1; p += 2) {
      const int panels = std::min(2, p1 - p);
      PanelOut t[2];
      for (int q = 0; q < panels; ++q) t[q] = gather_panel(out, p + q, N);
      const uint8_t* panel = packed + size_t(p) * pstride;
      for (int m = c0; m < c1; m += kTileRows) {
        const int rows = std::min(kTileRows, c1 - m);
        kTileByRows[rows](panels, a16 + size_t(m - c0) * astride, panel, pstride, kg, prefetch, out,
                          t, m, M, N);
      }
    }
  }
}

// The kernel for weights in [-64, 63]: vpmaddubsw multiplies unsigned bytes by signed ones
// and adds adjacent pairs into int16, which cannot saturate when |weight| <= 64
// (2 * 255 * 64 < 2^15). Activations are shifted to a + 128 and each column's sums corrected
// by 128 times its weight sum, so the 32-bit sums are exactly those of the signed product.

// Five rows by two panels: 10 accumulators, the two panels' weights, the vector of ones and
// two products fit the 16 vector registers; a sixth row would spill the accumulators.
constexpr int kU8Rows = 5;

// A rows as a + 128, zero-padded to whole 4-column groups: row r at r * kg * 4. Per thread.
uint8_t* offset_rows(const int8_t* A, int rows, int K, int kg) {
  thread_local std::vector<uint8_t> buf;
  const size_t astride = size_t(kg) * 4;
  if (buf.size() < astride * size_t(rows)) buf.resize(astride * size_t(rows));
  const __m256i flip = _mm256_set1_epi8(-128);
  for (int r = 0; r < rows; ++r) {
    const int8_t* a = A + size_t(r) * K;
    uint8_t* d = buf.data() + astride * size_t(r);
    int k = 0;
    for (; k + 32 <= K; k += 32)
      _mm256_storeu_si256(
          reinterpret_cast<__m256i*>(d + k),
          _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + k)), flip));
    for (; k < K; ++k) d[k] = uint8_t(a[k] ^ 0x80);
    for (; k < int(astride); ++k) d[k] = 0;
  }
  return buf.data();
}

// Re-lays a panel so that 32-bit lane j of group g holds the 4 weights of row j: the
// block's two 16-byte halves (columns k, k+1 and k+2, k+3 of rows 0..7) are interleaved
// by 16-bit pairs.
void unpair_panel(const uint8_t* panel, int kg, uint8_t* dst) {
  const __m256i order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1,
                                         8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  for (int g = 0; g < kg; ++g) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(panel + size_t(g) * 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + size_t(g) * 32),
                        _mm256_shuffle_epi8(_mm256_permute4x64_epi64(v, 0xD8), order));
  }
}

template <int ROWS, int PANELS>
void tile_u8(const uint8_t* a8, const uint8_t* wbuf, int kg, const __m256i* offset,
             const Int8Output& out, const PanelOut* t, int m, int M, int N) {
  const size_t astride = size_t(kg) * 4;
  __m256i sum[ROWS][PANELS];
#pragma GCC unroll 8
  for (int r = 0; r < ROWS; ++r)
#pragma GCC unroll 8
    for (int q = 0; q < PANELS; ++q) sum[r][q] = _mm256_setzero_si256();
  const size_t wstride = size_t(kg) * 32;
  for (int g = 0; g < kg; ++g) {
    const uint8_t* a = a8 + size_t(g) * 4;
    __m256i w[PANELS];
#pragma GCC unroll 8
    for (int q = 0; q < PANELS; ++q)
      w[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wbuf + q * wstride + g * 32));
    madd_u8_rows(sum, w, a, astride);
  }
  __m256i acc[kTileRows][2];
#pragma GCC unroll 8
  for (int r = 0; r < ROWS; ++r)
#pragma GCC unroll 8
    for (int q = 0; q < PANELS; ++q) acc[r][q] = _mm256_sub_epi32(sum[r][q], offset[q]);
  store_tile<ROWS, PANELS>(acc, out, t, m, M, N);
}

template <int ROWS>
void tile_u8_rows(int panels, const uint8_t* a8, const uint8_t* wbuf, int kg, const __m256i* offset,
                  const Int8Output& out, const PanelOut* t, int m, int M, int N) {
  if (panels == 2)
    tile_u8<ROWS, 2>(a8, wbuf, kg, offset, out, t, m, M, N);
  else
    tile_u8<ROWS, 1>(a8, wbuf, kg, offset, out, t, m, M, N);
}

using TileU8Fn = void (*)(int, const uint8_t*, const uint8_t*, int, const __m256i*,
                          const Int8Output&, const PanelOut*, int, int, int);
constexpr TileU8Fn kTileU8ByRows[kU8Rows + 1] = {nullptr,         tile_u8_rows<1>, tile_u8_rows<2>,
                                                 tile_u8_rows<3>, tile_u8_rows<4>, tile_u8_rows<5>};

// share_rows for narrow weights: each panel pair is re-laid once per chunk of rows.
void share_rows_u8(const int8_t* A, const uint8_t* packed, const Int8Output& out, int M, int K,
                   int N, int p0, int p1, int m0, int m1) {
  const int kg = (K + 3) / 4;
  const size_t astride = size_t(kg) * 4;
  const size_t pstride = size_t(kg) * 32;
  const int chunk =
      std::max<int>(kU8Rows, int(kChunkBytes / std::max<size_t>(astride, 4)) / kU8Rows * kU8Rows);
  const int32_t* offsets = packed_int8_offsets(packed);
  thread_local std::vector<uint8_t> wbuf;
  if (wbuf.size() < 2 * pstride) wbuf.resize(2 * pstride);
  for (int c0 = m0; c0 < m1; c0 += chunk) {
    const int c1 = std::min(c0 + chunk, m1);
    const uint8_t* a8 = offset_rows(A + size_t(c0) * K, c1 - c0, K, kg);
    for (int p = p0; p < p1; p += 2) {
      const int panels = std::min(2, p1 - p);
      PanelOut t[2];
      __m256i offset[2];
      for (int q = 0; q < panels; ++q) {
        t[q] = gather_panel(out, p + q, N);
        unpair_panel(packed + size_t(p + q) * pstride, kg, wbuf.data() + q * pstride);
        offset[q] =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offsets + size_t(p + q) * 8));
      }
      for (int m = c0; m < c1; m += kU8Rows) {
        const int rows = std::min(kU8Rows, c1 - m);
        kTileU8ByRows[rows](panels, a8 + size_t(m - c0) * astride, wbuf.data(), kg, offset, out, t,
                            m, M, N);
      }
    }
  }
}

}  // namespace

void gemm_int8_share_avx2(const int8_t* A, const uint8_t* packed, const Int8Output& out, int M,
                          int K, int N, int p0, int p1, int r0, int r1, bool tail, bool prefetch) {
  const int full = M / 8 * 8;
  int m1 = 8 * r1;
  if (tail && m1 == full) {
    m1 = M;
    tail = false;
  }
  const bool narrow = packed_int8_info(packed).narrow != 0;
  auto rows = [&](int a, int b) {
    if (narrow)
      share_rows_u8(A, packed, out, M, K, N, p0, p1, a, b);
    else
      share_rows(A, packed, out, M, K, N, p0, p1, a, b, prefetch);
  };
  if (8 * r0 < m1) rows(8 * r0, m1);
  if (tail && full < M) rows(full, M);
}

void quantize_rows_avx2(const float* X, int8_t* q, float* scales, int M, int K) {
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256 lo = _mm256_set1_ps(-128.0f), hi = _mm256_set1_ps(127.0f);
  for (int m = 0; m < M; ++m) {
    const float* x = X + size_t(m) * K;
    int8_t* d = q + size_t(m) * K;
    __m256 vmax = _mm256_setzero_ps();
    int k = 0;
    for (; k + 8 <= K; k += 8)
      vmax = _mm256_max_ps(vmax, _mm256_andnot_ps(sign, _mm256_loadu_ps(x + k)));
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
      const __m128i i16 =
          _mm_packs_epi32(_mm256_castsi256_si128(i32), _mm256_extracti128_si256(i32, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(d + k), _mm_packs_epi16(i16, i16));
    }
    for (; k < K; ++k) d[k] = int8_t(std::lround(clamp_to_int8_range(x[k] * inv)));
  }
}

}  // namespace mi::cpu
