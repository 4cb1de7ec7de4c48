// The extension module `model_inference_bench`: C++ timing loops around single kernels, for
// the kernel benchmarks, where a Python loop would time its own overhead. It links its own
// copy of the engine.
#include <omp.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/cpu_features.h"
#include "backend/cpu/pooling.h"
#include "python/text.h"

namespace py = pybind11;

namespace mi {

namespace {

// Best seconds per call over `reps` timed runs of `iters` calls, after one warm-up call.
double best_seconds(const std::function<void()>& f, int reps, int iters = 1) {
  f();
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < iters; ++i) f();
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    best = std::min(best, dt.count() / iters);
  }
  return best;
}

// Runs with `threads` OpenMP threads available and restores the previous count.
class ThreadCount {
 public:
  explicit ThreadCount(int threads) : saved_(omp_get_max_threads()) {
    if (threads > 0) omp_set_num_threads(threads);
  }
  ~ThreadCount() { omp_set_num_threads(saved_); }

 private:
  int saved_;
};

template <class T>
using Packed = std::unique_ptr<T, void (*)(void*)>;

double gemm_fp32(int M, int K, int N, int threads, int reps) {
  std::vector<float> A(size_t(M) * K, 0.5f), W(size_t(N) * K, 0.25f), bias(size_t(N), 1.0f),
      C(size_t(M) * N);
  const BackendOps& ops = active_backend_or_throw();
  Packed<float> block(ops.pack_weights_fp32(W.data(), N, K), ops.free_packed_fp32);
  py::gil_scoped_release unlocked;
  ThreadCount tc(threads);
  return best_seconds(
      [&] {
        ops.gemm_packed_fp32(A.data(), block.get(), bias.data(), C.data(), false, M, K, N, false,
                             nullptr);
      },
      reps);
}

// The requantising int8-output product that convolutions run.
double gemm_int8(int M, int K, int N, int threads, int reps) {
  std::vector<int8_t> A(size_t(M) * K, 3), W(size_t(N) * K, -2);
  std::vector<int64_t> bias(size_t(N), 5);
  std::vector<int32_t> mult(size_t(N), 1 << 30), shift(size_t(N), -8);
  std::vector<int8_t> C(size_t(M) * N);
  const BackendOps& ops = active_backend_or_throw();
  Packed<uint8_t> block(ops.pack_weights_int8(W.data(), N, K), ops.free_packed_int8);
  py::gil_scoped_release unlocked;
  ThreadCount tc(threads);
  return best_seconds(
      [&] {
        ops.gemm_int8(A.data(), block.get(), bias.data(), mult.data(), shift.data(), nullptr, 0,
                      C.data(), false, M, K, N, false, false, nullptr, nullptr);
      },
      reps);
}

double copy(size_t bytes, int reps) {
  std::vector<uint8_t> src(bytes, 1), dst(bytes);
  py::gil_scoped_release unlocked;
  return best_seconds([&] { std::memcpy(dst.data(), src.data(), bytes); }, reps);
}

// Seconds per call of one kernel on an H x W x C tensor and the bytes it reads and writes.
// "copy" is a plain memcpy of the fp32 tensor split over the OpenMP threads: the bandwidth
// yardstick.
py::tuple kernel(const std::string& op, int H, int W, int C, int iters, int repeats) {
  const BackendOps& ops = active_backend_or_throw();
  const size_t n = size_t(H) * W * C;
  std::vector<float> a(n), b(n), out(n * 4);
  std::vector<int8_t> qa(n), qb(n), qout(n);
  for (size_t i = 0; i < n; ++i) {
    a[i] = float(i % 97) * 0.01f - 0.4f;
    b[i] = float(i % 89) * 0.02f - 0.8f;
    qa[i] = int8_t(i % 251);
    qb[i] = int8_t(i % 241);
  }
  const int Ho = int(cpu::pooled_extent(H, 3, 2, 1)), Wo = int(cpu::pooled_extent(W, 3, 2, 1));
  double bytes = 0;
  std::function<void()> run;
  if (op == "copy") {
    bytes = 8.0 * n;
    run = [&] {
#pragma omp parallel
      {
        const size_t t = size_t(omp_get_thread_num()), nt = size_t(omp_get_num_threads());
        const size_t lo = n * t / nt, hi = n * (t + 1) / nt;
        std::memcpy(out.data() + lo, a.data() + lo, (hi - lo) * sizeof(float));
      }
    };
  } else if (op == "add_fp32") {
    bytes = 12.0 * n;
    run = [&] { ops.add_fp32(a.data(), b.data(), out.data(), int(n), true, nullptr); };
  } else if (op == "add_int8") {
    bytes = 3.0 * n;
    run = [&] {
      ops.add_int8(qa.data(), qb.data(), 0.04f, 1, 0.03f, -2, 0.05f, 3, qout.data(), int(n),
                   nullptr);
    };
  } else if (op == "scale_fp32") {
    bytes = 8.0 * n;
    run = [&] { ops.scale_fp32(a.data(), out.data(), n, 0.5f, nullptr); };
  } else if (op == "maxpool_fp32") {
    bytes = 4.0 * n + 4.0 * Ho * Wo * C;
    run = [&] { ops.maxpool_fp32(a.data(), out.data(), C, H, W, 3, 3, 2, 2, 1, 1, nullptr); };
  } else if (op == "maxpool_int8") {
    bytes = 1.0 * n + 1.0 * Ho * Wo * C;
    run = [&] { ops.maxpool_int8(qa.data(), qout.data(), C, H, W, 3, 3, 2, 2, 1, 1, nullptr); };
  } else if (op == "avgpool_fp32") {
    bytes = 4.0 * n;
    run = [&] { ops.avgpool_fp32(a.data(), out.data(), C, H, W, nullptr); };
  } else if (op == "avgpool_int8") {
    bytes = 1.0 * n;
    run = [&] { ops.avgpool_int8(qa.data(), 0.05f, 1, 0.02f, 2, qout.data(), C, H, W, nullptr); };
  } else if (op == "sigmoid_fp32") {
    bytes = 8.0 * n;
    run = [&] { ops.sigmoid_fp32(a.data(), out.data(), int(n), nullptr); };
  } else if (op == "gelu_fp32") {
    bytes = 8.0 * n;
    run = [&] { ops.gelu_fp32(out.data(), int(n), nullptr); };
  } else if (op == "upsample_bilinear_fp32") {
    bytes = 4.0 * n + 16.0 * n;
    run = [&] { ops.upsample_bilinear_fp32(a.data(), out.data(), C, H, W, 2 * H, 2 * W, nullptr); };
  } else {
    throw std::invalid_argument("unknown kernel " + op);
  }
  return py::make_tuple(best_seconds(run, repeats, iters), bytes);
}

}  // namespace

void bind_sequence_timers(py::module_& b);
void bind_transformer_timers(py::module_& b);

}  // namespace mi

PYBIND11_MODULE(model_inference_bench, b) {
  const std::string missing = mi::cpu::missing_cpu_features();
  if (!missing.empty()) throw py::import_error("model_inference_bench needs " + missing);
  b.doc() = "Timing loops around single engine kernels, for the kernel benchmarks.";
  mi::python::translate_engine_errors();
  b.def("gemm_fp32", &mi::gemm_fp32, py::arg("M"), py::arg("K"), py::arg("N"), py::arg("threads"),
        py::arg("reps"));
  b.def("gemm_int8", &mi::gemm_int8, py::arg("M"), py::arg("K"), py::arg("N"), py::arg("threads"),
        py::arg("reps"));
  b.def("copy", &mi::copy, py::arg("bytes"), py::arg("reps"));
  b.def("kernel", &mi::kernel, py::arg("op"), py::arg("H"), py::arg("W"), py::arg("C"),
        py::arg("iters"), py::arg("repeats") = 5);
  mi::bind_sequence_timers(b);
  mi::bind_transformer_timers(b);
}
