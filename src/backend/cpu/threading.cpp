#include "backend/cpu/threading.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace mi::cpu {

namespace {

thread_local int tl_share = -1;
thread_local int tl_shares = 0;

// A pool thread waits for the next call, and the caller for shares still running, by
// spinning for kBusy, which covers the serial work between two layers, and then sleeps: an
// idle engine frees its processor at once, and on a busy machine a thread that sleeps
// between layers is woken sooner than one that spins or yields is given a processor back.
constexpr auto kBusy = std::chrono::microseconds(50);

// Spins until done() or kBusy has passed, or at once when the thread runs on processor
// `busy_cpu`, whose other thread the spinning would keep waiting; returns done().
template <class F>
bool spin_until(F done, int busy_cpu) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; !done(); ++i)
    if (i % 64 == 0 &&
        (sched_getcpu() == busy_cpu || std::chrono::steady_clock::now() - start >= kBusy))
      return done();
  return true;
}

// Moves the calling thread off processor `cpu` when other processors are allowed, without
// binding it: its affinity is restored at once, and the scheduler leaves it where it landed.
void leave_cpu(int cpu) {
  cpu_set_t allowed;
  if (cpu < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0 || !CPU_ISSET(cpu, &allowed) ||
      CPU_COUNT(&allowed) < 2)
    return;
  cpu_set_t others = allowed;
  CPU_CLR(cpu, &others);
  if (sched_setaffinity(0, sizeof others, &others) == 0)
    sched_setaffinity(0, sizeof allowed, &allowed);
}

// The ticket's share fields are 16 bits wide.
constexpr int kMaxShares = 1024;

// One call at a time. `ticket` packs the call's generation (high 32 bits), its share count
// (bits 16-31) and the next unclaimed share (low 16 bits): a thread claims a share by a
// compare-and-swap, so a late thread can never claim a share of a later call.
class Pool {
 public:
  bool try_run(int T, ShareFn fn, void* ctx) {
    std::unique_lock<std::mutex> own(busy_, std::try_to_lock);
    if (!own.owns_lock()) return false;
    grow(T - 1);
    fn_ = fn;
    ctx_ = ctx;
    error_ = nullptr;
    done_.store(0, std::memory_order_relaxed);
    ++generation_;
    caller_cpu_.store(sched_getcpu(), std::memory_order_relaxed);
    ticket_.store(uint64_t(generation_) << 32 | uint64_t(T) << 16, std::memory_order_release);
    bool wake;
    {
      std::lock_guard<std::mutex> l(m_);
      wake = sleeping_ > 0;
    }
    if (wake) cv_.notify_all();
    claim_all(generation_, true);
    // Only shares already running are waited for.
    auto finished = [&] { return done_.load(std::memory_order_acquire) >= T; };
    if (!spin_until(finished, -1)) {
      std::unique_lock<std::mutex> l(m_);
      done_cv_.wait(l, finished);
    }
    if (error_) std::rethrow_exception(error_);
    return true;
  }

 private:
  void grow(int workers) {
    while (int(threads_) < workers) {
      std::thread(&Pool::work, this).detach();
      ++threads_;
    }
  }

  // Runs unclaimed shares of call `gen` until none is left.
  void claim_all(uint32_t gen, bool caller) {
    uint64_t t = ticket_.load(std::memory_order_acquire);
    for (;;) {
      const int next = int(t & 0xFFFF), T = int((t >> 16) & 0xFFFF);
      if (uint32_t(t >> 32) != gen || next >= T) return;
      if (!ticket_.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel)) continue;
      tl_share = next;
      tl_shares = T;
      try {
        fn_(ctx_, next, T);
      } catch (...) {
        std::lock_guard<std::mutex> l(m_);
        if (!error_) error_ = std::current_exception();
      }
      tl_share = -1;
      tl_shares = 0;
      if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == T && !caller) {
        std::lock_guard<std::mutex> l(m_);  // the caller may be between its check and its wait
        done_cv_.notify_all();
      }
      t = ticket_.load(std::memory_order_acquire);
    }
  }

  uint32_t generation_of_ticket() const {
    return uint32_t(ticket_.load(std::memory_order_acquire) >> 32);
  }

  void work() {
    uint32_t seen = generation_of_ticket();
    for (;;) {
      auto called = [&] { return generation_of_ticket() != seen; };
      // On the caller's processor this thread could only take shares while the caller
      // waits; the scheduler may keep it there when the other processors are busy.
      const int caller = caller_cpu_.load(std::memory_order_relaxed);
      if (sched_getcpu() == caller) leave_cpu(caller);
      if (!spin_until(called, caller)) {
        std::unique_lock<std::mutex> l(m_);
        ++sleeping_;
        cv_.wait(l, called);
        --sleeping_;
      }
      seen = generation_of_ticket();
      claim_all(seen, false);
    }
  }

  std::mutex busy_;
  std::mutex m_;
  std::condition_variable cv_;       // a call was published
  std::condition_variable done_cv_;  // the last share of a call finished
  int sleeping_ = 0;
  size_t threads_ = 0;
  uint32_t generation_ = 0;
  std::atomic<uint64_t> ticket_{0};
  std::atomic<int> done_{0};
  std::atomic<int> caller_cpu_{-1};  // processor of the latest caller
  ShareFn fn_ = nullptr;
  void* ctx_ = nullptr;
  std::exception_ptr error_;
};

// Lives for the whole process: its detached threads may still be waiting at exit.
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

}  // namespace

int current_share() { return tl_share; }

int team_index() { return tl_share >= 0 ? tl_share : omp_get_thread_num(); }

int team_size() { return tl_share >= 0 ? tl_shares : omp_get_num_threads(); }

void run_shares(int T, ShareFn fn, void* ctx) {
  T = std::min(T, kMaxShares);
  if (T > 1 && !in_parallel_region() && pool().try_run(T, fn, ctx)) return;
  for (int t = 0; t < T; ++t) {
    const int outer = tl_share, outer_n = tl_shares;
    tl_share = t;
    tl_shares = T;
    try {
      fn(ctx, t, T);
    } catch (...) {
      tl_share = outer;
      tl_shares = outer_n;
      throw;
    }
    tl_share = outer;
    tl_shares = outer_n;
  }
}

}  // namespace mi::cpu
