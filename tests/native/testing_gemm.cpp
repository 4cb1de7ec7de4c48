#include <omp.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/int8_arith.h"
#include "testing_arrays.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

using F32 = py::array_t<float, py::array::c_style | py::array::forcecast>;
using I8 = py::array_t<int8_t, py::array::c_style | py::array::forcecast>;
using I32 = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;
using I64 = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

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
  Guarded<float> C(size_t(M) * N);
  {
    py::gil_scoped_release unlocked;
    ThreadCount tc(threads);
    if (team_threads > 0) {
#pragma omp parallel num_threads(team_threads)
      ops.gemm_packed_fp32(A.data(), block.get(), bias_ptr(bias), C.data(), relu, M, K, N, true,
                           nullptr);
    } else {
      ops.gemm_packed_fp32(A.data(), block.get(), bias_ptr(bias), C.data(), relu, M, K, N, false,
                           nullptr);
    }
  }
  return C.take({M, N});
}

py::array_t<float> gemm_ref(const F32& A, const F32& W, const std::optional<F32>& bias, bool relu) {
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
  Guarded<float> y{size_t(N)};
  ThreadCount tc(threads);
  ops.gemm_fp32(x.data(), W.data(), bias_ptr(bias), y.data(), K, N, block.get(), nullptr);
  return y.take({N});
}

py::array_t<float> relu(const F32& x, int slot) {
  py::array_t<float> out(x.size());
  std::memcpy(out.mutable_data(), x.data(), size_t(x.size()) * sizeof(float));
  BackendOps& ops = active_backend_or_throw();
  if (slot == 32)
    ops.relu_fp32(out.mutable_data(), int(x.size()), nullptr);
  else if (slot == 47)
    ops.relu_fp32_alias(out.mutable_data(), int(x.size()), nullptr);
  else
    cpu::relu_fp32_ref(out.mutable_data(), int(x.size()));
  return out;
}

using PackedInt8 = std::unique_ptr<uint8_t[], void (*)(void*)>;

PackedInt8 pack_int8(const I8& W) {
  BackendOps& ops = active_backend_or_throw();
  return PackedInt8(ops.pack_weights_int8(W.data(), int(W.shape(0)), int(W.shape(1))),
                    ops.free_packed_int8);
}

py::array_t<uint8_t> pack_int8_array(const I8& W) {
  PackedInt8 block = pack_int8(W);
  const size_t bytes = cpu::packed_int8_bytes(int(W.shape(0)), int(W.shape(1)));
  py::array_t<uint8_t> out{py::ssize_t(bytes)};
  std::memcpy(out.mutable_data(), block.get(), bytes);
  return out;
}

// gemm_int8 in either output mode, through the backend table or the scalar reference.
py::array gemm_int8_call(const I8& A, const I8& W, const I64& bias,
                         const std::optional<I32>& multiplier, const std::optional<I32>& shift,
                         const std::optional<F32>& scale, int out_zp, bool float_output,
                         bool channel_major, bool reference, int threads, int team_threads) {
  const int M = int(A.shape(0)), K = int(A.shape(1)), N = int(W.shape(0));
  cpu::Int8Output o;
  o.mode = float_output ? cpu::Int8Output::kFloat : cpu::Int8Output::kRequantize;
  o.bias = bias.data();
  o.multiplier = multiplier ? multiplier->data() : nullptr;
  o.shift = shift ? shift->data() : nullptr;
  o.scale = scale ? scale->data() : nullptr;
  o.out_zp = int8_t(out_zp);
  o.channel_major = channel_major;
  Guarded<float> cf(float_output ? size_t(M) * N : 0);
  Guarded<int8_t> ci(float_output ? 0 : size_t(M) * N);
  void* C = float_output ? static_cast<void*>(cf.data()) : ci.data();
  if (reference) {
    o.C = C;
    cpu::gemm_int8_ref(A.data(), W.data(), o, M, K, N);
  } else {
    PackedInt8 block = pack_int8(W);
    BackendOps& ops = active_backend_or_throw();
    py::gil_scoped_release unlocked;
    ThreadCount tc(threads);
    auto call = [&](bool team) {
      ops.gemm_int8(A.data(), block.get(), o.bias, o.multiplier, o.shift, o.scale, o.out_zp, C,
                    float_output, M, K, N, channel_major, team, nullptr, nullptr);
    };
    if (team_threads > 0) {
#pragma omp parallel num_threads(team_threads)
      call(true);
    } else {
      call(false);
    }
  }
  if (float_output) return cf.take({M, N});
  if (channel_major) return ci.take({N, M});
  return ci.take({M, N});
}

py::array_t<int32_t> gemm_int8_int32_call(const I8& A, const I8& W, bool reference) {
  const int M = int(A.shape(0)), K = int(A.shape(1)), N = int(W.shape(0));
  Guarded<int32_t> C(size_t(M) * N);
  if (reference) {
    cpu::Int8Output o;
    o.C = C.data();
    cpu::gemm_int8_ref(A.data(), W.data(), o, M, K, N);
  } else {
    PackedInt8 block = pack_int8(W);
    active_backend_or_throw().gemm_int8_int32(A.data(), block.get(), C.data(), M, K, N, nullptr,
                                              nullptr);
  }
  return C.take({M, N});
}

py::array_t<float> gemm_int8_dequant_call(const I8& A, const I8& W, const F32& col_scales,
                                          const F32& row_scales, const std::optional<F32>& bias,
                                          bool accumulate, const F32& C0, bool reference) {
  const int M = int(A.shape(0)), K = int(A.shape(1)), N = int(W.shape(0));
  Guarded<float> C(size_t(M) * N);
  std::memcpy(C.data(), C0.data(), size_t(M) * N * sizeof(float));
  if (reference) {
    cpu::Int8Output o;
    o.mode = cpu::Int8Output::kDequant;
    o.C = C.data();
    o.col_scales = col_scales.data();
    o.row_scales = row_scales.data();
    o.fbias = bias_ptr(bias);
    o.accumulate = accumulate;
    cpu::gemm_int8_ref(A.data(), W.data(), o, M, K, N);
  } else {
    PackedInt8 block = pack_int8(W);
    cpu::gemm_int8_dequant(A.data(), block.get(), C.data(), M, K, N, col_scales.data(),
                           row_scales.data(), bias_ptr(bias), accumulate);
  }
  return C.take({M, N});
}

py::tuple quantize_rows_call(const F32& X, bool reference) {
  const int M = int(X.shape(0)), K = int(X.shape(1));
  py::array_t<int8_t> q({M, K});
  py::array_t<float> s(M);
  if (reference)
    cpu::quantize_rows_ref(X.data(), q.mutable_data(), s.mutable_data(), M, K);
  else
    cpu::quantize_rows_avx2(X.data(), q.mutable_data(), s.mutable_data(), M, K);
  return py::make_tuple(q, s);
}

py::array_t<float> gemm_int8_dynamic_call(const F32& X, const I8& W, const F32& w_scales,
                                          const I64& bias64, const std::optional<F32>& bias,
                                          bool reference, int threads) {
  const int M = int(X.shape(0)), K = int(X.shape(1)), N = int(W.shape(0));
  Guarded<float> Y(size_t(M) * N);
  if (reference) {
    cpu::gemm_int8_dynamic_ref(X.data(), W.data(), w_scales.data(), bias64.data(), bias_ptr(bias),
                               Y.data(), M, K, N);
  } else {
    PackedInt8 block = pack_int8(W);
    Guarded<int8_t> q(size_t(M) * K);
    Guarded<float> scales{size_t(N)};
    ThreadCount tc(threads);
    cpu::gemm_int8_dynamic(X.data(), block.get(), w_scales.data(), bias64.data(), bias_ptr(bias),
                           q.data(), scales.data(), Y.data(), M, K, N, nullptr);
    q.take({M, K});
    scales.take({N});
  }
  return Y.take({M, N});
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
  t.def("pack_weights_int8", &pack_int8_array);
  t.def("quantize_multiplier", [](double s) {
    const cpu::QuantMultiplier q = cpu::quantize_multiplier(s);
    return py::make_tuple(q.multiplier, q.shift);
  });
  t.def("gemm_int8", &gemm_int8_call, py::arg("A"), py::arg("W"), py::arg("bias"),
        py::arg("multiplier") = py::none(), py::arg("shift") = py::none(),
        py::arg("scale") = py::none(), py::arg("out_zp") = 0, py::arg("float_output") = false,
        py::arg("channel_major") = false, py::arg("reference") = false, py::arg("threads") = 0,
        py::arg("team_threads") = 0);
  t.def("gemm_int8_int32", &gemm_int8_int32_call, py::arg("A"), py::arg("W"),
        py::arg("reference") = false);
  t.def("gemm_int8_dequant", &gemm_int8_dequant_call, py::arg("A"), py::arg("W"),
        py::arg("col_scales"), py::arg("row_scales"), py::arg("bias"), py::arg("accumulate"),
        py::arg("C"), py::arg("reference") = false);
  t.def("quantize_rows", &quantize_rows_call, py::arg("X"), py::arg("reference") = false);
  t.def("gemm_int8_dynamic", &gemm_int8_dynamic_call, py::arg("X"), py::arg("W"),
        py::arg("w_scales"), py::arg("bias64"), py::arg("bias"), py::arg("reference") = false,
        py::arg("threads") = 0);
  t.def("gemm_packed_fp32_threads", [](int M, int K, int N, int threads) {
    ThreadCount tc(threads);
    return cpu::gemm_packed_fp32_threads(M, K, N);
  });
}

}  // namespace mi::python
