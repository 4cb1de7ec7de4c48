// Timing loops around the transformer kernels on token sequences (T rows of E floats), and
// the measured FMA peak that their throughput is compared with.
#include <omp.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/attention.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/seqgemm.h"
#include "fma_peak_avx2.h"

namespace py = pybind11;

namespace mi {

namespace {

// Best seconds per call of `repeats` timed calls after a warm-up call.
double best_of(const std::function<void()>& f, int repeats) {
  f();
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    best = std::min(best, dt.count());
  }
  return best;
}

class ThreadCount {
 public:
  explicit ThreadCount(int threads) : saved_(omp_get_max_threads()) {
    omp_set_num_threads(std::max(threads, 1));
  }
  ~ThreadCount() { omp_set_num_threads(saved_); }

 private:
  int saved_;
};

std::vector<float> filled(size_t n, float scale) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = scale * (float(int(i * 7919 % 201)) - 100.0f) / 100.0f;
  return v;
}

// Best seconds per call of one transformer kernel. Shapes: attention and layer norm take
// T x E with `heads` heads (N unused); the products take M = T, K = E, N.
double transformer_kernel(const std::string& op, int T, int E, int N, int heads, int threads,
                          int repeats) {
  ThreadCount tc(threads);
  const BackendOps& ops = active_backend_or_throw();
  std::function<void()> run;
  N = std::max(N, 1);
  const size_t TE = size_t(T) * E;
  std::vector<float> x = filled(TE, 1.0f), y(std::max(TE, size_t(T) * N) + 64);
  std::vector<float> work(3 * TE), b3 = filled(3 * size_t(E), 0.1f), bN = filled(N, 0.1f);
  std::vector<float> w3 = filled(3 * size_t(E) * E, 0.05f), we = filled(size_t(E) * E, 0.05f);
  std::vector<float> wn = filled(size_t(N) * E, 0.05f), gamma = filled(E, 1.0f);
  std::vector<int8_t> q8(std::max(TE, size_t(N) * E)), i3(3 * size_t(E) * E, 3),
      ie(size_t(E) * E, -2), in(size_t(N) * E, 5);
  std::vector<float> s3(3 * size_t(E), 0.01f), sn(N, 0.01f), sscr(3 * size_t(E) + N);
  std::vector<int64_t> z(3 * size_t(E) + N, 0);
  using PF = std::unique_ptr<float[], void (*)(void*)>;
  using PI = std::unique_ptr<uint8_t[], void (*)(void*)>;
  PF p3(cpu::pack_weights_fp32(w3.data(), 3 * E, E), cpu::free_packed_fp32);
  PF pe(cpu::pack_weights_fp32(we.data(), E, E), cpu::free_packed_fp32);
  PF pn(cpu::pack_weights_fp32(wn.data(), N, E), cpu::free_packed_fp32);
  PI q3(cpu::pack_weights_int8(i3.data(), 3 * E, E), cpu::free_packed_int8);
  PI qe(cpu::pack_weights_int8(ie.data(), E, E), cpu::free_packed_int8);
  PI qn(cpu::pack_weights_int8(in.data(), N, E), cpu::free_packed_int8);
  std::vector<float> qkv = filled(3 * TE, 1.0f);
  if (op == "attention_fp32") {
    run = [&] {
      ops.attention_fp32(x.data(), nullptr, b3.data(), nullptr, b3.data(), y.data(), T, E, heads,
                         work.data(), p3.get(), pe.get(), nullptr, false);
    };
  } else if (op == "attention_int8") {
    run = [&] {
      ops.attention_int8(x.data(), q3.get(), s3.data(), z.data(), b3.data(), qe.get(), s3.data(),
                         z.data(), b3.data(), y.data(), T, E, heads, work.data(), q8.data(),
                         sscr.data(), nullptr);
    };
  } else if (op == "attention_core" || op == "attention_core_expf") {
    const bool poly = op == "attention_core";
    run = [&] { cpu::attention_heads(qkv.data(), y.data(), T, E, heads, poly); };
  } else if (op == "layernorm_fp32") {
    run = [&] {
      ops.layernorm_fp32(x.data(), gamma.data(), gamma.data(), y.data(), T, E, 1e-6f, nullptr);
    };
  } else if (op == "seqgemm_fp32" || op == "seqgemm_fp32_gelu") {
    const bool gelu = op == "seqgemm_fp32_gelu";
    run = [&] {
      ops.seqgemm_fp32(x.data(), nullptr, bN.data(), y.data(), T, E, N, gelu, pn.get(), nullptr);
    };
  } else if (op == "seqgemm_int8") {
    run = [&] {
      ops.seqgemm_int8(x.data(), qn.get(), sn.data(), z.data(), bN.data(), q8.data(), sscr.data(),
                       y.data(), T, E, N, false, nullptr);
    };
  } else if (op == "gemv_int8w_fp32") {
    run = [&] {
      ops.gemv_int8w_fp32(x.data(), in.data(), sn.data(), bN.data(), y.data(), E, N, nullptr);
    };
  } else {
    throw std::invalid_argument("unknown transformer kernel " + op);
  }
  py::gil_scoped_release unlocked;
  return best_of(run, repeats);
}

// GFLOP/s of independent 8-lane fused multiply-adds on every thread of a team, best of
// `repeats` runs of about a millisecond: as short as the kernels timed beside it, so that
// on a shared machine both are equally likely to run undisturbed.
double fma_peak(int threads, int repeats) {
  ThreadCount tc(threads);
  constexpr long kIters = 200000;
  py::gil_scoped_release unlocked;
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
#pragma omp parallel num_threads(threads)
    bench::fma_loop_avx2(kIters);
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    best = std::min(best, dt.count());
  }
  return double(threads) * double(kIters) * bench::kFmaFlopsPerIter / best / 1e9;
}

}  // namespace

void bind_transformer_timers(py::module_& b) {
  b.def("transformer_kernel", &transformer_kernel, py::arg("op"), py::arg("T"), py::arg("E"),
        py::arg("N") = 0, py::arg("heads") = 1, py::arg("threads") = 1, py::arg("repeats") = 5);
  b.def("fma_peak", &fma_peak, py::arg("threads") = 1, py::arg("repeats") = 50);
}

}  // namespace mi
