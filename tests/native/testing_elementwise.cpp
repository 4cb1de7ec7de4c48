#include <omp.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/cpu/activation.h"
#include "backend/cpu/cpu_backend.h"
#include "backend/cpu/elementwise.h"
#include "backend/cpu/pooling.h"
#include "layers/layer_registry.h"
#include "layers/op_kind.h"
#include "testing_arrays.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

void need_ndim(const py::array& a, int n, const char* what) {
  if (a.ndim() != n)
    throw std::invalid_argument(std::string(what) + " must have " + std::to_string(n) + " dims");
}

class DictLayerArgs : public LayerArgs {
 public:
  DictLayerArgs(const py::dict& d, std::string name, int kind)
      : name_(std::move(name)), kind_(kind) {
    for (const auto& [k, v] : d) values_[py::str(k)] = v.cast<double>();
  }
  int get_int(const char* key, int def) const override {
    const auto it = values_.find(key);
    return it == values_.end() ? def : int(it->second);
  }
  float get_float(const char* key, float def) const override {
    const auto it = values_.find(key);
    return it == values_.end() ? def : float(it->second);
  }
  bool get_bool(const char* key, bool def) const override {
    const auto it = values_.find(key);
    return it == values_.end() ? def : it->second != 0.0;
  }
  const std::string& node_name() const override { return name_; }
  int op_kind() const override { return kind_; }

 private:
  std::map<std::string, double> values_;
  std::string name_;
  int kind_;
};

std::unique_ptr<ILayer> make_layer(const std::string& op, const py::dict& args, bool relu,
                                   const std::string& name) {
  const int kind = op_kind_of(op);
  const LayerCreator create = layer_creator(kind);
  if (!create) throw std::invalid_argument("no layer class for op " + op);
  std::unique_ptr<ILayer> layer = create(DictLayerArgs(args, name, kind));
  layer->name = name;
  layer->relu = relu;
  return layer;
}

// (H, W, C) arrays are image tensors; 1-D arrays are flat vectors {n, 1, 1}.
TensorShape shape_of(const py::array& a) {
  if (a.ndim() == 3) return {int32_t(a.shape(2)), int32_t(a.shape(0)), int32_t(a.shape(1))};
  if (a.ndim() == 1) return {int32_t(a.shape(0)), 1, 1};
  throw std::invalid_argument("layer inputs must be (H, W, C) or 1-D arrays");
}

py::tuple layer_output_shape(const std::string& op, const py::dict& args,
                             const std::vector<std::tuple<int, int, int>>& shapes,
                             const std::string& name) {
  std::unique_ptr<ILayer> layer = make_layer(op, args, false, name);
  std::vector<TensorShape> s;
  for (const auto& [c, h, w] : shapes) s.push_back({c, h, w});
  const TensorShape out = layer->output_shape_n(s.data(), int(s.size()));
  return py::make_tuple(out.c, out.h, out.w);
}

// The CPU record without its SiLU operation, registered as a second backend so that a
// layer's own host code can be run without touching the CPU record itself.
BackendOps& cpu_without_silu() {
  static BackendOps* ops = [] {
    static BackendOps copy = cpu::cpu_backend();
    copy.name = "cpu_without_silu";
    copy.priority = -1;
    copy.silu_fp32 = nullptr;
    register_backend(copy);
    return &copy;
  }();
  return *ops;
}

// Makes another backend active for its lifetime.
class ActiveBackend {
 public:
  explicit ActiveBackend(const BackendOps& ops) : saved_(active_backend_name()) {
    select_backend(ops.name);
  }
  ~ActiveBackend() { select_backend(saved_); }

 private:
  std::string saved_;
};

// Runs one layer's shape propagation and forward on copies of the given arrays. With
// `in_place` the output is written over input 0.
py::array run_layer(const std::string& op, const py::dict& args,
                    const std::vector<py::array>& arrays, bool relu, const std::string& name,
                    bool in_place, bool without_silu_op) {
  std::unique_ptr<ILayer> layer = make_layer(op, args, relu, name);
  std::vector<py::array> owned;
  std::vector<TensorRef> refs;
  std::vector<TensorShape> shapes;
  for (const py::array& a : arrays) {
    py::array c = py::array::ensure(a, py::array::c_style);
    c = py::array(c.dtype(), std::vector<py::ssize_t>(c.shape(), c.shape() + c.ndim()), c.data());
    owned.push_back(c);
    shapes.push_back(shape_of(c));
    refs.push_back(TensorRef{c.mutable_data(), 0, uint64_t(c.nbytes()), shapes.back()});
  }
  const TensorShape planned = layer->output_shape_n(shapes.data(), int(shapes.size()));
  const bool int8_out = layer->output_dtype() == kInt8;
  const size_t elem = int8_out ? 1 : 4;
  std::vector<uint8_t> out_bytes(size_t(planned.count()) * elem + 1);
  BufferView out{out_bytes.data(), 0, out_bytes.size()};
  if (in_place) {
    if (refs.empty() || size_t(owned[0].nbytes()) < size_t(planned.count()) * elem)
      throw std::invalid_argument("in_place needs an input at least as large as the output");
    out = BufferView{refs[0].data, 0, refs[0].size};
  }
  RunContext ctx;
  TensorShape got;
  {
    std::unique_ptr<ActiveBackend> guard;
    if (without_silu_op) guard = std::make_unique<ActiveBackend>(cpu_without_silu());
    got = layer->forward(refs.data(), int(refs.size()), out, ctx);
  }
  if (!(got == planned)) throw std::runtime_error("forward shape differs from the planned shape");
  const std::vector<py::ssize_t> shape{got.h, got.w, got.c};
  py::array result(int8_out ? py::dtype::of<int8_t>() : py::dtype::of<float>(), shape);
  std::memcpy(result.mutable_data(), out.data, size_t(got.count()) * elem);
  return result;
}

Array<float> unary(const std::string& fn, const Array<float>& x, bool ref, float alpha,
                   bool in_place) {
  Array<float> out = new_array<float>(dims(x));
  const float* in = x.data();
  if (in_place) {
    std::memcpy(out.mutable_data(), x.data(), size_t(x.size()) * sizeof(float));
    in = out.data();
  }
  float* o = out.mutable_data();
  const int n = int(x.size());
  using Fn = void (*)(const float*, float*, int, void*);
  static const std::map<std::string, std::pair<Fn, Fn>> table{
      {"exp", {cpu::exp_fp32_avx2, cpu::exp_fp32_ref}},
      {"sin", {cpu::sin_fp32_avx2, cpu::sin_fp32_ref}},
      {"sigmoid", {cpu::sigmoid_fp32_avx2, cpu::sigmoid_fp32_ref}},
      {"tanh", {cpu::tanh_fp32_avx2, cpu::tanh_fp32_ref}},
      {"silu", {cpu::silu_fp32_avx2, cpu::silu_fp32_ref}},
  };
  if (fn == "leaky_relu") {
    (ref ? cpu::leaky_relu_fp32_ref : cpu::leaky_relu_fp32_avx2)(in, o, n, alpha, nullptr);
  } else if (fn == "gelu") {
    if (!in_place) std::memcpy(o, in, size_t(n) * sizeof(float));
    (ref ? cpu::gelu_fp32_ref : cpu::gelu_fp32_avx2)(o, n, nullptr);
  } else {
    const auto it = table.find(fn);
    if (it == table.end()) throw std::invalid_argument("unknown activation " + fn);
    (ref ? it->second.second : it->second.first)(in, o, n, nullptr);
  }
  return out;
}

template <class T>
Array<T> maxpool(const Array<T>& x, int kH, int kW, int sh, int sw, int ph, int pw, bool ref,
                 bool planar) {
  need_ndim(x, 3, "maxpool input");
  const int C = int(planar ? x.shape(0) : x.shape(2));
  const int H = int(planar ? x.shape(1) : x.shape(0));
  const int W = int(planar ? x.shape(2) : x.shape(1));
  const int64_t Ho = std::max<int64_t>(0, cpu::pooled_extent(H, kH, sh, ph));
  const int64_t Wo = std::max<int64_t>(0, cpu::pooled_extent(W, kW, sw, pw));
  Array<T> out = planar ? Array<T>({py::ssize_t(C), py::ssize_t(Ho), py::ssize_t(Wo)})
                        : Array<T>({py::ssize_t(Ho), py::ssize_t(Wo), py::ssize_t(C)});
  using Fn = void (*)(const T*, T*, int, int, int, int, int, int, int, int, int, void*);
  Fn fn;
  if constexpr (std::is_same_v<T, float>)
    fn = ref ? cpu::maxpool_fp32_ref : cpu::maxpool_fp32_avx2;
  else if (planar)
    fn = ref ? cpu::maxpool_int8_planar_ref : cpu::maxpool_int8_planar_avx2;
  else
    fn = ref ? cpu::maxpool_int8_ref : cpu::maxpool_int8_avx2;
  fn(x.data(), out.mutable_data(), C, H, W, kH, kW, sh, sw, ph, pw, nullptr);
  return out;
}

}  // namespace

void bind_elementwise_testing(py::module_& t) {
  t.def(
      "add_fp32",
      [](const Array<float>& a, const Array<float>& b, bool relu, bool ref, bool in_place) {
        if (b.size() < a.size()) throw std::invalid_argument("b is shorter than a");
        Array<float> out = new_array<float>(dims(a));
        const float* pa = a.data();
        if (in_place) {
          std::memcpy(out.mutable_data(), a.data(), size_t(a.size()) * sizeof(float));
          pa = out.data();
        }
        (ref ? cpu::add_fp32_ref : cpu::add_fp32_avx2)(pa, b.data(), out.mutable_data(),
                                                       int(a.size()), relu, nullptr);
        return out;
      },
      py::arg("a"), py::arg("b"), py::arg("relu") = false, py::arg("ref") = false,
      py::arg("in_place") = false);
  t.def(
      "add_int8",
      [](const Array<int8_t>& a, const Array<int8_t>& b, float s1, int z1, float s2, int z2,
         float so, int zo, bool ref) {
        if (b.size() < a.size()) throw std::invalid_argument("b is shorter than a");
        Array<int8_t> out = new_array<int8_t>(dims(a));
        (ref ? cpu::add_int8_ref : cpu::add_int8_avx2)(a.data(), b.data(), s1, z1, s2, z2, so, zo,
                                                       out.mutable_data(), int(a.size()), nullptr);
        return out;
      },
      py::arg("a"), py::arg("b"), py::arg("in1_scale"), py::arg("in1_zp"), py::arg("in2_scale"),
      py::arg("in2_zp"), py::arg("out_scale"), py::arg("out_zp"), py::arg("ref") = false);
  t.def(
      "scale_fp32",
      [](const Array<float>& x, float s, bool ref) {
        Array<float> out = new_array<float>(dims(x));
        (ref ? cpu::scale_fp32_ref : cpu::scale_fp32_avx2)(x.data(), out.mutable_data(),
                                                           size_t(x.size()), s, nullptr);
        return out;
      },
      py::arg("x"), py::arg("s"), py::arg("ref") = false);
  t.def(
      "add_inplace_fp32",
      [](const Array<float>& dst, const Array<float>& src, bool ref) {
        if (src.size() < dst.size()) throw std::invalid_argument("src is shorter than dst");
        Array<float> out = new_array<float>(dims(dst));
        std::memcpy(out.mutable_data(), dst.data(), size_t(dst.size()) * sizeof(float));
        (ref ? cpu::add_inplace_fp32_ref : cpu::add_inplace_fp32_avx2)(
            out.mutable_data(), src.data(), size_t(dst.size()));
        return out;
      },
      py::arg("dst"), py::arg("src"), py::arg("ref") = false);
  t.def(
      "add_bias_rows_fp32",
      [](const Array<float>& x, const Array<float>& bias, bool ref) {
        need_ndim(x, 2, "add_bias_rows input");
        if (bias.size() < x.shape(1)) throw std::invalid_argument("bias is shorter than a row");
        Array<float> out = new_array<float>(dims(x));
        std::memcpy(out.mutable_data(), x.data(), size_t(x.size()) * sizeof(float));
        (ref ? cpu::add_bias_rows_fp32_ref : cpu::add_bias_rows_fp32_avx2)(
            out.mutable_data(), bias.data(), int(x.shape(0)), int(x.shape(1)), nullptr);
        return out;
      },
      py::arg("x"), py::arg("bias"), py::arg("ref") = false);
  t.def("activation", &unary, py::arg("fn"), py::arg("x"), py::arg("ref") = false,
        py::arg("alpha") = 0.2f, py::arg("in_place") = false);
  t.def("maxpool_fp32", &maxpool<float>, py::arg("x"), py::arg("kH"), py::arg("kW"),
        py::arg("stride_h"), py::arg("stride_w"), py::arg("pad_h"), py::arg("pad_w"),
        py::arg("ref") = false, py::arg("planar") = false);
  t.def("maxpool_int8", &maxpool<int8_t>, py::arg("x"), py::arg("kH"), py::arg("kW"),
        py::arg("stride_h"), py::arg("stride_w"), py::arg("pad_h"), py::arg("pad_w"),
        py::arg("ref") = false, py::arg("planar") = false);
  t.def(
      "avgpool_fp32",
      [](const Array<float>& x, bool ref) {
        need_ndim(x, 3, "avgpool input");
        Array<float> out({x.shape(2)});
        (ref ? cpu::avgpool_fp32_ref : cpu::avgpool_fp32_avx2)(x.data(), out.mutable_data(),
                                                               int(x.shape(2)), int(x.shape(0)),
                                                               int(x.shape(1)), nullptr);
        return out;
      },
      py::arg("x"), py::arg("ref") = false);
  t.def(
      "avgpool_int8",
      [](const Array<int8_t>& x, float in_scale, int in_zp, float out_scale, int out_zp, bool ref,
         bool planar) {
        need_ndim(x, 3, "avgpool input");
        const int C = int(planar ? x.shape(0) : x.shape(2));
        const int H = int(planar ? x.shape(1) : x.shape(0));
        const int W = int(planar ? x.shape(2) : x.shape(1));
        Array<int8_t> out({py::ssize_t(C)});
        using Fn = void (*)(const int8_t*, float, int, float, int, int8_t*, int, int, int, void*);
        const Fn fn = planar ? (ref ? cpu::avgpool_int8_planar_ref : cpu::avgpool_int8_planar_avx2)
                             : (ref ? cpu::avgpool_int8_ref : cpu::avgpool_int8_avx2);
        fn(x.data(), in_scale, in_zp, out_scale, out_zp, out.mutable_data(), C, H, W, nullptr);
        return out;
      },
      py::arg("x"), py::arg("in_scale"), py::arg("in_zp"), py::arg("out_scale"), py::arg("out_zp"),
      py::arg("ref") = false, py::arg("planar") = false);
  t.def(
      "upsample_bilinear_fp32",
      [](const Array<float>& x, int H_out, int W_out, bool ref) {
        need_ndim(x, 3, "upsample input");
        Array<float> out({py::ssize_t(H_out), py::ssize_t(W_out), x.shape(2)});
        (ref ? cpu::upsample_bilinear_fp32_ref : cpu::upsample_bilinear_fp32_avx2)(
            x.data(), out.mutable_data(), int(x.shape(2)), int(x.shape(0)), int(x.shape(1)), H_out,
            W_out, nullptr);
        return out;
      },
      py::arg("x"), py::arg("H_out"), py::arg("W_out"), py::arg("ref") = false);
  t.def("run_layer", &run_layer, py::arg("op"), py::arg("args"), py::arg("inputs"),
        py::arg("relu") = false, py::arg("name") = "node", py::arg("in_place") = false,
        py::arg("without_silu_op") = false);
  t.def("layer_output_shape", &layer_output_shape, py::arg("op"), py::arg("args"),
        py::arg("shapes"), py::arg("name") = "node");
}

}  // namespace mi::python
