// Threading rules shared by the CPU kernels. A kernel opens an OpenMP region or runs
// shares (below) only from outside both (kernels called by a kernel's team run serially),
// and only when more than one thread is available. Work is split over rows, columns, heads
// or tiles, never over a reduction, so results do not depend on the thread count.
#pragma once

#include <omp.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mi::cpu {

// Index of the share the calling thread runs, or -1 outside run_shares.
int current_share();

inline bool in_parallel_region() { return omp_in_parallel() != 0 || current_share() >= 0; }

// True when a kernel called here must do all its work on the calling thread.
inline bool run_serial() { return omp_get_max_threads() < 2 || in_parallel_region(); }

// The team a kernel called here may open: 1 when it must run serially.
inline int team_threads() { return run_serial() ? 1 : omp_get_max_threads(); }

// Runs share(t, T) once for every t in [0, T) and returns when all have finished. The
// shares run on the calling thread and on up to T - 1 pool threads, each share claimed by
// whichever thread is free first: the caller never waits for a pool thread that has not
// started (on a busy machine it may run every share itself). Pool threads wait for the
// next call for a fraction of a millisecond before they sleep, so that the back-to-back
// layers of one forward pass hand over work without waking a sleeping thread. Shares must
// be independent; the first exception thrown by one is rethrown here after all have
// finished. Called inside a share, an OpenMP region or while another thread's call is
// running, every share runs on the calling thread.
using ShareFn = void (*)(void* ctx, int t, int T);
void run_shares(int T, ShareFn fn, void* ctx);

template <class F>
void run_shares(int T, F&& share) {
  run_shares(
      T, [](void* c, int t, int n) { (*static_cast<F*>(c))(t, n); }, static_cast<void*>(&share));
}

// The share index and count of a team member: the OpenMP thread, or the run_shares share.
int team_index();
int team_size();

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
