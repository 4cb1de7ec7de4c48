// Convolution kernels and layers exposed to the test suite with NumPy arrays. Images are
// [H, W, C] arrays, weights [C_out, C_in/groups, kH, kW].
#include <omp.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "backend/backend.h"
#include "backend/cpu/conv2d.h"
#include "backend/cpu/conv_requant.h"
#include "backend/cpu/cpu_backend.h"
#include "backend/cpu/depthwise.h"
#include "backend/cpu/winograd.h"
#include "layers/conv1d.h"
#include "layers/conv2d.h"
#include "layers/layer_registry.h"
#include "layers/op_kind.h"
#include "testing_arrays.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

class DictArgs : public LayerArgs {
 public:
  DictArgs(std::map<std::string, double> v, std::string name, int kind)
      : v_(std::move(v)), name_(std::move(name)), kind_(kind) {}
  int get_int(const char* k, int d) const override {
    auto it = v_.find(k);
    return it == v_.end() ? d : int(it->second);
  }
  float get_float(const char* k, float d) const override {
    auto it = v_.find(k);
    return it == v_.end() ? d : float(it->second);
  }
  bool get_bool(const char* k, bool d) const override {
    auto it = v_.find(k);
    return it == v_.end() ? d : it->second != 0;
  }
  const std::string& node_name() const override { return name_; }
  int op_kind() const override { return kind_; }

 private:
  std::map<std::string, double> v_;
  std::string name_;
  int kind_;
};

std::unique_ptr<ILayer> make_layer(const std::string& op, const std::string& name,
                                   const std::map<std::string, double>& args, bool relu,
                                   const py::dict& tensors) {
  const int kind = op_kind_of(op);
  LayerCreator create = layer_creator(kind);
  if (!create) throw std::runtime_error("no layer class for " + op);
  std::unique_ptr<ILayer> layer = create(DictArgs(args, name, kind));
  layer->name = name;
  layer->relu = relu;
  layer->load_weights(
      [&](const std::string& n, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
        if (!tensors.contains(n)) return false;
        py::array a = py::array::ensure(tensors[py::str(n)], py::array::c_style);
        shape.assign(a.shape(), a.shape() + a.ndim());
        bytes.resize(size_t(a.nbytes()));
        std::memcpy(bytes.data(), a.data(), bytes.size());
        return true;
      });
  return layer;
}

// Loads the layer from `tensors`, plans its scratch, runs it once on `x` ([H, W, C]).
py::tuple run_layer(const std::string& op, const std::string& name,
                    const std::map<std::string, double>& args, const py::dict& tensors, py::array x,
                    bool relu) {
  std::unique_ptr<ILayer> layer = make_layer(op, name, args, relu, tensors);
  if (x.ndim() != 3) throw std::runtime_error("input must be [H, W, C]");
  const bool int8_in = layer->output_dtype() == kInt8;
  py::array in = int8_in ? py::array(Array<int8_t>::ensure(x)) : py::array(Array<float>::ensure(x));
  const TensorShape s{int32_t(in.shape(2)), int32_t(in.shape(0)), int32_t(in.shape(1))};
  const TensorShape o = layer->output_shape(s);
  WorkspaceRequest req;
  layer->plan_workspace(s, req);
  std::vector<std::vector<uint8_t>> scratch(kScratchSlots);
  RunContext ctx;
  for (int i = 0; i < kScratchSlots; ++i) {
    scratch[i].resize(req.bytes[i]);
    ctx.scratch[i] = BufferView{scratch[i].empty() ? nullptr : scratch[i].data(), 0, req.bytes[i]};
  }
  py::array out = int8_in ? py::array(new_array<int8_t>({o.h, o.w, o.c}))
                          : py::array(new_array<float>({o.h, o.w, o.c}));
  TensorRef ref{const_cast<void*>(in.data()), 0, uint64_t(in.nbytes()), s};
  BufferView ov{out.mutable_data(), 0, uint64_t(out.nbytes())};
  const TensorShape r = layer->forward(&ref, 1, ov, ctx);
  if (!(r == o)) throw std::runtime_error("forward shape differs from output_shape");
  const char* path = "";
  if (auto* f = dynamic_cast<ConvFp32*>(layer.get())) path = conv_path_name(f->path());
  if (auto* q = dynamic_cast<ConvInt8*>(layer.get())) path = conv_path_name(q->path());
  if (auto* c = dynamic_cast<Conv1dFp32*>(layer.get())) path = conv1d_path_name(c->path());
  return py::make_tuple(out, std::string(path));
}

py::dict int8_prepared(const std::string& name, const std::map<std::string, double>& args,
                       const py::dict& tensors) {
  std::unique_ptr<ILayer> layer = make_layer("conv_int8", name, args, false, tensors);
  auto& q = static_cast<ConvInt8&>(*layer);
  py::dict d;
  d["multiplier"] = q.multiplier;
  d["shift"] = q.shift;
  d["winograd_ready"] = q.winograd_ready;
  d["packed_is_view"] = q.packed.data == q.packed_oihw.data;
  if (q.winograd_ready) {
    d["winograd_scales"] = std::vector<float>(q.winograd_scales, q.winograd_scales + 16);
    d["winograd_bias"] = q.winograd_bias;
  }
  return d;
}

Array<float> conv_fp32_kernel(Array<float> x, Array<float> w, std::optional<Array<float>> bias,
                              std::vector<int> stride, std::vector<int> pad, std::vector<int> dil,
                              bool relu, bool prepack, bool scratch) {
  const int H = int(x.shape(0)), W = int(x.shape(1)), C = int(x.shape(2));
  const int N = int(w.shape(0)), kH = int(w.shape(2)), kW = int(w.shape(3));
  const int Ho = cpu::conv_out_size(H, pad[0], dil[0], kH, stride[0]);
  const int Wo = cpu::conv_out_size(W, pad[1], dil[1], kW, stride[1]);
  const BackendOps& ops = cpu::cpu_backend();
  Array<float> out = new_array<float>({Ho, Wo, N});
  std::vector<float> m(size_t(w.size()));
  cpu::reorder_kernel_position(w.data(), m.data(), N, C, kH, kW);
  float* pk = prepack ? ops.pack_weights_fp32(m.data(), N, C * kH * kW) : nullptr;
  std::vector<float> s(scratch ? size_t(Ho) * Wo * C * kH * kW : 0);
  cpu::conv_fp32(x.data(), w.data(), data_or_null(bias), out.mutable_data(), C, H, W, N, kH, kW,
                 stride[0], stride[1], pad[0], pad[1], relu, pk, scratch ? s.data() : nullptr,
                 dil[0], dil[1], nullptr);
  if (pk) ops.free_packed_fp32(pk);
  return out;
}

Array<float> winograd_fp32_kernel(Array<float> x, Array<float> w, std::optional<Array<float>> bias,
                                  bool relu) {
  const int H = int(x.shape(0)), W = int(x.shape(1)), C = int(x.shape(2)), N = int(w.shape(0));
  const BackendOps& ops = cpu::cpu_backend();
  std::vector<float> U(size_t(16) * N * C);
  float u[16];
  for (int o = 0; o < N; ++o)
    for (int i = 0; i < C; ++i) {
      cpu::winograd_kernel_transform(w.data() + (size_t(o) * C + i) * 9, u);
      for (int k = 0; k < 16; ++k) U[(size_t(k) * N + o) * C + i] = u[k];
    }
  std::vector<float*> packs(16);
  const void* pk[16];
  for (int k = 0; k < 16; ++k)
    pk[k] = packs[k] = ops.pack_weights_fp32(&U[size_t(k) * N * C], N, C);
  Array<float> out = new_array<float>({H, W, N});
  cpu::conv_winograd_fp32(x.data(), pk, data_or_null(bias), out.mutable_data(), C, H, W, N, relu,
                          nullptr, nullptr, nullptr);
  for (float* p : packs) ops.free_packed_fp32(p);
  return out;
}

Array<float> kernel_transform(Array<float> g) {
  Array<float> out = new_array<float>({4, 4});
  cpu::winograd_kernel_transform(g.data(), out.mutable_data());
  return out;
}

Array<float> win_in_fp32(Array<float> x, bool avx) {
  const int H = int(x.shape(0)), W = int(x.shape(1)), C = int(x.shape(2));
  const int T = int(cpu::winograd_tiles(H, W));
  Array<float> V = new_array<float>({16, T, C});
  if (avx)
    cpu::winograd_input_fp32_avx2(x.data(), C, H, W, 0, T, V.mutable_data());
  else
    cpu::winograd_input_fp32_ref(x.data(), C, H, W, 0, T, 0, C, V.mutable_data());
  return V;
}

Array<float> win_out_fp32(Array<float> Mw, std::optional<Array<float>> bias, bool relu, int H,
                          int W, bool avx) {
  const int T = int(Mw.shape(1)), N = int(Mw.shape(2));
  Array<float> out = new_array<float>({H, W, N});
  if (avx)
    cpu::winograd_output_fp32_avx2(Mw.data(), data_or_null(bias), relu, out.mutable_data(), N, H, W,
                                   0, T);
  else
    cpu::winograd_output_fp32_ref(Mw.data(), data_or_null(bias), relu, out.mutable_data(), N, H, W,
                                  0, T, 0, N);
  return out;
}

Array<int8_t> win_in_int8(Array<int8_t> x, int zp, bool avx) {
  const int H = int(x.shape(0)), W = int(x.shape(1)), C = int(x.shape(2));
  const int T = int(cpu::winograd_tiles(H, W));
  Array<int8_t> V = new_array<int8_t>({16, T, C});
  if (avx)
    cpu::winograd_input_int8_avx2(x.data(), int8_t(zp), C, H, W, 0, T, V.mutable_data());
  else
    cpu::winograd_input_int8_ref(x.data(), int8_t(zp), C, H, W, 0, T, 0, C, V.mutable_data());
  return V;
}

Array<int8_t> win_out_int8(Array<int32_t> P, std::vector<int32_t> pos_mult,
                           std::vector<int32_t> pos_shift, Array<int64_t> bias, Array<int32_t> mult,
                           Array<int32_t> shift, int out_zp, int H, int W, bool avx) {
  const int T = int(P.shape(1)), N = int(P.shape(2));
  cpu::WinogradInt8Out q{};
  for (int k = 0; k < 16; ++k) {
    q.pos_multiplier[k] = pos_mult.at(k);
    q.pos_shift[k] = pos_shift.at(k);
  }
  q.bias = bias.data();
  q.multiplier = mult.data();
  q.shift = shift.data();
  q.out_zp = int8_t(out_zp);
  Array<int8_t> out = new_array<int8_t>({H, W, N});
  if (avx)
    cpu::winograd_output_int8_avx2(P.data(), q, out.mutable_data(), N, H, W, 0, T);
  else
    cpu::winograd_output_int8_ref(P.data(), q, out.mutable_data(), N, H, W, 0, T, 0, N);
  return out;
}

// Tap-major copy of a [C, 1, kH, kW] depthwise weight.
template <class T>
std::vector<T> tap_major(const Array<T>& w) {
  const int C = int(w.shape(0)), taps = int(w.shape(2) * w.shape(3));
  std::vector<T> out(size_t(C) * taps);
  for (int c = 0; c < C; ++c)
    for (int t = 0; t < taps; ++t) out[size_t(t) * C + c] = w.data()[size_t(c) * taps + t];
  return out;
}

Array<float> dw_fp32(Array<float> x, Array<float> w, std::optional<Array<float>> bias,
                     std::vector<int> stride, std::vector<int> pad, std::vector<int> dil, bool relu,
                     bool avx) {
  const int H = int(x.shape(0)), W = int(x.shape(1)), C = int(x.shape(2));
  const int kH = int(w.shape(2)), kW = int(w.shape(3));
  const std::vector<float> wt = tap_major(w);
  const int Ho = cpu::depthwise_out_size(H, pad[0], dil[0], kH, stride[0]);
  const int Wo = cpu::depthwise_out_size(W, pad[1], dil[1], kW, stride[1]);
  Array<float> out = new_array<float>({Ho, Wo, C});
  const cpu::DepthwiseFp32Args a{
      x.data(), wt.data(), data_or_null(bias), out.mutable_data(), C,      H,      W,
      kH,       kW,        stride[0],          stride[1],          pad[0], pad[1], dil[0],
      dil[1],   relu};
  if (avx)
    cpu::depthwise_fp32(a);
  else
    cpu::depthwise_fp32_ref(a, 0, Ho, 0, C);
  return out;
}

Array<int8_t> dw_int8(Array<int8_t> x, Array<int8_t> w, Array<int32_t> bias, Array<int32_t> mult,
                      Array<int32_t> shift, int in_zp, int out_zp, int stride, bool avx) {
  const int H = int(x.shape(0)), W = int(x.shape(1)), C = int(x.shape(2));
  const std::vector<int8_t> wt = tap_major(w);
  const int Ho = cpu::depthwise_out_size(H, 1, 1, 3, stride);
  const int Wo = cpu::depthwise_out_size(W, 1, 1, 3, stride);
  Array<int8_t> out = new_array<int8_t>({Ho, Wo, C});
  const cpu::Depthwise3x3Int8Args a{x.data(),
                                    wt.data(),
                                    bias.data(),
                                    mult.data(),
                                    shift.data(),
                                    int8_t(in_zp),
                                    int8_t(out_zp),
                                    out.mutable_data(),
                                    C,
                                    H,
                                    W,
                                    stride};
  if (avx)
    cpu::depthwise3x3_int8(a);
  else
    cpu::depthwise3x3_int8_ref(a, 0, Ho, 0, C);
  return out;
}

}  // namespace

void bind_conv_testing(py::module_& t) {
  t.def("conv_run_layer", &run_layer, py::arg("op"), py::arg("name"), py::arg("args"),
        py::arg("tensors"), py::arg("x"), py::arg("relu") = false);
  t.def("conv_int8_prepared", &int8_prepared);
  t.def("conv_fp32", &conv_fp32_kernel, py::arg("x"), py::arg("w"), py::arg("bias"),
        py::arg("stride"), py::arg("pad"), py::arg("dil"), py::arg("relu") = false,
        py::arg("prepack") = true, py::arg("scratch") = true);
  t.def("conv_winograd_fp32", &winograd_fp32_kernel, py::arg("x"), py::arg("w"), py::arg("bias"),
        py::arg("relu") = false);
  t.def("winograd_kernel_transform", &kernel_transform);
  t.def("winograd_input_fp32", &win_in_fp32);
  t.def("winograd_output_fp32", &win_out_fp32);
  t.def("winograd_input_int8", &win_in_int8);
  t.def("winograd_output_int8", &win_out_int8);
  t.def("depthwise_fp32", &dw_fp32);
  t.def("depthwise3x3_int8", &dw_int8);
  t.def("requant_one_step", &cpu::requant_one_step);
  t.def("requant_two_step", &cpu::requant_two_step);
}

}  // namespace mi::python
