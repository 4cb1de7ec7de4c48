#include "backend/cpu/conv1d.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

// Toom-Cook matrices over the finite points `pts` and infinity. With N(x) = prod (x - p):
// the BT row of a finite point holds the ascending coefficients of N(x)/(x - p), the row of
// infinity those of N(x); AT[j][t] = p_t^j; G[t][k] = p_t^k / prod_{j != t} (p_t - p_j).
Conv1dWinograd conv1d_winograd_from_points(int m, int r, const std::vector<int>& pts) {
  Conv1dWinograd v;
  v.m = m;
  v.r = r;
  v.T = m + r - 1;
  const int T = v.T, F = int(pts.size());
  std::vector<double> N{1.0};  // ascending coefficients
  for (int p : pts) {
    std::vector<double> next(N.size() + 1, 0.0);
    for (size_t i = 0; i < N.size(); ++i) {
      next[i + 1] += N[i];
      next[i] -= p * N[i];
    }
    N = next;
  }
  v.BT.assign(size_t(T) * T, 0.0f);
  v.AT.assign(size_t(m) * T, 0.0f);
  v.G.assign(size_t(T) * r, 0.0f);
  for (int t = 0; t < F; ++t) {
    const double p = pts[t];
    // Synthetic division of N by (x - p), highest power first.
    std::vector<double> q(size_t(T) - 1, 0.0);
    double carry = 0.0;
    for (int i = T - 1; i >= 1; --i) {
      carry = N[size_t(i)] + carry * p;
      q[size_t(i) - 1] = carry;
    }
    for (int j = 0; j < T - 1; ++j) v.BT[size_t(t) * T + j] = float(q[size_t(j)]);
    double den = 1.0;
    for (int o = 0; o < F; ++o)
      if (o != t) den *= p - pts[o];
    for (int k = 0; k < r; ++k) v.G[size_t(t) * r + k] = float(std::pow(p, k) / den);
    for (int j = 0; j < m; ++j) v.AT[size_t(j) * T + t] = float(std::pow(p, j));
  }
  for (int j = 0; j < T; ++j) v.BT[size_t(T - 1) * T + j] = float(N[size_t(j)]);
  v.G[size_t(T - 1) * r + r - 1] = 1.0f;
  v.AT[size_t(m - 1) * T + T - 1] = 1.0f;
  return v;
}

namespace {

// Tiles transformed, multiplied and transformed back together: their V and M stay in cache
// between the three steps, and the products keep enough rows to reuse each weight panel.
constexpr int kWinogradChunk = 96;

// Tiles [i0, i1) in chunks. A chunk's V and M sit in the part of the V and M areas that
// belongs to tile i0, which the chunk never outgrows.
void winograd_tiles(const Conv1dWinograd& v, const float* padded, const void* const* packed,
                    const float* bias, bool relu, int L_out, int C_in, int C_out, int dilation,
                    float* V, float* M, float* output, int64_t i0, int64_t i1) {
  float* Vc = V + int64_t(v.T) * i0 * C_in;
  float* Mc = M + int64_t(v.T) * i0 * C_out;
  for (int64_t c0 = i0; c0 < i1; c0 += kWinogradChunk) {
    const int n = int(std::min<int64_t>(kWinogradChunk, i1 - c0));
    conv1d_winograd_input_avx2(v, padded, dilation, Vc, n, C_in, c0);
    for (int t = 0; t < v.T; ++t)
      gemm_packed_fp32(Vc + int64_t(t) * n * C_in, static_cast<const float*>(packed[t]), nullptr,
                       Mc + int64_t(t) * n * C_out, false, n, C_in, C_out, false, nullptr);
    conv1d_winograd_output_avx2(v, Mc, bias, relu, output, dilation, n, L_out, C_out, c0);
  }
}

// Padded rows the tiles read: the input with its padding, and zeros up to the last tile.
int64_t winograd_rows(const Conv1dWinograd& v, int L, int L_out, int padding, int dilation) {
  const int64_t groups = conv1d_winograd_tiles(v, L_out, dilation) / dilation;
  return std::max<int64_t>(int64_t(L) + 2 * padding,
                           int64_t(dilation) * (int64_t(v.m) * groups + v.r - 1));
}

void winograd_run(const Conv1dWinograd& v, const float* input, const void* const* packed,
                  const float* bias, bool relu, int L, int L_out, int C_in, int C_out, int padding,
                  int dilation, float* output, float* scratch) {
  if (L_out <= 0 || C_out <= 0) return;
  const int64_t tiles = conv1d_winograd_tiles(v, L_out, dilation);
  const int64_t Lp = winograd_rows(v, L, L_out, padding, dilation);
  float* padded = scratch;
  float* V = padded + Lp * C_in;
  float* M = V + int64_t(v.T) * tiles * C_in;
  conv1d_fill_padded(input, padded, L, C_in, padding, Lp);
  // Each thread takes a contiguous run of tiles through all three steps.
  const int threads = team_threads();
  if (threads > 1) {
#pragma omp parallel num_threads(threads)
    {
      const int t = omp_get_thread_num(), n = omp_get_num_threads();
      winograd_tiles(v, padded, packed, bias, relu, L_out, C_in, C_out, dilation, V, M, output,
                     split_begin(tiles, t, n), split_begin(tiles, t + 1, n));
    }
  } else {
    winograd_tiles(v, padded, packed, bias, relu, L_out, C_in, C_out, dilation, V, M, output, 0,
                   tiles);
  }
}

}  // namespace

void conv1d_fill_padded(const float* input, float* padded, int L, int C, int padding, int64_t Lp) {
  const size_t row = size_t(C);
  std::memset(padded, 0, size_t(padding) * row * sizeof(float));
  std::memcpy(padded + size_t(padding) * row, input, size_t(L) * row * sizeof(float));
  const int64_t after = Lp - padding - L;
  if (after > 0)
    std::memset(padded + size_t(padding + L) * row, 0, size_t(after) * row * sizeof(float));
}

const Conv1dWinograd* conv1d_winograd_variant(int taps) {
  static const Conv1dWinograd f4k3 = conv1d_winograd_from_points(4, 3, {0, 1, -1, 2, -2});
  static const Conv1dWinograd f2k7 = conv1d_winograd_from_points(2, 7, {0, 1, -1, 2, -2, 3, -3});
  static const Conv1dWinograd f2k11 =
      conv1d_winograd_from_points(2, 11, {0, 1, -1, 2, -2, 3, -3, 4, -4, 5, -5});
  switch (taps) {
    case 3: return &f4k3;
    case 7: return &f2k7;
    case 11: return &f2k11;
    default: return nullptr;
  }
}

std::vector<float> conv1d_winograd_weights(const Conv1dWinograd& v, const float* weight, int C_out,
                                           int Cg) {
  std::vector<float> U(size_t(v.T) * C_out * Cg);
  for (int t = 0; t < v.T; ++t)
    for (int oc = 0; oc < C_out; ++oc)
      for (int ic = 0; ic < Cg; ++ic) {
        float acc = 0.0f;
        for (int k = 0; k < v.r; ++k)
          acc = std::fma(v.G[size_t(t) * v.r + k], weight[(size_t(oc) * v.r + k) * Cg + ic], acc);
        U[(size_t(t) * C_out + oc) * Cg + ic] = acc;
      }
  return U;
}

int64_t conv1d_winograd_scratch_floats(const Conv1dWinograd& v, int L, int L_out, int C_in,
                                       int C_out, int padding, int dilation) {
  const int64_t tiles = conv1d_winograd_tiles(v, std::max(L_out, 0), dilation);
  return winograd_rows(v, L, std::max(L_out, 0), padding, dilation) * C_in +
         tiles * (int64_t(C_out) + C_in) * v.T;
}

void conv1d_winograd_f4k3(const float* input, const void* const* packed, const float* bias,
                          bool relu, int L, int L_out, int C_in, int C_out, int padding,
                          int dilation, float* output, float* scratch) {
  winograd_run(*conv1d_winograd_variant(3), input, packed, bias, relu, L, L_out, C_in, C_out,
               padding, dilation, output, scratch);
}

void conv1d_winograd_f2k7(const float* input, const void* const* packed, const float* bias,
                          bool relu, int L, int L_out, int C_in, int C_out, int padding,
                          int dilation, float* output, float* scratch) {
  winograd_run(*conv1d_winograd_variant(7), input, packed, bias, relu, L, L_out, C_in, C_out,
               padding, dilation, output, scratch);
}

void conv1d_winograd_f2k11(const float* input, const void* const* packed, const float* bias,
                           bool relu, int L, int L_out, int C_in, int C_out, int padding,
                           int dilation, float* output, float* scratch) {
  winograd_run(*conv1d_winograd_variant(11), input, packed, bias, relu, L, L_out, C_in, C_out,
               padding, dilation, output, scratch);
}

float* pack_conv1d_direct(const float* weight, int C_out, int K, int Cg) {
  const size_t P = (size_t(C_out) + 7) / 8, taps = size_t(K) * Cg;
  float* block = new float[P * taps * 8]();
  for (size_t p = 0; p < P; ++p)
    for (size_t j = 0; j < 8; ++j) {
      const size_t oc = 8 * p + j;
      if (oc >= size_t(C_out)) break;
      for (size_t i = 0; i < taps; ++i) block[(p * taps + i) * 8 + j] = weight[oc * taps + i];
    }
  return block;
}

void conv1d_direct_fp32(const float* padded, const float* packed, const float* bias, float* output,
                        bool relu, int L_out, int C_in, int C_out, int K, int dilation,
                        bool in_parallel) {
  if (L_out <= 0 || C_out <= 0) return;
  const int P = (C_out + 7) / 8;
  if (!in_parallel) {
    if (!run_serial() && int64_t(C_out) * K * C_in * L_out >= kConv1dDirectTeamThreshold) {
#pragma omp parallel num_threads(omp_get_max_threads())
      conv1d_direct_fp32(padded, packed, bias, output, relu, L_out, C_in, C_out, K, dilation, true);
      return;
    }
    conv1d_direct_share_avx2(padded, packed, bias, output, relu, L_out, C_in, C_out, K, dilation, 0,
                             L_out, 0, P);
    return;
  }
  const int t = omp_get_thread_num(), n = omp_get_num_threads();
  if (n >= 2 && L_out < C_out) {
    conv1d_direct_share_avx2(padded, packed, bias, output, relu, L_out, C_in, C_out, K, dilation, 0,
                             L_out, int(split_begin(P, t, n)), int(split_begin(P, t + 1, n)));
    return;
  }
  // Whole 8-step blocks per thread; the last thread also takes the steps after them.
  const int B = L_out / 8;
  const int t0 = 8 * int(split_begin(B, t, n));
  const int t1 = t == n - 1 ? L_out : 8 * int(split_begin(B, t + 1, n));
  conv1d_direct_share_avx2(padded, packed, bias, output, relu, L_out, C_in, C_out, K, dilation, t0,
                           t1, 0, P);
}

void quantize_row_int8(const float* x, int8_t* q, float* scale, int n) {
  quantize_row_int8_avx2(x, q, scale, n);
}

void conv1d_int8_per_tap(const float* input, int L, int padding, const uint8_t* const* packs,
                         const float* w_scales, const float* bias, float* output, int L_out,
                         int C_in, int C_out, int K, int dilation, int8_t* q, float* scales) {
  if (L_out <= 0 || C_out <= 0) return;
  const int Lp = L + 2 * padding;
  const int nb = (C_out + 7) / 8, mb = L_out / 8;
  const int64_t macs = int64_t(L_out) * C_in * C_out * K;
  const int threads = run_serial() || macs < kConv1dDirectTeamThreshold ? 1 : omp_get_max_threads();
  auto body = [&](int t, int n) {
    for (int64_t r = split_begin(Lp, t, n); r < split_begin(Lp, t + 1, n); ++r) {
      int8_t* qr = q + r * C_in;
      if (r < padding || r >= int64_t(padding) + L) {
        std::memset(qr, 0, size_t(C_in));
        scales[r] = 1e-8f;
      } else {
        quantize_row_int8(input + (r - padding) * C_in, qr, scales + r, C_in);
      }
    }
#pragma omp barrier
    const int r0 = int(split_begin(mb, t, n)), r1 = int(split_begin(mb, t + 1, n));
    for (int k = 0; k < K; ++k) {
      Int8Output o;
      o.mode = Int8Output::kDequant;
      o.C = output;
      o.col_scales = w_scales;
      o.row_scales = scales + int64_t(k) * dilation;
      o.fbias = bias;
      o.accumulate = k > 0;
      gemm_int8_share_avx2(q + int64_t(k) * dilation * C_in, packs[k], o, L_out, C_in, C_out, 0, nb,
                           r0, r1, t == n - 1, false);
    }
  };
  if (threads > 1) {
#pragma omp parallel num_threads(threads)
    body(omp_get_thread_num(), omp_get_num_threads());
  } else {
    body(0, 1);
  }
}

// ---------------------------------------------------------------- references

void conv1d_winograd_ref(const Conv1dWinograd& v, const float* input, const float* U,
                         const float* bias, bool relu, int L, int L_out, int C_in, int C_out,
                         int padding, int dilation, float* output) {
  if (L_out <= 0 || C_out <= 0) return;
  const int64_t tiles = conv1d_winograd_tiles(v, L_out, dilation);
  const int T = v.T;
  const int64_t Lp = winograd_rows(v, L, L_out, padding, dilation);
  std::vector<float> padded(size_t(Lp) * C_in);
  conv1d_fill_padded(input, padded.data(), L, C_in, padding, Lp);
  std::vector<float> V(size_t(T) * tiles * C_in), M(size_t(T) * tiles * C_out);
  conv1d_winograd_input_ref(v, padded.data(), tiles, C_in, dilation, V.data());
  for (int t = 0; t < T; ++t)
    gemm_fp32_ref(&V[size_t(t) * tiles * C_in], U + size_t(t) * C_out * C_in, nullptr,
                  &M[size_t(t) * tiles * C_out], false, int(tiles), C_in, C_out);
  conv1d_winograd_output_ref(v, M.data(), bias, relu, tiles, L_out, C_out, dilation, output);
}

void conv1d_winograd_input_ref(const Conv1dWinograd& v, const float* padded, int64_t n, int C_in,
                               int dilation, float* V) {
  const int T = v.T;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t base = conv1d_winograd_tile_base(v, i, dilation);
    for (int t = 0; t < T; ++t)
      for (int c = 0; c < C_in; ++c) {
        float acc = 0.0f;
        for (int j = 0; j < T; ++j) {
          const float b = v.BT[size_t(t) * T + j];
          if (b != 0.0f)
            acc = std::fma(b, padded[size_t(base + int64_t(dilation) * j) * C_in + c], acc);
        }
        V[(size_t(t) * n + i) * C_in + c] = acc;
      }
  }
}

void conv1d_winograd_output_ref(const Conv1dWinograd& v, const float* M, const float* bias,
                                bool relu, int64_t n, int L_out, int C_out, int dilation,
                                float* output) {
  const int T = v.T;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t base = conv1d_winograd_tile_base(v, i, dilation);
    for (int j = 0; j < v.m && base + int64_t(dilation) * j < L_out; ++j)
      for (int c = 0; c < C_out; ++c) {
        float acc = 0.0f;
        for (int t = 0; t < T; ++t) {
          const float a = v.AT[size_t(j) * T + t];
          if (a != 0.0f) acc = std::fma(a, M[(size_t(t) * n + i) * C_out + c], acc);
        }
        if (bias) acc += bias[c];
        output[size_t(base + int64_t(dilation) * j) * C_out + c] =
            relu && !(acc > 0.0f) ? 0.0f : acc;
      }
  }
}

void conv1d_direct_fp32_ref(const float* padded, const float* weight, const float* bias,
                            float* output, bool relu, int L_out, int C_in, int C_out, int K,
                            int dilation) {
  for (int t = 0; t < L_out; ++t)
    for (int oc = 0; oc < C_out; ++oc) {
      float acc = 0.0f;
      for (int k = 0; k < K; ++k)
        for (int ic = 0; ic < C_in; ++ic)
          acc = std::fma(padded[(size_t(t) + size_t(k) * dilation) * C_in + ic],
                         weight[(size_t(oc) * K + k) * C_in + ic], acc);
      acc += bias ? bias[oc] : 0.0f;
      output[size_t(t) * C_out + oc] = relu && !(acc > 0.0f) ? 0.0f : acc;
    }
}

void quantize_row_int8_ref(const float* x, int8_t* q, float* scale, int n) {
  float a = 0.0f;
  for (int i = 0; i < n; ++i) a = std::max(a, std::fabs(x[i]));
  const float s = std::max(a * 0.007874016f, 1e-8f);
  const float inv = 1.0f / s;
  *scale = s;
  for (int i = 0; i < n; ++i) q[i] = quantize_value_int8(x[i] * inv);
}

}  // namespace mi::cpu
