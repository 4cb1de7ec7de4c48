// A loop of independent fused multiply-adds: the processor's fp32 FMA throughput.
#pragma once

namespace mi::bench {

// Floating-point operations per loop iteration: 10 independent 8-lane FMAs.
constexpr double kFmaFlopsPerIter = 10 * 8 * 2;

// Runs `iters` iterations; the result is kept live so the loop is not removed.
void fma_loop_avx2(long iters);

}  // namespace mi::bench
