// Sums along one row of floats in a single fixed order, shared by the channel-sum and the
// layer-norm kernels so that their vector and scalar forms agree bit for bit.
//
// Order: four 8-lane accumulators take 32 values at a time, accumulator 0 then takes the
// remaining whole groups of 8; lane l of the result is (acc0 + acc1) + (acc2 + acc3); the
// lanes are folded pairwise (l + l+4, then l + l+2, then 0 + 1); the last n % 8 values are
// added one by one in index order.
#pragma once

namespace mi::cpu {

// Sum of x[0..n).
float row_sum_ref(const float* x, int n);
float row_sum_avx2(const float* x, int n);

// Sum of (x[i] - mean)^2, each square accumulated with one fused multiply-add.
float row_sq_dev_ref(const float* x, int n, float mean);
float row_sq_dev_avx2(const float* x, int n, float mean);

}  // namespace mi::cpu
