#include "backend/cpu/sequence_ops.h"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "backend/cpu/row_sum.h"
#include "backend/cpu/threading.h"

namespace mi::cpu {

namespace {

// Copies below this many bytes are not shared by a team.
constexpr int64_t kTeamBytes = int64_t(1) << 18;

// Runs body(r0, r1) over [0, rows) split statically among the threads that moving `bytes`
// is worth.
template <class Body>
void over_rows(int64_t rows, int64_t bytes, Body body) {
  const int threads = bytes >= kTeamBytes ? int(std::min<int64_t>(team_threads(), rows)) : 1;
  if (threads <= 1) return body(int64_t(0), rows);
#pragma omp parallel num_threads(threads)
  {
    const int t = omp_get_thread_num(), T = omp_get_num_threads();
    body(split_begin(rows, t, T), split_begin(rows, t + 1, T));
  }
}

}  // namespace

void concat1d_fp32(const float* a, const float* b, float* out, int rows, int C1, int C2,
                   bool broadcast, void*) {
  const size_t width = size_t(C1) + size_t(C2);
  over_rows(rows, int64_t(rows) * int64_t(width) * 8, [&](int64_t r0, int64_t r1) {
    for (int64_t r = r0; r < r1; ++r) {
      float* dst = out + size_t(r) * width;
      std::memcpy(dst, a + size_t(r) * size_t(C1), size_t(C1) * sizeof(float));
      if (b) {
        const float* row = broadcast ? b : b + size_t(r) * size_t(C2);
        std::memcpy(dst + C1, row, size_t(C2) * sizeof(float));
      } else {
        // Without a second operand the appended channels are defined as zeros rather than
        // whatever the output buffer held.
        std::memset(dst + C1, 0, size_t(C2) * sizeof(float));
      }
    }
  });
}

void slice_channels_fp32(const float* in, float* out, int rows, int C, int start, int n, void*) {
  over_rows(rows, int64_t(rows) * n * 8, [&](int64_t r0, int64_t r1) {
    for (int64_t r = r0; r < r1; ++r)
      std::memcpy(out + size_t(r) * size_t(n), in + size_t(r) * size_t(C) + start,
                  size_t(n) * sizeof(float));
  });
}

void upsample_nearest1d_fp32(const float* in, float* out, int L, int C, int s, void*) {
  if (L <= 0 || C <= 0 || s <= 0) return;
  over_rows(L, int64_t(L) * C * (int64_t(s) + 1) * 4, [&](int64_t r0, int64_t r1) {
    for (int64_t t = r0; t < r1; ++t) {
      const float* src = in + size_t(t) * C;
      float* dst = out + size_t(t) * size_t(s) * C;
      if (C == 1) {
        std::fill_n(dst, s, *src);
        continue;
      }
      for (int j = 0; j < s; ++j) std::memcpy(dst + size_t(j) * C, src, size_t(C) * sizeof(float));
    }
  });
}

void sum_channels_fp32(const float* in, float* out, int rows, int C, void*) {
  over_rows(rows, int64_t(rows) * C * 4, [&](int64_t r0, int64_t r1) {
    for (int64_t r = r0; r < r1; ++r) out[r] = row_sum_avx2(in + r * C, C);
  });
}

void sum_channels_fp32_ref(const float* in, float* out, int rows, int C, void*) {
  for (int64_t r = 0; r < rows; ++r) out[r] = row_sum_ref(in + r * C, C);
}

void install_sequence_ops(BackendOps& ops) {
  ops.concat1d_fp32 = concat1d_fp32;
  ops.slice_channels_fp32 = slice_channels_fp32;
  ops.upsample_nearest1d_fp32 = upsample_nearest1d_fp32;
  ops.sum_channels_fp32 = sum_channels_fp32;
}

}  // namespace mi::cpu
