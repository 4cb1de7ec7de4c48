// 1-D convolution kernels exposed to the test suite. Sequences are [L, C] arrays, weights
// [C_out, C_in, K] as PyTorch stores them; `impl` picks the vector kernel with its threading
// ("avx2") or its scalar reference ("ref").
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/cpu/conv1d.h"
#include "backend/cpu/conv1d_int8.h"
#include "backend/cpu/conv1d_winograd_chunks.h"
#include "backend/cpu/gemm_fp32.h"
#include "layers/conv1d.h"
#include "testing_arrays.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

struct Shapes {
  int L, C_in, C_out, K;
};

Shapes shapes_of(const Array<float>& x, const Array<float>& w,
                 const std::optional<Array<float>>& bias) {
  if (x.ndim() != 2 || w.ndim() != 3) throw std::invalid_argument("x is [L, C], w [C_out, C, K]");
  const Shapes s{int(x.shape(0)), int(x.shape(1)), int(w.shape(0)), int(w.shape(2))};
  if (w.shape(1) != s.C_in) throw std::invalid_argument("w and x differ in channels");
  if (bias && bias->size() != s.C_out) throw std::invalid_argument("bias needs C_out values");
  return s;
}

// [C_out, C_in, K] -> C_out x K x C_in.
std::vector<float> tap_major(const Array<float>& w, const Shapes& s) {
  std::vector<float> t(size_t(s.C_out) * s.K * s.C_in);
  const float* src = w.data();
  for (int o = 0; o < s.C_out; ++o)
    for (int i = 0; i < s.C_in; ++i)
      for (int k = 0; k < s.K; ++k)
        t[(size_t(o) * s.K + k) * s.C_in + i] = src[(size_t(o) * s.C_in + i) * s.K + k];
  return t;
}

Array<float> winograd(const Array<float>& x, const Array<float>& w,
                      const std::optional<Array<float>>& bias, bool relu, int padding, int dilation,
                      const std::string& impl) {
  const Shapes s = shapes_of(x, w, bias);
  const cpu::Conv1dWinograd* v = cpu::conv1d_winograd_variant(s.K);
  if (!v) throw std::invalid_argument("Winograd kernels take 3, 7 or 11 taps");
  if (dilation < 1) throw std::invalid_argument("dilation must be at least 1");
  const int L_out = s.L + 2 * padding - dilation * (s.K - 1);
  if (L_out < 1) throw std::invalid_argument("sequence too short");
  const std::vector<float> U =
      cpu::conv1d_winograd_weights(*v, tap_major(w, s).data(), s.C_out, s.C_in);
  // A guard area behind the output catches writes past it.
  std::vector<float> out(size_t(L_out) * s.C_out + 64, -1234.5f);
  const float* b = data_or_null(bias);
  if (use_ref(impl)) {
    cpu::conv1d_winograd_ref(*v, x.data(), U.data(), b, relu, s.L, L_out, s.C_in, s.C_out, padding,
                             dilation, out.data());
  } else {
    std::vector<std::unique_ptr<float[], void (*)(void*)>> packs;
    std::vector<const void*> pk;
    for (int t = 0; t < v->T; ++t) {
      packs.emplace_back(cpu::pack_weights_fp32(&U[size_t(t) * s.C_out * s.C_in], s.C_out, s.C_in),
                         cpu::free_packed_fp32);
      pk.push_back(packs.back().get());
    }
    std::vector<float> scratch(size_t(
        cpu::conv1d_winograd_scratch_floats(*v, s.L, L_out, s.C_in, s.C_out, padding, dilation)));
    auto run = s.K == 3   ? cpu::conv1d_winograd_f4k3
               : s.K == 7 ? cpu::conv1d_winograd_f2k7
                          : cpu::conv1d_winograd_f2k11;
    run(x.data(), pk.data(), b, relu, s.L, L_out, s.C_in, s.C_out, padding, dilation, out.data(),
        scratch.data());
  }
  for (size_t i = size_t(L_out) * s.C_out; i < out.size(); ++i)
    if (out[i] != -1234.5f) throw std::runtime_error("kernel wrote past its output");
  Array<float> r = new_array<float>({L_out, s.C_out});
  std::memcpy(r.mutable_data(), out.data(), size_t(L_out) * s.C_out * sizeof(float));
  return r;
}

// Kernels cut into chunks of F(m,m) (kernel size 11).
Array<float> winograd_chunks(const Array<float>& x, const Array<float>& w,
                             const std::optional<Array<float>>& bias, bool relu, int padding,
                             int dilation, const std::string& impl) {
  const Shapes s = shapes_of(x, w, bias);
  const cpu::Conv1dWinograd* v = cpu::conv1d_winograd_chunk_variant(s.K);
  if (!v) throw std::invalid_argument("no chunked Winograd kernel for this kernel size");
  if (dilation < 1) throw std::invalid_argument("dilation must be at least 1");
  const int L_out = s.L + 2 * padding - dilation * (s.K - 1);
  if (L_out < 1) throw std::invalid_argument("sequence too short");
  const int chunks = cpu::conv1d_winograd_chunks(*v, s.K);
  const std::vector<float> U =
      cpu::conv1d_winograd_chunk_weights(*v, tap_major(w, s).data(), s.C_out, s.K, s.C_in);
  std::vector<float> out(size_t(L_out) * s.C_out + 64, -1234.5f);
  const float* b = data_or_null(bias);
  if (use_ref(impl)) {
    cpu::conv1d_winograd_chunks_ref(*v, s.K, x.data(), U.data(), b, relu, s.L, L_out, s.C_in,
                                    s.C_out, padding, dilation, out.data());
  } else {
    std::vector<std::unique_ptr<float[]>> packs;
    std::vector<const float*> pk;
    for (int t = 0; t < v->T; ++t) {
      packs.emplace_back(cpu::pack_conv1d_direct(&U[size_t(t) * s.C_out * chunks * s.C_in], s.C_out,
                                                 chunks, s.C_in));
      pk.push_back(packs.back().get());
    }
    std::vector<float> scratch(size_t(cpu::conv1d_winograd_chunks_scratch_floats(
        *v, s.K, s.L, L_out, s.C_in, s.C_out, padding, dilation)));
    cpu::conv1d_winograd_chunks_fp32(*v, s.K, x.data(), pk.data(), b, relu, s.L, L_out, s.C_in,
                                     s.C_out, padding, dilation, out.data(), scratch.data());
  }
  for (size_t i = size_t(L_out) * s.C_out; i < out.size(); ++i)
    if (out[i] != -1234.5f) throw std::runtime_error("kernel wrote past its output");
  Array<float> r = new_array<float>({L_out, s.C_out});
  std::memcpy(r.mutable_data(), out.data(), size_t(L_out) * s.C_out * sizeof(float));
  return r;
}

// The direct kernel on an already padded input x: L_out = L - dilation*(K-1).
Array<float> direct(const Array<float>& x, const Array<float>& w,
                    const std::optional<Array<float>>& bias, bool relu, int dilation,
                    const std::string& impl) {
  const Shapes s = shapes_of(x, w, bias);
  const int L_out = s.L - dilation * (s.K - 1);
  if (L_out < 1) throw std::invalid_argument("sequence too short");
  const std::vector<float> t = tap_major(w, s);
  std::vector<float> out(size_t(L_out) * s.C_out + 64, -1234.5f);
  if (use_ref(impl)) {
    cpu::conv1d_direct_fp32_ref(x.data(), t.data(), data_or_null(bias), out.data(), relu, L_out,
                                s.C_in, s.C_out, s.K, dilation);
  } else {
    std::unique_ptr<float[]> pk(cpu::pack_conv1d_direct(t.data(), s.C_out, s.K, s.C_in));
    cpu::conv1d_direct_fp32(x.data(), pk.get(), data_or_null(bias), out.data(), relu, L_out, s.C_in,
                            s.C_out, s.K, dilation, false);
  }
  for (size_t i = size_t(L_out) * s.C_out; i < out.size(); ++i)
    if (out[i] != -1234.5f) throw std::runtime_error("kernel wrote past its output");
  Array<float> r = new_array<float>({L_out, s.C_out});
  std::memcpy(r.mutable_data(), out.data(), size_t(L_out) * s.C_out * sizeof(float));
  return r;
}

py::tuple quantize_row(const Array<float>& x, const std::string& impl) {
  const int n = int(x.size());
  Array<int8_t> q = new_array<int8_t>({py::ssize_t(n)});
  float scale = 0.0f;
  (use_ref(impl) ? cpu::quantize_row_int8_ref : cpu::quantize_row_int8)(x.data(), q.mutable_data(),
                                                                        &scale, n);
  return py::make_tuple(q, scale);
}

// The 7-bit int8 kernel: int8 weights [C_out, K, C_in] as the layer stores them, zero
// padding rows on each side.
Array<float> int8_narrow(const Array<float>& x, const Array<int8_t>& w,
                         const Array<float>& w_scales, const std::optional<Array<float>>& bias,
                         int padding, int dilation, const std::string& impl) {
  if (x.ndim() != 2 || w.ndim() != 3) throw std::invalid_argument("x is [L, C], w [C_out, K, C]");
  const int L = int(x.shape(0)), C = int(x.shape(1)), N = int(w.shape(0)), K = int(w.shape(1));
  if (w.shape(2) != C || w_scales.size() != N || (bias && bias->size() != N))
    throw std::invalid_argument("w, w_scales and bias disagree with x");
  if (!cpu::conv1d_int8_is_narrow(w.data(), w.size()))
    throw std::invalid_argument("weights outside [-64, 63]");
  const int L_out = L + 2 * padding - dilation * (K - 1);
  if (L_out < 1) throw std::invalid_argument("sequence too short");
  std::vector<float> out(size_t(L_out) * N + 64, -1234.5f);
  if (use_ref(impl)) {
    cpu::conv1d_int8_narrow_ref(x.data(), L, padding, w.data(), w_scales.data(), data_or_null(bias),
                                out.data(), L_out, C, N, K, dilation);
  } else {
    std::unique_ptr<uint8_t[]> pk(cpu::pack_conv1d_int8_narrow(w.data(), N, K, C));
    std::vector<uint8_t> q(size_t(cpu::conv1d_int8_narrow_rows_bytes(L + 2 * padding, C)));
    std::vector<float> scales(size_t(L + 2 * padding));
    cpu::conv1d_int8_narrow(x.data(), L, padding, pk.get(), w_scales.data(), data_or_null(bias),
                            out.data(), L_out, C, N, K, dilation, q.data(), scales.data());
  }
  for (size_t i = size_t(L_out) * N; i < out.size(); ++i)
    if (out[i] != -1234.5f) throw std::runtime_error("kernel wrote past its output");
  Array<float> r = new_array<float>({L_out, N});
  std::memcpy(r.mutable_data(), out.data(), size_t(L_out) * N * sizeof(float));
  return r;
}

py::dict winograd_matrices(int taps) {
  const cpu::Conv1dWinograd* v = cpu::conv1d_winograd_variant(taps);
  if (!v) throw std::invalid_argument("Winograd kernels take 3, 7 or 11 taps");
  auto mat = [](const std::vector<float>& m, int rows, int cols) {
    Array<float> a = new_array<float>({rows, cols});
    std::memcpy(a.mutable_data(), m.data(), m.size() * sizeof(float));
    return a;
  };
  py::dict d;
  d["BT"] = mat(v->BT, v->T, v->T);
  d["AT"] = mat(v->AT, v->m, v->T);
  d["G"] = mat(v->G, v->T, v->r);
  return d;
}

}  // namespace

void bind_conv1d_testing(py::module_& t) {
  t.def("conv1d_winograd", &winograd, py::arg("x"), py::arg("w"), py::arg("bias"),
        py::arg("relu") = false, py::arg("padding") = 0, py::arg("dilation") = 1,
        py::arg("impl") = "avx2");
  t.def("conv1d_winograd_chunks", &winograd_chunks, py::arg("x"), py::arg("w"), py::arg("bias"),
        py::arg("relu") = false, py::arg("padding") = 0, py::arg("dilation") = 1,
        py::arg("impl") = "avx2");
  t.def("conv1d_direct", &direct, py::arg("x"), py::arg("w"), py::arg("bias"),
        py::arg("relu") = false, py::arg("dilation") = 1, py::arg("impl") = "avx2");
  t.def("conv1d_int8_narrow", &int8_narrow, py::arg("x"), py::arg("w"), py::arg("w_scales"),
        py::arg("bias"), py::arg("padding") = 0, py::arg("dilation") = 1, py::arg("impl") = "avx2");
  t.def("quantize_row_int8", &quantize_row, py::arg("x"), py::arg("impl") = "avx2");
  t.def("conv1d_winograd_matrices", &winograd_matrices, py::arg("taps"));
  t.def(
      "conv1d_direct_forced",
      [](std::optional<std::string> v, int K) {
        return conv1d_direct_forced(v ? v->c_str() : nullptr, K);
      },
      py::arg("value"), py::arg("K"));
}

}  // namespace mi::python
