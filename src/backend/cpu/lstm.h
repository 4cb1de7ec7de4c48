// The recurrence of a one-layer LSTM, run on input projections computed beforehand for all
// steps by one GEMM.
//
// Gate rows are kept in block order. Channels go in blocks of 8, the last one padded with
// zero rows up to Hp = 8 * ceil(H / 8) channels; block b holds 32 rows: the input, forget,
// cell and output gates (i, f, g, o) of channels 8b .. 8b+7, in that order. The input
// projection writes its columns in this order, so a step reads its gates contiguously.
//
// A gate's pre-activation is the input projection (the ascending-k product of the input row
// with W_ih, plus b_ih + b_hh), then h_prev[k] * W_hh[n][k] added with one fused
// multiply-add per k in ascending k. sigma(x) = 1 / (1 + exp_poly(-x)) with an exact
// division, tanh(x) = 2 sigma(2x) - 1, c = fma(f, c, i * g), h = o * tanh(c). Each value
// is computed the same way whatever the thread count or the number of directions run at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mi::cpu {

int lstm_padded_hidden(int H);

// The 4H rows of W (gate order i, f, g, o; K floats each) in block order: 4 * Hp rows, the
// padding rows zero.
std::vector<float> lstm_block_order(const float* W, int H, int K);

// b_ih + b_hh (a missing one counts as zero); empty when both are missing.
std::vector<float> lstm_combined_bias(const float* b_ih, const float* b_hh, int H);

// Floats of the recurrent weights in the step layout.
size_t lstm_recurrent_floats(int H);
// Step layout of W_hh (4H x H, gate order i, f, g, o): the blocks go in pairs (groups of
// 16 channels; the last group holds one block when their number is odd). Group g starts at
// float g * 64 * H and is stored k-major: for each k in 0..H-1 its 8 (or 4) panels of 8
// floats, panel p = 4 * (block within the group) + gate, float l of a panel being
// W_hh[gate * H + channel][k] for channel 8 * block + l, 0 for padding channels. A step
// therefore streams the whole matrix once, front to back.
void pack_lstm_recurrent(const float* w_hh, int H, float* dst);

struct LstmDirection {
  const float* gx;     // T rows of 4 * Hp input-projection gates in block order
  const float* w_rec;  // W_hh in the step layout
  float* out;          // h of step t goes to out + t * out_stride (H floats)
  bool reverse;        // steps T-1 down to 0
};

// Runs one or two directions from zero state. Two directions run concurrently when two
// threads are available; one direction with a large hidden size is shared by a team, split
// over channel groups with one barrier per step.
void lstm_recurrence_fp32(const LstmDirection* dirs, int n_dirs, int T, int H, int64_t gx_stride,
                          int64_t out_stride);

// Scalar reference of one whole direction from the original weights (PyTorch layout: gate
// rows i, f, g, o; biases may be null): input projection, then the recurrence.
void lstm_direction_ref(const float* x, int T, int I, int H, const float* w_ih, const float* w_hh,
                        const float* b_ih, const float* b_hh, bool reverse, float* out,
                        int64_t out_stride);

// One step for channel groups [g0, g1): gates from gx_row and h_prev, cell state c (Hp
// floats) updated, h (H floats) written.
void lstm_step_avx2(const float* gx_row, const float* w_rec, const float* h_prev, float* c,
                    float* h, int H, int g0, int g1);

}  // namespace mi::cpu
