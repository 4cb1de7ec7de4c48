#include <omp.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/gemm_fp32.h"
#include "python/testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

using F32 = py::array_t<float, py::array::c_style | py::array::forcecast>;

// Runs a call with `threads` OpenMP threads available and restores the previous count.
class ThreadCount {
 public:
  explicit ThreadCount(int threads) : saved_(omp_get_max_threads()) {
    if (threads > 0) omp_set_num_threads(threads);
  }
  ~ThreadCount() { omp_set_num_threads(saved_); }

 private:
  int saved_;
};

const float* bias_ptr(const std::optional<F32>& bias) { return bias ? bias->data() : nullptr; }

// Output buffer followed by a guard area, to catch writes beyond the M x N result.
class GuardedOutput {
 public:
  explicit GuardedOutput(size_t n) : n_(n), data_(n + kGuard, kSentinel) {}
  float* data() { return data_.data(); }
  py::array_t<float> take(std::vector<py::ssize_t> shape) {
    for (size_t i = n_; i < data_.size(); ++i)
      if (std::memcmp(&data_[i], &kSentinel, sizeof(float)) != 0)
        throw std::runtime_error("kernel wrote past the end of its output");
    py::array_t<float> out(shape);
    std::memcpy(out.mutable_data(), data_.data(), n_ * sizeof(float));
    return out;
  }

 private:
  static constexpr size_t kGuard = 64;
  static constexpr float kSentinel = -12345.678f;
  size_t n_;
  std::vector<float> data_;
};

py::array_t<float> pack_fp32(const F32& W) {
  const int N = int(W.shape(0)), K = int(W.shape(1));
  BackendOps& ops = active_backend_or_throw();
  std::unique_ptr<float[], void (*)(void*)> block(ops.pack_weights_fp32(W.data(), N, K),
                                                  ops.free_packed_fp32);
  const py::ssize_t count = py::ssize_t((N + 7) / 8) * K * 8;
  py::array_t<float> out(count);
  std::memcpy(out.mutable_data(), block.get(), size_t(count) * sizeof(float));
  return out;
}

// team_threads > 0 calls the product in team mode from every thread of a region of that
// size, the way a kernel with its own parallel region does.
py::array_t<float> gemm_packed(const F32& A, const F32& W, const std::optional<F32>& bias,
                               bool relu, int threads, int team_threads) {
  const int M = int(A.shape(0)), K = int(A.shape(1)), N = int(W.shape(0));
  if (W.shape(1) != K) throw std::invalid_argument("A and W disagree on K");
  BackendOps& ops = active_backend_or_throw();
  std::unique_ptr<float[], void (*)(void*)> block(ops.pack_weights_fp32(W.data(), N, K),
                                                  ops.free_packed_fp32);
  GuardedOutput C(size_t(M) * N);
  {
    py::gil_scoped_release unlocked;
    ThreadCount tc(threads);
    if (team_threads > 0) {
#pragma omp parallel num_threads(team_threads)
      ops.gemm_packed_fp32(A.data(), block.get(), bias_ptr(bias), C.data(), relu, M, K, N,
                           true, nullptr);
    } else {
      ops.gemm_packed_fp32(A.data(), block.get(), bias_ptr(bias), C.data(), relu, M, K, N,
                           false, nullptr);
    }
  }
  return C.take({M, N});
}

py::array_t<float> gemm_ref(const F32& A, const F32& W, const std::optional<F32>& bias,
                            bool relu) {
  const int M = int(A.shape(0)), K = int(A.shape(1)), N = int(W.shape(0));
  py::array_t<float> C({M, N});
  cpu::gemm_fp32_ref(A.data(), W.data(), bias_ptr(bias), C.mutable_data(), relu, M, K, N);
  return C;
}

py::array_t<float> gemm_vector(const F32& x, const F32& W, const std::optional<F32>& bias,
                               bool use_packed, int threads) {
  const int N = int(W.shape(0)), K = int(W.shape(1));
  BackendOps& ops = active_backend_or_throw();
  std::unique_ptr<float[], void (*)(void*)> block(
      use_packed ? ops.pack_weights_fp32(W.data(), N, K) : nullptr, ops.free_packed_fp32);
  GuardedOutput y{size_t(N)};
  ThreadCount tc(threads);
  ops.gemm_fp32(x.data(), W.data(), bias_ptr(bias), y.data(), K, N, block.get(), nullptr);
  return y.take({N});
}

py::array_t<float> relu(const F32& x, int slot) {
  py::array_t<float> out(x.size());
  std::memcpy(out.mutable_data(), x.data(), size_t(x.size()) * sizeof(float));
  BackendOps& ops = active_backend_or_throw();
  if (slot == 32) ops.relu_fp32(out.mutable_data(), int(x.size()), nullptr);
  else if (slot == 47) ops.relu_fp32_alias(out.mutable_data(), int(x.size()), nullptr);
  else cpu::relu_fp32_ref(out.mutable_data(), int(x.size()));
  return out;
}

}  // namespace

void bind_gemm_testing(py::module_& t) {
  t.def("pack_weights_fp32", &pack_fp32);
  t.def("gemm_packed_fp32", &gemm_packed, py::arg("A"), py::arg("W"), py::arg("bias"),
        py::arg("relu") = false, py::arg("threads") = 0, py::arg("team_threads") = 0);
  t.def("gemm_fp32_ref", &gemm_ref, py::arg("A"), py::arg("W"), py::arg("bias"),
        py::arg("relu") = false);
  t.def("gemm_fp32", &gemm_vector, py::arg("x"), py::arg("W"), py::arg("bias"),
        py::arg("use_packed"), py::arg("threads") = 0);
  t.def("relu_fp32", &relu, py::arg("x"), py::arg("slot"));
  t.def("gemm_packed_fp32_threads", [](int M, int K, int N, int threads) {
    ThreadCount tc(threads);
    return cpu::gemm_packed_fp32_threads(M, K, N);
  });
}

}  // namespace mi::python
