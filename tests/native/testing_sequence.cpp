// Sequence kernels (LSTM recurrence, adaptive norms, Snake, channel sums and copies) exposed
// to the test suite. Sequences are [rows, C] arrays; `impl` picks the vector kernel with its
// threading ("avx2") or its scalar reference ("ref").
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/lstm.h"
#include "backend/cpu/sequence_ops.h"
#include "backend/cpu/style_norm.h"
#include "layers/layer_registry.h"
#include "layers/op_kind.h"
#include "testing_arrays.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

struct Rows {
  int rows;
  int C;
};

Rows rows_of(const Array<float>& x) {
  if (x.ndim() != 2) throw std::invalid_argument("sequences are [rows, C] arrays");
  return {int(x.shape(0)), int(x.shape(1))};
}

void need_len(const Array<float>& v, int n, const char* what) {
  if (v.size() < n)
    throw std::invalid_argument(std::string(what) + " needs " + std::to_string(n) + " values");
}

Array<float> snake(const Array<float>& x, const Array<float>& alpha,
                   const std::optional<Array<float>>& inv_alpha, const std::string& impl) {
  const Rows r = rows_of(x);
  need_len(alpha, r.C, "alpha");
  std::vector<float> inv(size_t(r.C));
  for (int c = 0; c < r.C; ++c)
    inv[c] = inv_alpha ? inv_alpha->data()[c] : 1.0f / (1e-9f + alpha.data()[c]);
  Guarded out(size_t(x.size()));
  (use_ref(impl) ? cpu::snake1d_fp32_ref : cpu::snake1d_fp32)(x.data(), out.data(), alpha.data(),
                                                              inv.data(), r.rows, r.C, nullptr);
  return out.take(dims(x));
}

Array<float> ada_in(const Array<float>& x, const Array<float>& gamma, const Array<float>& beta,
                    float eps, const std::optional<Array<float>>& norm_weight,
                    const std::optional<Array<float>>& norm_bias, const std::string& impl) {
  const Rows r = rows_of(x);
  need_len(gamma, r.C, "gamma");
  need_len(beta, r.C, "beta");
  if (norm_weight) need_len(*norm_weight, r.C, "norm_weight");
  if (norm_bias) need_len(*norm_bias, r.C, "norm_bias");
  Guarded out(size_t(x.size()));
  (use_ref(impl) ? cpu::ada_in1d_fp32_ref : cpu::ada_in1d_fp32)(
      x.data(), out.data(), gamma.data(), beta.data(), r.rows, r.C, eps, nullptr,
      data_or_null(norm_weight), data_or_null(norm_bias));
  return out.take(dims(x));
}

Array<float> ada_layer_norm(const Array<float>& x, const Array<float>& gamma,
                            const Array<float>& beta, float eps, const std::string& impl) {
  const Rows r = rows_of(x);
  need_len(gamma, r.C, "gamma");
  need_len(beta, r.C, "beta");
  Guarded out(size_t(x.size()));
  (use_ref(impl) ? cpu::ada_layer_norm_fp32_ref : cpu::ada_layer_norm_fp32)(
      x.data(), out.data(), gamma.data(), beta.data(), r.rows, r.C, eps, nullptr);
  return out.take(dims(x));
}

Array<float> sum_channels(const Array<float>& x, const std::string& impl) {
  const Rows r = rows_of(x);
  Guarded out(size_t(r.rows));
  (use_ref(impl) ? cpu::sum_channels_fp32_ref : cpu::sum_channels_fp32)(x.data(), out.data(),
                                                                        r.rows, r.C, nullptr);
  return out.take({py::ssize_t(r.rows)});
}

Array<float> upsample_nearest(const Array<float>& x, int s) {
  const Rows r = rows_of(x);
  if (s < 1) throw std::invalid_argument("s must be at least 1");
  Guarded out(size_t(x.size()) * size_t(s));
  cpu::upsample_nearest1d_fp32(x.data(), out.data(), r.rows, r.C, s, nullptr);
  return out.take({py::ssize_t(r.rows) * s, py::ssize_t(r.C)});
}

// One direction of an LSTM over x ([T, I]) from weights in PyTorch's layout; with
// `out_stride` > H the result rows are that wide (the other columns stay zero), as in a
// bidirectional output.
Array<float> lstm(const Array<float>& x, const Array<float>& w_ih, const Array<float>& w_hh,
                  const std::optional<Array<float>>& b_ih, const std::optional<Array<float>>& b_hh,
                  bool reverse, int out_stride, const std::string& impl) {
  const Rows r = rows_of(x);
  const int T = r.rows, I = r.C;
  if (w_hh.ndim() != 2 || w_hh.shape(0) != 4 * w_hh.shape(1))
    throw std::invalid_argument("w_hh must be [4H, H]");
  const int H = int(w_hh.shape(1));
  need_len(w_ih, 4 * H * I, "w_ih");
  if (b_ih) need_len(*b_ih, 4 * H, "b_ih");
  if (b_hh) need_len(*b_hh, 4 * H, "b_hh");
  const int stride = out_stride > 0 ? out_stride : H;
  if (stride < H) throw std::invalid_argument("out_stride is below H");
  Guarded out(size_t(T) * stride);
  std::fill_n(out.data(), size_t(T) * stride, 0.0f);
  if (use_ref(impl)) {
    cpu::lstm_direction_ref(x.data(), T, I, H, w_ih.data(), w_hh.data(), data_or_null(b_ih),
                            data_or_null(b_hh), reverse, out.data(), stride);
  } else {
    const int Hp = cpu::lstm_padded_hidden(H);
    const std::vector<float> order = cpu::lstm_block_order(w_ih.data(), H, I);
    const std::vector<float> bias =
        cpu::lstm_combined_bias(data_or_null(b_ih), data_or_null(b_hh), H);
    const std::vector<float> bias_order =
        bias.empty() ? bias : cpu::lstm_block_order(bias.data(), H, 1);
    float* packed = cpu::pack_weights_fp32(order.data(), 4 * Hp, I);
    std::vector<float> gx(size_t(T) * 4 * Hp), w_rec(cpu::lstm_recurrent_floats(H));
    cpu::pack_lstm_recurrent(w_hh.data(), H, w_rec.data());
    cpu::gemm_packed_fp32(x.data(), packed, bias_order.empty() ? nullptr : bias_order.data(),
                          gx.data(), false, T, I, 4 * Hp, false, nullptr);
    cpu::free_packed_fp32(packed);
    const cpu::LstmDirection d{gx.data(), w_rec.data(), out.data(), reverse};
    cpu::lstm_recurrence_fp32(&d, 1, T, H, 4 * Hp, stride);
  }
  return out.take({py::ssize_t(T), py::ssize_t(stride)});
}

class Args : public LayerArgs {
 public:
  Args(const py::dict& d, std::string name, int kind) : name_(std::move(name)), kind_(kind) {
    for (const auto& [k, v] : d) values_[py::str(k)] = v.cast<double>();
  }
  int get_int(const char* key, int def) const override { return int(get(key, def)); }
  float get_float(const char* key, float def) const override { return float(get(key, def)); }
  bool get_bool(const char* key, bool def) const override { return get(key, def) != 0.0; }
  const std::string& node_name() const override { return name_; }
  int op_kind() const override { return kind_; }

 private:
  double get(const char* key, double def) const {
    const auto it = values_.find(key);
    return it == values_.end() ? def : it->second;
  }
  std::map<std::string, double> values_;
  std::string name_;
  int kind_;
};

// Builds one layer, loads `tensors` ({name: array}) and runs its forward on `inputs`
// ([rows, C] sequences or 1-D vectors) without any shape planning, so that the layer's own
// run-time checks are what stands between bad input and its kernel. The output has
// `out_size` floats followed by a guard area.
Array<float> sequence_layer(const std::string& op, const py::dict& args, const py::dict& tensors,
                            const std::vector<Array<float>>& inputs, int64_t out_size,
                            const std::string& name) {
  const int kind = op_kind_of(op);
  const LayerCreator create = layer_creator(kind);
  if (!create) throw std::invalid_argument("no layer class for op " + op);
  std::unique_ptr<ILayer> layer = create(Args(args, name, kind));
  layer->name = name;
  layer->load_weights(
      [&](const std::string& n, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
        if (!tensors.contains(n)) return false;
        const py::array a = py::array::ensure(tensors[py::str(n)], py::array::c_style);
        shape.assign(a.shape(), a.shape() + a.ndim());
        bytes.resize(size_t(a.nbytes()));
        std::memcpy(bytes.data(), a.data(), bytes.size());
        return true;
      });
  std::vector<TensorRef> refs;
  for (const Array<float>& a : inputs) {
    TensorShape s{int32_t(a.shape(a.ndim() - 1)), a.ndim() == 2 ? int32_t(a.shape(0)) : 1, 1};
    if (a.ndim() != 1 && a.ndim() != 2) throw std::invalid_argument("inputs are 1-D or [rows, C]");
    refs.push_back(TensorRef{const_cast<float*>(a.data()), 0, uint64_t(a.nbytes()), s});
  }
  Guarded out{size_t(out_size)};
  const BufferView view{out.data(), 0, uint64_t(out_size) * sizeof(float)};
  const TensorShape got = layer->forward(refs.data(), int(refs.size()), view, RunContext{});
  if (got.count() != out_size)
    throw std::runtime_error("forward returned " + std::to_string(got.count()) + " values");
  return out.take({py::ssize_t(out_size)});
}

}  // namespace

void bind_sequence_testing(py::module_& t) {
  t.def("snake1d_fp32", &snake, py::arg("x"), py::arg("alpha"), py::arg("inv_alpha") = py::none(),
        py::arg("impl") = "avx2");
  t.def("ada_in1d_fp32", &ada_in, py::arg("x"), py::arg("gamma"), py::arg("beta"),
        py::arg("eps") = 1e-5f, py::arg("norm_weight") = py::none(),
        py::arg("norm_bias") = py::none(), py::arg("impl") = "avx2");
  t.def("ada_layer_norm_fp32", &ada_layer_norm, py::arg("x"), py::arg("gamma"), py::arg("beta"),
        py::arg("eps") = 1e-5f, py::arg("impl") = "avx2");
  t.def("sum_channels_fp32", &sum_channels, py::arg("x"), py::arg("impl") = "avx2");
  t.def("upsample_nearest1d_fp32", &upsample_nearest, py::arg("x"), py::arg("s"));
  t.def("lstm_direction_fp32", &lstm, py::arg("x"), py::arg("w_ih"), py::arg("w_hh"),
        py::arg("b_ih") = py::none(), py::arg("b_hh") = py::none(), py::arg("reverse") = false,
        py::arg("out_stride") = 0, py::arg("impl") = "avx2");
  t.def("sequence_layer", &sequence_layer, py::arg("op"), py::arg("args"), py::arg("tensors"),
        py::arg("inputs"), py::arg("out_size"), py::arg("name") = "node");
  t.def("ada_in_block_rows", &cpu::ada_in_block_rows, py::arg("C"));
}

}  // namespace mi::python
