#include "backend/cpu/depthwise.h"

#include <cmath>

#include "backend/cpu/conv_requant.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

// Splits output rows statically over the team, or runs them all on the calling thread.
template <class F>
void over_rows(int Ho, F rows) {
  if (run_serial() || Ho < 2) {
    rows(0, Ho);
    return;
  }
  run_shares(team_threads(), [&](int t, int n) {
    rows(int(split_begin(Ho, t, n)), int(split_begin(Ho, t + 1, n)));
  });
}

}  // namespace

void depthwise_fp32_ref(const DepthwiseFp32Args& a, int oy0, int oy1, int c0, int c1) {
  const int Wo = depthwise_out_size(a.W, a.pad_w, a.dil_w, a.kW, a.stride_w);
  for (int oy = oy0; oy < oy1; ++oy)
    for (int ox = 0; ox < Wo; ++ox)
      for (int c = c0; c < c1; ++c) {
        float acc = 0.0f;
        for (int ky = 0; ky < a.kH; ++ky) {
          const int iy = oy * a.stride_h + ky * a.dil_h - a.pad_h;
          if (iy < 0 || iy >= a.H) continue;
          for (int kx = 0; kx < a.kW; ++kx) {
            const int ix = ox * a.stride_w + kx * a.dil_w - a.pad_w;
            if (ix < 0 || ix >= a.W) continue;
            acc = std::fma(a.input[(int64_t(iy) * a.W + ix) * a.C + c],
                           a.weight[int64_t(ky * a.kW + kx) * a.C + c], acc);
          }
        }
        float v = acc + (a.bias ? a.bias[c] : 0.0f);
        if (a.relu) v = v > 0.0f ? v : 0.0f;
        a.output[(int64_t(oy) * Wo + ox) * a.C + c] = v;
      }
}

void depthwise_fp32(const DepthwiseFp32Args& a) {
  const int Ho = depthwise_out_size(a.H, a.pad_h, a.dil_h, a.kH, a.stride_h);
  const int Wo = depthwise_out_size(a.W, a.pad_w, a.dil_w, a.kW, a.stride_w);
  if (Ho <= 0 || Wo <= 0) return;
  over_rows(Ho, [&](int oy0, int oy1) { depthwise_fp32_avx2(a, oy0, oy1); });
}

void depthwise3x3_int8_ref(const Depthwise3x3Int8Args& a, int oy0, int oy1, int c0, int c1) {
  const int Wo = depthwise_out_size(a.W, 1, 1, 3, a.stride);
  for (int oy = oy0; oy < oy1; ++oy)
    for (int ox = 0; ox < Wo; ++ox)
      for (int c = c0; c < c1; ++c) {
        int32_t acc = a.bias[c];
        for (int t = 0; t < 9; ++t) {
          const int iy = oy * a.stride - 1 + t / 3, ix = ox * a.stride - 1 + t % 3;
          const int x = (iy < 0 || iy >= a.H || ix < 0 || ix >= a.W)
                            ? a.in_zp
                            : a.input[(int64_t(iy) * a.W + ix) * a.C + c];
          acc = int32_t(uint32_t(acc) + uint32_t(a.weight[int64_t(t) * a.C + c] * x));
        }
        a.output[(int64_t(oy) * Wo + ox) * a.C + c] =
            saturate_int8(a.out_zp + requant_one_step(acc, a.multiplier[c], a.shift[c]));
      }
}

void depthwise3x3_int8(const Depthwise3x3Int8Args& a) {
  const int Ho = depthwise_out_size(a.H, 1, 1, 3, a.stride);
  if (Ho <= 0 || depthwise_out_size(a.W, 1, 1, 3, a.stride) <= 0) return;
  over_rows(Ho, [&](int oy0, int oy1) { depthwise3x3_int8_avx2(a, oy0, oy1); });
}

}  // namespace mi::cpu
