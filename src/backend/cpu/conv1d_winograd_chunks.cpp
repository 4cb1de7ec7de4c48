#include "backend/cpu/conv1d_winograd_chunks.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

// Output tiles per block at most: a block's transformed input, its products and the input
// rows they come from stay in the second-level cache between the three steps.
constexpr int kBlockTiles = 48;

// Transformed input tiles a run of n output tiles reads: the later chunks reach further.
int64_t input_tiles(const Conv1dWinograd& v, int K, int64_t n, int dilation) {
  return n + int64_t(conv1d_winograd_chunks(v, K) - 1) * dilation;
}

// Padded rows the input tiles read: the input with its padding, and zeros up to the end of
// the last tile.
int64_t padded_rows(const Conv1dWinograd& v, int K, int L, int L_out, int padding, int dilation) {
  const int64_t groups =
      input_tiles(v, K, conv1d_winograd_tiles(v, L_out, dilation), dilation) / dilation;
  return std::max<int64_t>(int64_t(L) + 2 * padding,
                           int64_t(dilation) * (int64_t(v.m) * groups + v.r - 1));
}

int64_t block_floats(const Conv1dWinograd& v, int K, int C_in, int C_out, int dilation) {
  return int64_t(v.T) * (input_tiles(v, K, kBlockTiles, dilation) * C_in + kBlockTiles * C_out);
}

// Blocks of a call: short sequences get smaller blocks, so that every thread of the team
// has one. No output depends on where the blocks end.
struct Blocks {
  int64_t size, count;
  int threads;
};

Blocks blocks_of(int64_t tiles) {
  const int team = team_threads();
  Blocks b;
  b.size = std::clamp<int64_t>((tiles + team - 1) / team, 1, kBlockTiles);
  b.count = (tiles + b.size - 1) / b.size;
  b.threads = int(std::min<int64_t>(b.count, team));
  return b;
}

}  // namespace

const Conv1dWinograd* conv1d_winograd_chunk_variant(int taps) {
  // Points up to 3, as F(2,7)'s: 2 to 4e-5 of the output scale in float32.
  static const Conv1dWinograd f4k4 = conv1d_winograd_from_points(4, 4, {0, 1, -1, 2, -2, 3});
  return taps >= 4 ? &f4k4 : nullptr;
}

std::vector<float> conv1d_winograd_chunk_weights(const Conv1dWinograd& v, const float* weight,
                                                 int C_out, int K, int Cg) {
  // Chunk c of output channel oc becomes row oc*chunks + c of an m-tap kernel.
  const int chunks = conv1d_winograd_chunks(v, K);
  std::vector<float> w(size_t(C_out) * chunks * v.m * Cg, 0.0f);
  for (int oc = 0; oc < C_out; ++oc)
    std::memcpy(&w[size_t(oc) * chunks * v.m * Cg], weight + size_t(oc) * K * Cg,
                size_t(K) * Cg * sizeof(float));
  return conv1d_winograd_weights(v, w.data(), C_out * chunks, Cg);
}

int64_t conv1d_winograd_chunks_scratch_floats(const Conv1dWinograd& v, int K, int L, int L_out,
                                              int C_in, int C_out, int padding, int dilation) {
  L_out = std::max(L_out, 0);
  // One block area per thread of the team that runs the call.
  return padded_rows(v, K, L, L_out, padding, dilation) * C_in +
         blocks_of(conv1d_winograd_tiles(v, L_out, dilation)).threads *
             block_floats(v, K, C_in, C_out, dilation);
}

void conv1d_winograd_chunks_fp32(const Conv1dWinograd& v, int K, const float* input,
                                 const float* const* packed, const float* bias, bool relu, int L,
                                 int L_out, int C_in, int C_out, int padding, int dilation,
                                 float* output, float* scratch) {
  if (L_out <= 0 || C_out <= 0) return;
  const int chunks = conv1d_winograd_chunks(v, K), T = v.T, P = (C_out + 7) / 8;
  const int64_t tiles = conv1d_winograd_tiles(v, L_out, dilation);
  const int64_t Lp = padded_rows(v, K, L, L_out, padding, dilation);
  const Blocks blocks = blocks_of(tiles);
  float* padded = scratch;
  conv1d_fill_padded(input, padded, L, C_in, padding, Lp);
  auto run_blocks = [&](int64_t b0, int64_t b1, int slot) {
    float* V = padded + Lp * C_in + slot * block_floats(v, K, C_in, C_out, dilation);
    for (int64_t b = b0; b < b1; ++b) {
      const int64_t i0 = b * blocks.size;
      const int n = int(std::min<int64_t>(blocks.size, tiles - i0));
      const int ni = int(input_tiles(v, K, n, dilation));
      float* M = V + int64_t(T) * ni * C_in;
      conv1d_winograd_input_avx2(v, padded, dilation, V, ni, C_in, i0);
      for (int t = 0; t < T; ++t)
        conv1d_direct_share_avx2(V + int64_t(t) * ni * C_in, packed[t], nullptr,
                                 M + int64_t(t) * n * C_out, false, n, C_in, C_out, chunks,
                                 dilation, 0, n, 0, P);
      conv1d_winograd_output_avx2(v, M, bias, relu, output, dilation, n, L_out, C_out, i0);
    }
  };
  // No more threads than blocks, so that thread t finds its block area t.
  if (blocks.threads > 1) {
#pragma omp parallel num_threads(blocks.threads)
    {
      const int t = omp_get_thread_num(), n = omp_get_num_threads();
      run_blocks(split_begin(blocks.count, t, n), split_begin(blocks.count, t + 1, n), t);
    }
  } else {
    run_blocks(0, blocks.count, 0);
  }
}

void conv1d_winograd_chunks_ref(const Conv1dWinograd& v, int K, const float* input, const float* U,
                                const float* bias, bool relu, int L, int L_out, int C_in, int C_out,
                                int padding, int dilation, float* output) {
  if (L_out <= 0 || C_out <= 0) return;
  const int chunks = conv1d_winograd_chunks(v, K), T = v.T;
  const int64_t tiles = conv1d_winograd_tiles(v, L_out, dilation);
  const int64_t ni = input_tiles(v, K, tiles, dilation);
  const int64_t Lp = padded_rows(v, K, L, L_out, padding, dilation);
  std::vector<float> padded(size_t(Lp) * C_in);
  conv1d_fill_padded(input, padded.data(), L, C_in, padding, Lp);
  std::vector<float> V(size_t(T) * ni * C_in), M(size_t(T) * tiles * C_out);
  conv1d_winograd_input_ref(v, padded.data(), ni, C_in, dilation, V.data());
  for (int t = 0; t < T; ++t)
    conv1d_direct_fp32_ref(&V[size_t(t) * ni * C_in], U + size_t(t) * C_out * chunks * C_in,
                           nullptr, &M[size_t(t) * tiles * C_out], false, int(tiles), C_in, C_out,
                           chunks, dilation);
  conv1d_winograd_output_ref(v, M.data(), bias, relu, tiles, L_out, C_out, dilation, output);
}

}  // namespace mi::cpu
