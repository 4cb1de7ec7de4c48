#include "backend/cpu/conv1d_int8.h"

#include <omp.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "backend/cpu/conv1d.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

bool conv1d_int8_is_narrow(const int8_t* weight, int64_t count) {
  for (int64_t i = 0; i < count; ++i)
    if (weight[i] < -64 || weight[i] > 63) return false;
  return true;
}

int64_t conv1d_int8_narrow_bytes(int C_out, int K, int C_in) {
  const int64_t P = (int64_t(C_out) + 7) / 8, kg = (int64_t(C_in) + 3) / 4;
  return P * K * kg * 32 + P * K * 8 * 4;
}

int64_t conv1d_int8_narrow_rows_bytes(int64_t Lp, int C_in) {
  return Lp * ((int64_t(C_in) + 3) / 4 * 4);
}

uint8_t* pack_conv1d_int8_narrow(const int8_t* weight, int C_out, int K, int C_in) {
  const int64_t P = (int64_t(C_out) + 7) / 8, kg = (int64_t(C_in) + 3) / 4;
  uint8_t* block = new uint8_t[size_t(conv1d_int8_narrow_bytes(C_out, K, C_in))]();
  int32_t* offsets = reinterpret_cast<int32_t*>(block + P * K * kg * 32);
  for (int oc = 0; oc < C_out; ++oc) {
    const int64_t p = oc / 8, j = oc % 8;
    for (int k = 0; k < K; ++k) {
      const int8_t* w = weight + (int64_t(oc) * K + k) * C_in;
      uint8_t* dst = block + (p * K + k) * kg * 32 + 4 * j;
      int32_t sum = 0;
      for (int ic = 0; ic < C_in; ++ic) {
        dst[(ic / 4) * 32 + ic % 4] = uint8_t(w[ic]);
        sum += w[ic];
      }
      offsets[(p * K + k) * 8 + j] = 128 * sum;
    }
  }
  return block;
}

void conv1d_int8_narrow(const float* input, int L, int padding, const uint8_t* packed,
                        const float* w_scales, const float* bias, float* output, int L_out,
                        int C_in, int C_out, int K, int dilation, uint8_t* q, float* scales) {
  if (L_out <= 0 || C_out <= 0) return;
  const int64_t Lp = int64_t(L) + 2 * padding, astride = (int64_t(C_in) + 3) / 4 * 4;
  const int64_t macs = int64_t(L_out) * C_in * C_out * K;
  const int threads = run_serial() || macs < kConv1dDirectTeamThreshold ? 1 : omp_get_max_threads();
  auto body = [&](int t, int n) {
    for (int64_t r = split_begin(Lp, t, n); r < split_begin(Lp, t + 1, n); ++r) {
      uint8_t* qr = q + r * astride;
      if (r < padding || r >= int64_t(padding) + L) {
        std::memset(qr, 0x80, size_t(astride));
        scales[r] = 1e-8f;
        continue;
      }
      int8_t* s = reinterpret_cast<int8_t*>(qr);
      quantize_row_int8(input + (r - padding) * C_in, s, scales + r, C_in);
      offset_row_avx2(qr, C_in, int(astride));
    }
#pragma omp barrier
    conv1d_int8_narrow_share_avx2(q, scales, packed, w_scales, bias, output, C_in, C_out, K,
                                  dilation, int(split_begin(L_out, t, n)),
                                  int(split_begin(L_out, t + 1, n)));
  };
  if (threads > 1) {
#pragma omp parallel num_threads(threads)
    body(omp_get_thread_num(), omp_get_num_threads());
  } else {
    body(0, 1);
  }
}

void conv1d_int8_narrow_ref(const float* input, int L, int padding, const int8_t* weight,
                            const float* w_scales, const float* bias, float* output, int L_out,
                            int C_in, int C_out, int K, int dilation) {
  const int64_t Lp = int64_t(L) + 2 * padding;
  std::vector<int8_t> q(size_t(Lp * C_in), 0);
  std::vector<float> scales(size_t(Lp), 1e-8f);
  for (int r = 0; r < L; ++r)
    quantize_row_int8_ref(input + int64_t(r) * C_in, &q[size_t(r + padding) * C_in],
                          &scales[size_t(r + padding)], C_in);
  for (int t = 0; t < L_out; ++t)
    for (int oc = 0; oc < C_out; ++oc) {
      float y = 0.0f;
      for (int k = 0; k < K; ++k) {
        const int64_t r = t + int64_t(k) * dilation;
        int32_t acc = 0;
        for (int ic = 0; ic < C_in; ++ic)
          acc += int32_t(q[size_t(r * C_in + ic)]) * weight[(int64_t(oc) * K + k) * C_in + ic];
        const float sc = scales[size_t(r)] * w_scales[oc];
        if (k > 0)
          y = std::fma(sc, float(acc), y);
        else
          y = bias ? std::fma(sc, float(acc), bias[oc]) : sc * float(acc);
      }
      output[int64_t(t) * C_out + oc] = y;
    }
}

}  // namespace mi::cpu
