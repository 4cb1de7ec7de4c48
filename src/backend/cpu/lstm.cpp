#include "backend/cpu/lstm.h"

#include <omp.h>

#include <cmath>
#include <cstring>

#include "backend/cpu/activation.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

// A single direction is shared by a team from this hidden size on: below it a step is too
// short to pay for a barrier.
constexpr int kTeamHidden = 128;
// Two directions run concurrently from this many recurrent multiply-adds per direction on:
// below it the work does not pay for waking a second thread.
constexpr int64_t kConcurrentMacs = 2000000;

struct LstmScratch {};

int groups_of(int H) { return (lstm_padded_hidden(H) / 8 + 1) / 2; }

// Steps of one direction; with `threads` > 1 a team splits the channel groups.
void run_direction(const LstmDirection& d, int T, int H, int64_t gx_stride, int64_t out_stride,
                   int threads) {
  const int Hp = lstm_padded_hidden(H);
  const int G = groups_of(H);
  float* c = thread_scratch<LstmScratch, float>(int64_t(Hp) + H);
  float* zeros = c + Hp;
  std::memset(c, 0, (size_t(Hp) + H) * sizeof(float));
  auto steps = [&](int g0, int g1, bool team) {
    for (int s = 0; s < T; ++s) {
      const int64_t t = d.reverse ? T - 1 - s : s;
      const float* h_prev = s == 0 ? zeros : d.out + (d.reverse ? t + 1 : t - 1) * out_stride;
      lstm_step_avx2(d.gx + t * gx_stride, d.w_rec, h_prev, c, d.out + t * out_stride, H, g0, g1);
      if (team) {
#pragma omp barrier
      }
    }
  };
  if (threads <= 1) return steps(0, G, false);
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), n = omp_get_num_threads();
    steps(int(split_begin(G, t, n)), int(split_begin(G, t + 1, n)), n > 1);
  }
}

float sigmoid_ref(float x) { return 1.0f / (1.0f + exp_poly(-x)); }
float tanh_ref(float x) { return std::fma(2.0f, sigmoid_ref(2.0f * x), -1.0f); }

}  // namespace

int lstm_padded_hidden(int H) { return (H + 7) / 8 * 8; }

std::vector<float> lstm_block_order(const float* W, int H, int K) {
  const int Hp = lstm_padded_hidden(H);
  std::vector<float> out(size_t(4) * Hp * K, 0.0f);
  for (int j = 0; j < H; ++j)
    for (int q = 0; q < 4; ++q) {
      const size_t dst = size_t(j / 8) * 32 + size_t(q) * 8 + size_t(j % 8);
      std::memcpy(&out[dst * K], W + (size_t(q) * H + j) * K, size_t(K) * sizeof(float));
    }
  return out;
}

std::vector<float> lstm_combined_bias(const float* b_ih, const float* b_hh, int H) {
  if (!b_ih && !b_hh) return {};
  std::vector<float> b(size_t(4) * H);
  for (size_t n = 0; n < b.size(); ++n) b[n] = (b_ih ? b_ih[n] : 0.0f) + (b_hh ? b_hh[n] : 0.0f);
  return b;
}

size_t lstm_recurrent_floats(int H) { return size_t(4) * lstm_padded_hidden(H) * H; }

void pack_lstm_recurrent(const float* w_hh, int H, float* dst) {
  const int blocks = lstm_padded_hidden(H) / 8;
  std::memset(dst, 0, lstm_recurrent_floats(H) * sizeof(float));
  for (int b = 0; b < blocks; ++b) {
    const int g = b / 2;
    const int in_group = (g == blocks / 2) ? 1 : 2;  // only an odd last block is alone
    float* base = dst + size_t(g) * 64 * H;
    for (int k = 0; k < H; ++k)
      for (int q = 0; q < 4; ++q)
        for (int l = 0; l < 8; ++l) {
          const int j = 8 * b + l;
          if (j >= H) continue;
          const int p = 4 * (b % 2) + q;
          base[(size_t(k) * in_group * 4 + p) * 8 + l] = w_hh[(size_t(q) * H + j) * H + k];
        }
  }
}

void lstm_recurrence_fp32(const LstmDirection* dirs, int n_dirs, int T, int H, int64_t gx_stride,
                          int64_t out_stride) {
  if (T <= 0 || H <= 0) return;
  const int threads = team_threads();
  if (n_dirs == 2 && threads >= 2 && int64_t(T) * 4 * H * H >= kConcurrentMacs) {
#pragma omp parallel sections num_threads(2)
    {
#pragma omp section
      run_direction(dirs[0], T, H, gx_stride, out_stride, 1);
#pragma omp section
      run_direction(dirs[1], T, H, gx_stride, out_stride, 1);
    }
    return;
  }
  for (int i = 0; i < n_dirs; ++i)
    run_direction(dirs[i], T, H, gx_stride, out_stride,
                  n_dirs == 1 && H >= kTeamHidden ? threads : 1);
}

void lstm_direction_ref(const float* x, int T, int I, int H, const float* w_ih, const float* w_hh,
                        const float* b_ih, const float* b_hh, bool reverse, float* out,
                        int64_t out_stride) {
  const std::vector<float> bias = lstm_combined_bias(b_ih, b_hh, H);
  std::vector<float> gx(size_t(T) * 4 * H), h(H, 0.0f), c(H, 0.0f), gates(size_t(4) * H);
  gemm_fp32_ref(x, w_ih, bias.empty() ? nullptr : bias.data(), gx.data(), false, T, I, 4 * H);
  for (int s = 0; s < T; ++s) {
    const int64_t t = reverse ? T - 1 - s : s;
    for (int n = 0; n < 4 * H; ++n) {
      float acc = gx[size_t(t) * 4 * H + n];
      for (int k = 0; k < H; ++k) acc = std::fma(h[k], w_hh[size_t(n) * H + k], acc);
      gates[n] = acc;
    }
    for (int j = 0; j < H; ++j) {
      const float i = sigmoid_ref(gates[j]);
      const float f = sigmoid_ref(gates[H + j]);
      const float g = tanh_ref(gates[2 * H + j]);
      const float o = sigmoid_ref(gates[3 * H + j]);
      c[j] = std::fma(f, c[j], i * g);
      h[j] = o * tanh_ref(c[j]);
      out[t * out_stride + j] = h[j];
    }
  }
}

}  // namespace mi::cpu
