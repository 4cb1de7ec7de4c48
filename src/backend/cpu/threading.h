// Threading rules shared by the CPU kernels. A kernel opens an OpenMP region only from
// outside one (kernels called by a kernel's team run serially), and only when more than
// one thread is available. Work is split over rows, columns, heads or tiles, never over a
// reduction, so results do not depend on the thread count.
#pragma once

#include <omp.h>

#include <cstdint>
#include <vector>

namespace mi::cpu {

inline bool in_parallel_region() { return omp_in_parallel() != 0; }

// True when a kernel called here must do all its work on the calling thread.
inline bool run_serial() { return omp_get_max_threads() < 2 || in_parallel_region(); }

// The team a kernel called here may open: 1 when it must run serially.
inline int team_threads() { return run_serial() ? 1 : omp_get_max_threads(); }

// Part [begin, end) of n items that thread t of T takes in a static split.
inline int64_t split_begin(int64_t n, int t, int T) { return n * t / T; }

// Grow-only scratch: the vector is enlarged to n elements when smaller and never shrunk.
template <class T>
T* grow(std::vector<T>& v, int64_t n) {
  if (int64_t(v.size()) < n) v.resize(size_t(n));
  return v.data();
}

// A grow-only buffer per thread and per Tag type, for kernels whose callers pass no scratch.
template <class Tag, class T>
T* thread_scratch(int64_t n) {
  thread_local std::vector<T> v;
  return grow(v, n);
}

}  // namespace mi::cpu
