#include "backend/cpu/winograd.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "backend/cpu/conv2d.h"
#include "backend/cpu/conv_requant.h"
#include "backend/cpu/cpu_backend.h"
#include "backend/cpu/threading.h"
#include "backend/cpu/winograd_tile.h"

namespace mi::cpu {

namespace {

struct WinogradFp32Scratch;

// rows(ty0, ty1) over the team's shares of th tile rows.
template <class F>
void over_tile_rows(int th, F rows) {
  run_shares(team_threads(), [&](int t, int n) {
    rows(int(split_begin(th, t, n)), int(split_begin(th, t + 1, n)));
  });
}

// The 16 products of the Winograd positions, each run whole by one share.
template <class F>
void over_positions(F product) {
  run_shares(team_threads(), [&](int t, int n) {
    for (int k = int(split_begin(16, t, n)); k < split_begin(16, t + 1, n); ++k) product(k);
  });
}

template <class T>
void gather_patch(const T* in, int C, int H, int W, int t, int tw, int c, T pad, T* d) {
  const int y0 = 2 * (t / tw) - 1, x0 = 2 * (t % tw) - 1;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      const int y = y0 + i, x = x0 + j;
      d[4 * i + j] = (y < 0 || y >= H || x < 0 || x >= W) ? pad : in[(int64_t(y) * W + x) * C + c];
    }
}

}  // namespace

void winograd_kernel_transform(const float* g, float* U) {
  float Gg[12];
  for (int j = 0; j < 3; ++j) {
    const float a = g[j], b = g[3 + j], c = g[6 + j];
    Gg[j] = a;
    Gg[3 + j] = std::fma(0.5f, c, std::fma(0.5f, b, 0.5f * a));
    Gg[6 + j] = std::fma(0.5f, c, std::fma(-0.5f, b, 0.5f * a));
    Gg[9 + j] = c;
  }
  for (int r = 0; r < 4; ++r) {
    const float a = Gg[3 * r], b = Gg[3 * r + 1], c = Gg[3 * r + 2];
    U[4 * r + 0] = a;
    U[4 * r + 1] = std::fma(0.5f, c, std::fma(0.5f, b, 0.5f * a));
    U[4 * r + 2] = std::fma(0.5f, c, std::fma(-0.5f, b, 0.5f * a));
    U[4 * r + 3] = c;
  }
}

void winograd_input_fp32_ref(const float* in, int C, int H, int W, int t0, int t1, int c0, int c1,
                             float* V) {
  const int64_t T = winograd_tiles(H, W);
  const int tw = (W + 1) / 2;
  float d[16], v[16];
  for (int t = t0; t < t1; ++t)
    for (int c = c0; c < c1; ++c) {
      gather_patch(in, C, H, W, t, tw, c, 0.0f, d);
      input_tile(d, v);
      for (int k = 0; k < 16; ++k) V[(k * T + t) * C + c] = v[k];
    }
}

void winograd_input_int8_ref(const int8_t* in, int8_t zp, int C, int H, int W, int t0, int t1,
                             int c0, int c1, int8_t* V) {
  const int64_t T = winograd_tiles(H, W);
  const int tw = (W + 1) / 2;
  int8_t raw[16];
  int16_t d[16], v[16];
  for (int t = t0; t < t1; ++t)
    for (int c = c0; c < c1; ++c) {
      gather_patch(in, C, H, W, t, tw, c, zp, raw);
      for (int k = 0; k < 16; ++k) d[k] = raw[k];
      input_tile(d, v);
      for (int k = 0; k < 16; ++k) {
        const int q = (v[k] + 2) >> 2;
        V[(k * T + t) * C + c] = int8_t(std::clamp(q, -128, 127));
      }
    }
}

void winograd_output_fp32_ref(const float* Mw, const float* bias, bool relu, float* out, int C_out,
                              int H, int W, int t0, int t1, int c0, int c1) {
  const int64_t T = winograd_tiles(H, W);
  const int tw = (W + 1) / 2;
  float m[16], y[4];
  for (int t = t0; t < t1; ++t) {
    const int oy = 2 * (t / tw), ox = 2 * (t % tw);
    for (int o = c0; o < c1; ++o) {
      for (int k = 0; k < 16; ++k) m[k] = Mw[(k * T + t) * C_out + o];
      output_tile(m, y);
      const float b = bias ? bias[o] : 0.0f;
      for (int i = 0; i < 4; ++i) {
        const int yy = oy + i / 2, xx = ox + i % 2;
        if (yy >= H || xx >= W) continue;
        float v = y[i] + b;
        if (relu) v = v > 0.0f ? v : 0.0f;
        out[(int64_t(yy) * W + xx) * C_out + o] = v;
      }
    }
  }
}

namespace {

int32_t rescale_position(int32_t p, int32_t mult, int32_t shift) {
  const int32_t r = int32_t((int64_t(p) * mult + (int64_t(1) << 30)) >> 31);
  if (shift < 0) return r >> std::min(-shift, 31);
  if (shift == 0) return r;
  if (shift < 32) return int32_t(uint32_t(r) << shift);
  return 0;
}

// The integer output transform wraps modulo 2^32, as 32-bit vector lanes do.
struct Wrap {
  uint32_t v;
  Wrap operator+(Wrap o) const { return {v + o.v}; }
  Wrap operator-(Wrap o) const { return {v - o.v}; }
};

int8_t requant_channel(int32_t y, const WinogradInt8Out& q, int o) {
  const int32_t x = int32_t(uint32_t(y) + uint32_t(int32_t(q.bias[o])));
  const int64_t t = requant_two_step(x, q.multiplier[o], q.shift[o]);
  return saturate_int8(t + q.out_zp);
}

}  // namespace

void winograd_output_int8_ref(const int32_t* P, const WinogradInt8Out& q, int8_t* out, int C_out,
                              int H, int W, int t0, int t1, int c0, int c1) {
  const int64_t T = winograd_tiles(H, W);
  const int tw = (W + 1) / 2;
  Wrap m[16], y[4];
  for (int t = t0; t < t1; ++t) {
    const int oy = 2 * (t / tw), ox = 2 * (t % tw);
    for (int o = c0; o < c1; ++o) {
      for (int k = 0; k < 16; ++k)
        m[k].v = uint32_t(
            rescale_position(P[(k * T + t) * C_out + o], q.pos_multiplier[k], q.pos_shift[k]));
      output_tile(m, y);
      for (int i = 0; i < 4; ++i) {
        const int yy = oy + i / 2, xx = ox + i % 2;
        if (yy >= H || xx >= W) continue;
        out[(int64_t(yy) * W + xx) * C_out + o] = requant_channel(int32_t(y[i].v), q, o);
      }
    }
  }
}

void conv_winograd_fp32(const float* input, const void* const packed[16], const float* bias,
                        float* output, int C, int H, int W, int C_out, bool relu, float* scratch,
                        void* ctx, const float* weight) {
  const BackendOps& ops = cpu_backend();
  require_cpu_op(ops.gemm_packed_fp32 != nullptr, "gemm_packed_fp32");
  if (H <= 0 || W <= 0) return;
  const int64_t T = winograd_tiles(H, W);
  const int th = (H + 1) / 2, tw = (W + 1) / 2;
  if (!scratch) scratch = thread_scratch<WinogradFp32Scratch, float>(16 * T * (C + C_out));
  float* V = scratch;
  float* Mw = scratch + 16 * T * C;
  auto product = [&](int k) {
    ops.gemm_packed_fp32(V + k * T * C, static_cast<const float*>(packed[k]), nullptr,
                         Mw + k * T * C_out, false, int(T), C, C_out, false, nullptr);
  };
  if (run_serial()) {
    winograd_input_fp32_avx2(input, C, H, W, 0, int(T), V);
    for (int k = 0; k < 16; ++k) product(k);
    winograd_output_fp32_avx2(Mw, bias, relu, output, C_out, H, W, 0, int(T));
    return;
  }
  over_tile_rows(th, [&](int ty0, int ty1) {
    winograd_input_fp32_avx2(input, C, H, W, ty0 * tw, ty1 * tw, V);
  });
  over_positions(product);
  over_tile_rows(th, [&](int ty0, int ty1) {
    winograd_output_fp32_avx2(Mw, bias, relu, output, C_out, H, W, ty0 * tw, ty1 * tw);
  });
}

void conv_winograd_int8(const int8_t* input, const void* const packed[16], const float* scales,
                        float input_scale, const int64_t* bias, const int32_t* multiplier,
                        const int32_t* shift, const float* req_scale, int8_t in_zp, int8_t out_zp,
                        int8_t* output, int C, int H, int W, int C_out, int8_t* scratch0,
                        int32_t* scratch1, const int32_t* const row_sums[16], void* ctx) {
  const BackendOps& ops = cpu_backend();
  require_cpu_op(ops.gemm_int8_int32 != nullptr, "gemm_int8_int32");
  if (H <= 0 || W <= 0) return;
  const int64_t T = winograd_tiles(H, W);
  const int th = (H + 1) / 2, tw = (W + 1) / 2;
  std::vector<int8_t> local_v;
  std::vector<int32_t> local_p;
  int8_t* V = scratch0 ? scratch0 : grow(local_v, 16 * T * C);
  int32_t* P = scratch1 ? scratch1 : grow(local_p, 16 * T * C_out);
  WinogradInt8Out q{};
  for (int k = 0; k < 16; ++k) {
    const QuantMultiplier qm = quantize_multiplier(double(scales[k] / input_scale));
    q.pos_multiplier[k] = qm.multiplier;
    q.pos_shift[k] = qm.shift;
  }
  q.bias = bias;
  q.multiplier = multiplier;
  q.shift = shift;
  q.out_zp = out_zp;
  auto product = [&](int k) {
    ops.gemm_int8_int32(V + k * T * C, static_cast<const uint8_t*>(packed[k]), P + k * T * C_out,
                        int(T), C, C_out, row_sums ? row_sums[k] : nullptr, ctx);
  };
  if (run_serial()) {
    winograd_input_int8_avx2(input, in_zp, C, H, W, 0, int(T), V);
    for (int k = 0; k < 16; ++k) product(k);
    winograd_output_int8_avx2(P, q, output, C_out, H, W, 0, int(T));
    return;
  }
  over_tile_rows(th, [&](int ty0, int ty1) {
    winograd_input_int8_avx2(input, in_zp, C, H, W, ty0 * tw, ty1 * tw, V);
  });
  over_positions(product);
  over_tile_rows(th, [&](int ty0, int ty1) {
    winograd_output_int8_avx2(P, q, output, C_out, H, W, ty0 * tw, ty1 * tw);
  });
}

}  // namespace mi::cpu
