#include "backend/cpu/sequence_ops.h"

#include <cstring>

namespace mi::cpu {

void concat1d_fp32(const float* a, const float* b, float* out, int rows, int C1, int C2,
                   bool broadcast, void*) {
  const size_t width = size_t(C1) + size_t(C2);
  for (int r = 0; r < rows; ++r) {
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
}

void slice_channels_fp32(const float* in, float* out, int rows, int C, int start, int n, void*) {
  for (int r = 0; r < rows; ++r)
    std::memcpy(out + size_t(r) * size_t(n), in + size_t(r) * size_t(C) + start,
                size_t(n) * sizeof(float));
}

void install_sequence_ops(BackendOps& ops) {
  ops.concat1d_fp32 = concat1d_fp32;
  ops.slice_channels_fp32 = slice_channels_fp32;
}

}  // namespace mi::cpu
