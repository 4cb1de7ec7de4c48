// Transformer kernels (attention, layer norm, sequence products, single-token int8
// product, simulated 8-bit activations) exposed to the test suite. Sequences are [T, E]
// arrays, weights [N, K]; `impl` picks the vector kernel with its threading ("avx2") or its
// scalar reference ("ref").
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/cpu/activation.h"
#include "backend/cpu/attention.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/layernorm.h"
#include "backend/cpu/seqgemm.h"
#include "backend/shared_weight.h"
#include "layers/layer_registry.h"
#include "layers/op_kind.h"
#include "layers/transformer.h"
#include "testing_arrays.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

void need_shape(const py::array& a, int rows, int cols, const char* what) {
  if (a.ndim() != 2 || a.shape(0) != rows || a.shape(1) != cols)
    throw std::invalid_argument(std::string(what) + " must be [" + std::to_string(rows) + ", " +
                                std::to_string(cols) + "]");
}

template <class T>
void need_len(const std::optional<Array<T>>& a, py::ssize_t n, const char* what) {
  if (a && a->size() != n)
    throw std::invalid_argument(std::string(what) + " needs " + std::to_string(n) + " values");
}

using PackedF32 = std::unique_ptr<float[], void (*)(void*)>;
using PackedI8 = std::unique_ptr<uint8_t[], void (*)(void*)>;

Array<float> attention_fp32(const Array<float>& x, const Array<float>& w_qkv,
                            const std::optional<Array<float>>& b_qkv, const Array<float>& w_proj,
                            const std::optional<Array<float>>& b_proj, int num_heads,
                            bool dynamic_quantize, const std::string& impl) {
  if (x.ndim() != 2) throw std::invalid_argument("x must be [T, E]");
  const int T = int(x.shape(0)), E = int(x.shape(1));
  need_shape(w_qkv, 3 * E, E, "w_qkv");
  need_shape(w_proj, E, E, "w_proj");
  need_len(b_qkv, 3 * E, "b_qkv");
  need_len(b_proj, E, "b_proj");
  Guarded y(size_t(T) * E);
  if (use_ref(impl)) {
    cpu::attention_fp32_ref(x.data(), w_qkv.data(), data_or_null(b_qkv), w_proj.data(),
                            data_or_null(b_proj), y.data(), T, E, num_heads, dynamic_quantize);
  } else {
    PackedF32 qkv(cpu::pack_weights_fp32(w_qkv.data(), 3 * E, E), cpu::free_packed_fp32);
    PackedF32 proj(cpu::pack_weights_fp32(w_proj.data(), E, E), cpu::free_packed_fp32);
    std::vector<float> work(size_t(3) * T * E);
    cpu::attention_fp32(x.data(), nullptr, data_or_null(b_qkv), nullptr, data_or_null(b_proj),
                        y.data(), T, E, num_heads, work.data(), qkv.get(), proj.get(), nullptr,
                        dynamic_quantize);
  }
  return y.take({T, E});
}

Array<float> attention_int8(const Array<float>& x, const Array<int8_t>& w_qkv,
                            const Array<float>& qkv_scales,
                            const std::optional<Array<float>>& b_qkv, const Array<int8_t>& w_proj,
                            const Array<float>& proj_scales,
                            const std::optional<Array<float>>& b_proj, int num_heads,
                            const std::string& impl) {
  if (x.ndim() != 2) throw std::invalid_argument("x must be [T, E]");
  const int T = int(x.shape(0)), E = int(x.shape(1));
  need_shape(w_qkv, 3 * E, E, "w_qkv");
  need_shape(w_proj, E, E, "w_proj");
  need_len(std::optional<Array<float>>(qkv_scales), 3 * E, "qkv_scales");
  need_len(std::optional<Array<float>>(proj_scales), E, "proj_scales");
  need_len(b_qkv, 3 * E, "b_qkv");
  need_len(b_proj, E, "b_proj");
  Guarded y(size_t(T) * E);
  if (use_ref(impl)) {
    cpu::attention_int8_ref(x.data(), w_qkv.data(), qkv_scales.data(), data_or_null(b_qkv),
                            w_proj.data(), proj_scales.data(), data_or_null(b_proj), y.data(), T, E,
                            num_heads);
  } else {
    PackedI8 qkv(cpu::pack_weights_int8(w_qkv.data(), 3 * E, E), cpu::free_packed_int8);
    PackedI8 proj(cpu::pack_weights_int8(w_proj.data(), E, E), cpu::free_packed_int8);
    std::vector<float> work(size_t(3) * T * E), scales(size_t(3) * E);
    std::vector<int8_t> q(size_t(T) * E);
    std::vector<int64_t> zeros(size_t(3) * E, 0);
    cpu::attention_int8(x.data(), qkv.get(), qkv_scales.data(), zeros.data(), data_or_null(b_qkv),
                        proj.get(), proj_scales.data(), zeros.data(), data_or_null(b_proj),
                        y.data(), T, E, num_heads, work.data(), q.data(), scales.data(), nullptr,
                        nullptr, nullptr);
  }
  return y.take({T, E});
}

Array<float> layernorm(const Array<float>& x, const Array<float>& gamma, const Array<float>& beta,
                       float eps, const std::string& impl) {
  if (x.ndim() != 2) throw std::invalid_argument("x must be [rows, C]");
  const int rows = int(x.shape(0)), C = int(x.shape(1));
  need_len(std::optional<Array<float>>(gamma), C, "gamma");
  need_len(std::optional<Array<float>>(beta), C, "beta");
  Guarded y(size_t(rows) * C);
  if (use_ref(impl))
    cpu::layernorm_fp32_ref(x.data(), gamma.data(), beta.data(), y.data(), rows, C, eps);
  else
    cpu::layernorm_fp32(x.data(), gamma.data(), beta.data(), y.data(), rows, C, eps, nullptr);
  return y.take({rows, C});
}

// `packed` false runs the product on the unpacked weights.
Array<float> seqgemm_fp32(const Array<float>& x, const Array<float>& W,
                          const std::optional<Array<float>>& bias, bool gelu, bool packed,
                          const std::string& impl) {
  if (x.ndim() != 2 || W.ndim() != 2) throw std::invalid_argument("x and W must be 2-D");
  const int M = int(x.shape(0)), K = int(x.shape(1)), N = int(W.shape(0));
  need_shape(W, N, K, "W");
  need_len(bias, N, "bias");
  Guarded y(size_t(M) * N);
  if (use_ref(impl)) {
    cpu::seqgemm_fp32_ref(x.data(), W.data(), data_or_null(bias), y.data(), M, K, N, gelu);
  } else {
    PackedF32 p(packed ? cpu::pack_weights_fp32(W.data(), N, K) : nullptr, cpu::free_packed_fp32);
    cpu::seqgemm_fp32(x.data(), W.data(), data_or_null(bias), y.data(), M, K, N, gelu, p.get(),
                      nullptr);
  }
  return y.take({M, N});
}

Array<float> seqgemm_int8(const Array<float>& x, const Array<int8_t>& W, const Array<float>& scales,
                          const std::optional<Array<float>>& bias, bool gelu,
                          const std::string& impl) {
  if (x.ndim() != 2 || W.ndim() != 2) throw std::invalid_argument("x and W must be 2-D");
  const int M = int(x.shape(0)), K = int(x.shape(1)), N = int(W.shape(0));
  need_shape(W, N, K, "W");
  need_len(std::optional<Array<float>>(scales), N, "scales");
  need_len(bias, N, "bias");
  Guarded y(size_t(M) * N);
  std::vector<int64_t> zeros(size_t(N), 0);
  if (use_ref(impl)) {
    cpu::gemm_int8_dynamic_ref(x.data(), W.data(), scales.data(), zeros.data(), data_or_null(bias),
                               y.data(), M, K, N);
    if (gelu) cpu::gelu_fp32_ref(y.data(), M * N, nullptr);
  } else {
    PackedI8 p(cpu::pack_weights_int8(W.data(), N, K), cpu::free_packed_int8);
    std::vector<int8_t> q(size_t(M) * K);
    std::vector<float> s(static_cast<size_t>(N));
    cpu::seqgemm_int8(x.data(), p.get(), scales.data(), zeros.data(), data_or_null(bias), q.data(),
                      s.data(), y.data(), M, K, N, gelu, nullptr);
  }
  return y.take({M, N});
}

Array<float> gemv_int8w(const Array<float>& x, const Array<int8_t>& W, const Array<float>& scales,
                        const std::optional<Array<float>>& bias, const std::string& impl) {
  if (W.ndim() != 2) throw std::invalid_argument("W must be [N, K]");
  const int N = int(W.shape(0)), K = int(W.shape(1));
  need_len(std::optional<Array<float>>(x), K, "x");
  need_len(std::optional<Array<float>>(scales), N, "scales");
  need_len(bias, N, "bias");
  Guarded y(static_cast<size_t>(N));
  if (use_ref(impl))
    cpu::gemv_int8w_fp32_ref(x.data(), W.data(), scales.data(), data_or_null(bias), y.data(), K, N);
  else
    cpu::gemv_int8w_fp32(x.data(), W.data(), scales.data(), data_or_null(bias), y.data(), K, N,
                         nullptr);
  return y.take({N});
}

Array<float> gemv_int8_blocks(const Array<float>& x, const Array<int8_t>& W,
                              const Array<float>& scales, const std::optional<Array<float>>& bias,
                              int block, const std::string& impl) {
  if (W.ndim() != 2) throw std::invalid_argument("W must be [N, K]");
  const int N = int(W.shape(0)), K = int(W.shape(1));
  if (block <= 0 || block % 32 != 0 || K % block != 0)
    throw std::invalid_argument("block must be a positive multiple of 32 dividing K");
  need_len(std::optional<Array<float>>(x), K, "x");
  need_len(std::optional<Array<float>>(scales), py::ssize_t(K / block) * N, "scales");
  need_len(bias, N, "bias");
  Guarded y(static_cast<size_t>(N));
  if (use_ref(impl))
    cpu::gemv_int8_blocks_fp32_ref(x.data(), W.data(), scales.data(), data_or_null(bias), y.data(),
                                   K, N, block);
  else
    cpu::gemv_int8_blocks_fp32(x.data(), W.data(), scales.data(), data_or_null(bias), y.data(), K,
                               N, block, nullptr);
  return y.take({N});
}

py::tuple quantize_blocks(const Array<float>& x, int block) {
  if (block <= 0 || x.size() % block != 0)
    throw std::invalid_argument("block must be positive and divide the size");
  Array<int8_t> q({py::ssize_t(x.size())});
  Array<float> s({py::ssize_t(x.size() / block)});
  cpu::quantize_blocks_int8(x.data(), q.mutable_data(), s.mutable_data(), x.size(), block, 1);
  return py::make_tuple(q, s);
}

Array<float> fake_quantize(const Array<float>& x, bool divide) {
  Array<float> y(std::vector<py::ssize_t>(x.shape(), x.shape() + x.ndim()));
  cpu::fake_quantize_u8(x.data(), y.mutable_data(), size_t(x.size()), divide);
  return y;
}

class GemmArgs : public LayerArgs {
 public:
  GemmArgs(std::string name, int K, int N) : name_(std::move(name)), K_(K), N_(N) {}
  int get_int(const char* key, int def) const override {
    const std::string k = key;
    return k == "C_in" ? K_ : k == "C_out" ? N_ : def;
  }
  float get_float(const char*, float def) const override { return def; }
  bool get_bool(const char*, bool def) const override { return def; }
  const std::string& node_name() const override { return name_; }
  int op_kind() const override { return kSeqGemmFp32; }

 private:
  std::string name_;
  int K_, N_;
};

// SeqGemmFp32 layers named `names`, loaded in one weights load from the same N x K weight:
// for each, the address of its packed block and whether it kept its int8 copy.
py::list seqgemm_fp32_layers(const std::vector<std::string>& names, const Array<float>& W) {
  if (W.ndim() != 2) throw std::invalid_argument("W must be [N, K]");
  const int N = int(W.shape(0)), K = int(W.shape(1));
  std::vector<std::unique_ptr<ILayer>> layers;
  py::list out;
  clear_shared_weight_registry();
  for (const std::string& name : names) {
    layers.push_back(layer_creator(kSeqGemmFp32)(GemmArgs(name, K, N)));
    layers.back()->name = name;
    layers.back()->load_weights(
        [&](const std::string& tensor, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
          if (tensor != name + ".weight") return false;
          shape = {N, K};
          bytes.resize(size_t(W.size()) * sizeof(float));
          std::memcpy(bytes.data(), W.data(), bytes.size());
          return true;
        });
    const auto& layer = static_cast<const SeqGemmFp32&>(*layers.back());
    out.append(py::make_tuple(reinterpret_cast<uintptr_t>(layer.packed.buffer.data),
                              !layer.weight_i8.empty()));
  }
  clear_shared_weight_registry();
  return out;
}

}  // namespace

void bind_transformer_testing(py::module_& t) {
  using py::arg;
  t.def("attention_fp32", attention_fp32, arg("x"), arg("w_qkv"), arg("b_qkv"), arg("w_proj"),
        arg("b_proj"), arg("num_heads"), arg("dynamic_quantize") = false, arg("impl") = "avx2");
  t.def("attention_int8", attention_int8, arg("x"), arg("w_qkv"), arg("qkv_scales"), arg("b_qkv"),
        arg("w_proj"), arg("proj_scales"), arg("b_proj"), arg("num_heads"), arg("impl") = "avx2");
  t.def("layernorm_fp32", layernorm, arg("x"), arg("gamma"), arg("beta"), arg("eps") = 1e-6f,
        arg("impl") = "avx2");
  t.def("seqgemm_fp32", seqgemm_fp32, arg("x"), arg("W"), arg("bias") = py::none(),
        arg("gelu") = false, arg("packed") = true, arg("impl") = "avx2");
  t.def("seqgemm_int8", seqgemm_int8, arg("x"), arg("W"), arg("scales"), arg("bias") = py::none(),
        arg("gelu") = false, arg("impl") = "avx2");
  t.def("gemv_int8w_fp32", gemv_int8w, arg("x"), arg("W"), arg("scales"), arg("bias") = py::none(),
        arg("impl") = "avx2");
  t.def("gemv_int8_blocks_fp32", gemv_int8_blocks, arg("x"), arg("W"), arg("scales"),
        arg("bias") = py::none(), arg("block") = 32, arg("impl") = "avx2");
  t.def("quantize_blocks_int8", quantize_blocks, arg("x"), arg("block") = 32);
  t.def("fake_quantize_u8", fake_quantize, arg("x"), arg("divide") = false);
  t.def("seqgemm_fp32_layers", seqgemm_fp32_layers, arg("names"), arg("W"));
}

}  // namespace mi::python
