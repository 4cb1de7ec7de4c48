// The per-tile Winograd transforms, written once for scalars and for vector-extension lanes
// so that every variant evaluates the same expressions in the same order.
#pragma once

namespace mi::cpu {

// V = B^T d B for one 4x4 patch d (row-major); the same expression order in every variant.
template <class T>
void input_tile(const T* d, T* V) {
  T t[16];
  for (int j = 0; j < 4; ++j) {
    t[0 + j] = d[0 + j] - d[8 + j];
    t[4 + j] = d[4 + j] + d[8 + j];
    t[8 + j] = d[8 + j] - d[4 + j];
    t[12 + j] = d[4 + j] - d[12 + j];
  }
  for (int i = 0; i < 4; ++i) {
    V[4 * i + 0] = t[4 * i + 0] - t[4 * i + 2];
    V[4 * i + 1] = t[4 * i + 1] + t[4 * i + 2];
    V[4 * i + 2] = t[4 * i + 2] - t[4 * i + 1];
    V[4 * i + 3] = t[4 * i + 1] - t[4 * i + 3];
  }
}

// y(0,0), y(0,1), y(1,0), y(1,1) of one tile from the 16 products m.
template <class T>
void output_tile(const T* m, T* y) {
  const T r0 = (m[0] + m[1]) + m[2], r1 = (m[4] + m[5]) + m[6];
  const T r2 = (m[8] + m[9]) + m[10], r3 = (m[12] + m[13]) + m[14];
  const T s0 = (m[1] - m[2]) - m[3], s1 = (m[5] - m[6]) - m[7];
  const T s2 = (m[9] - m[10]) - m[11], s3 = (m[13] - m[14]) - m[15];
  y[0] = (r0 + r1) + r2;
  y[1] = (s0 + s1) + s2;
  y[2] = (r1 - r2) - r3;
  y[3] = (s1 - s2) - s3;
}

}  // namespace mi::cpu
