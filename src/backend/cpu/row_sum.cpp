#include "backend/cpu/row_sum.h"

#include <cmath>

namespace mi::cpu {

namespace {

// The order of row_sum.h with `term(v, acc)` folding one value into an accumulator.
template <class Term>
float ordered_sum(const float* x, int n, Term term) {
  float acc[4][8] = {};
  int i = 0;
  for (; i + 32 <= n; i += 32)
    for (int q = 0; q < 4; ++q)
      for (int l = 0; l < 8; ++l) acc[q][l] = term(x[i + 8 * q + l], acc[q][l]);
  for (; i + 8 <= n; i += 8)
    for (int l = 0; l < 8; ++l) acc[0][l] = term(x[i + l], acc[0][l]);
  float s[8];
  for (int l = 0; l < 8; ++l) s[l] = (acc[0][l] + acc[1][l]) + (acc[2][l] + acc[3][l]);
  for (int l = 0; l < 4; ++l) s[l] = s[l] + s[l + 4];
  for (int l = 0; l < 2; ++l) s[l] = s[l] + s[l + 2];
  float v = s[0] + s[1];
  for (; i < n; ++i) v = term(x[i], v);
  return v;
}

}  // namespace

float row_sum_ref(const float* x, int n) {
  return ordered_sum(x, n, [](float v, float acc) { return acc + v; });
}

float row_sq_dev_ref(const float* x, int n, float mean) {
  return ordered_sum(x, n, [mean](float v, float acc) {
    const float d = v - mean;
    return std::fma(d, d, acc);
  });
}

}  // namespace mi::cpu
