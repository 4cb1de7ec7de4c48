#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <functional>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>

#include "python/bindings.h"
#include "python/text.h"
#include "runtime/inference_model.h"

namespace py = pybind11;

namespace mi::python {

namespace {

const char* const kNoInputs = "Model has no declared inputs.";

const InputSpec& first_input(const InferenceModel& m) {
  if (m.inputs().empty()) throw std::runtime_error(kNoInputs);
  return m.inputs().front();
}

std::string dims_text(const std::vector<int32_t>& dims) {
  std::string s;
  for (size_t i = 0; i < dims.size(); ++i) s += (i ? "," : "") + std::to_string(dims[i]);
  return s;
}

int64_t product(const std::vector<int32_t>& dims) {
  return std::accumulate(dims.begin(), dims.end(), int64_t(1), std::multiplies<int64_t>());
}

// The dims handed to the engine for an array bound to `in`. The element count must be what
// those dims need: the engine copies exactly that many elements. When the declared width is
// variable too, an image array supplies it: the element count alone would run an H x W
// image as (H*W) x 1.
std::vector<int32_t> engine_dims(const InputSpec& in, const py::array& a) {
  const int64_t n = int64_t(a.size());
  const std::vector<int32_t>& d = in.shape;
  if (d.size() >= 3 && d[1] == 0 && d.back() > 0 && a.ndim() == 3 && a.shape(2) == d.back() &&
      a.shape(0) > 0 && a.shape(1) > 0 && a.shape(0) <= INT32_MAX && a.shape(1) <= INT32_MAX &&
      (d[0] == 0 || d[0] == a.shape(0)))
    return {int32_t(a.shape(0)), int32_t(a.shape(1)), d.back()};
  const bool variable = std::find(d.begin(), d.end(), 0) != d.end();
  if (!variable) {
    if (product(d) != n)
      throw std::runtime_error("input '" + in.name + "' expects " + std::to_string(product(d)) +
                               " elements (shape [" + dims_text(d) + "]), got " +
                               std::to_string(n));
    return d;
  }
  const int64_t c = d.back();
  if (c == 0)
    throw std::runtime_error("input '" + in.name + "' has a variable last dim (shape [" +
                             dims_text(d) + "]): the element count " + std::to_string(n) +
                             " cannot determine it");
  const int64_t w = std::max<int64_t>(d.size() >= 3 ? d[1] : 1, 1);
  if (n <= 0 || n % (w * c) != 0)
    throw std::runtime_error("input '" + in.name + "' expects a positive multiple of " +
                             std::to_string(w * c) + " elements (shape [" + dims_text(d) +
                             "]), got " + std::to_string(n));
  const int64_t h = n / (w * c);
  if (h > INT32_MAX) throw std::runtime_error("input '" + in.name + "' is too large");
  if (w >= 2) return {int32_t(h), int32_t(w), int32_t(c)};
  if (h < 2) return {int32_t(c)};
  return {int32_t(h), int32_t(c)};
}

const InputSpec* declared(const InferenceModel& m, const std::string& name) {
  for (const InputSpec& in : m.inputs())
    if (in.name == name) return &in;
  return nullptr;
}

// A 1-D float32 array of the tensor's values. Float results hand their storage to NumPy
// without a copy; int8 results are converted value by value.
py::array_t<float> to_float_array(HostTensor&& t) {
  if (t.dtype == "int8") {
    py::array_t<float> out(py::ssize_t(t.storage.size()));
    float* dst = out.mutable_data();
    const auto* src = reinterpret_cast<const int8_t*>(t.storage.data());
    for (size_t i = 0; i < t.storage.size(); ++i) dst[i] = float(src[i]);
    return out;
  }
  auto* owned = new std::vector<uint8_t>(std::move(t.storage));
  py::capsule free_when_done(owned, [](void* p) { delete static_cast<std::vector<uint8_t>*>(p); });
  return py::array_t<float>(py::ssize_t(owned->size() / sizeof(float)),
                            reinterpret_cast<float*>(owned->data()), free_when_done);
}

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using Int8Array = py::array_t<int8_t, py::array::c_style | py::array::forcecast>;

py::array_t<float> forward_single(InferenceModel& m, const py::array& input, int64_t seq_pos) {
  if (input.ndim() == 0) throw std::runtime_error("Input array must have at least 1 dimension.");
  const InputSpec& in = first_input(m);
  const char kind = input.dtype().kind();
  py::array converted;
  HostTensor t;
  if (kind == 'f') {
    converted = FloatArray::ensure(input);
    t.dtype = "float32";
  } else if (kind == 'i' || kind == 'b') {
    converted = Int8Array::ensure(input);
    t.dtype = "int8";
  } else {
    throw std::runtime_error("Unsupported array dtype '" +
                             py::str(input.dtype()).cast<std::string>() +
                             "'. Use float32 for FP32 models or int8 for INT8 models.");
  }
  if (!converted) throw py::error_already_set();
  t.shape = engine_dims(in, converted);
  t.data = converted.data();
  std::map<std::string, HostTensor> results = m.run({{in.name, std::move(t)}}, seq_pos);
  if (m.output_names().empty()) return py::array_t<float>(0);
  const auto it = results.find(m.output_names().front());
  return it == results.end() ? py::array_t<float>(0) : to_float_array(std::move(it->second));
}

py::dict forward_multi(InferenceModel& m, const py::dict& inputs, int64_t seq_pos) {
  std::vector<py::array> keep;
  std::map<std::string, HostTensor> given;
  for (const auto& item : inputs) {
    const std::string name = item.first.cast<std::string>();
    const InputSpec* in = declared(m, name);
    // An int8 input gets int8 values: float32 bytes copied into an int8 slot would be
    // read as unrelated codes.
    const bool int8 = in && in->dtype == "int8";
    py::array a = int8 ? py::array(Int8Array::ensure(item.second))
                       : py::array(FloatArray::ensure(item.second));
    if (!a) throw py::error_already_set();
    HostTensor t;
    t.dtype = int8 ? "int8" : "float32";
    if (in)
      t.shape = engine_dims(*in, a);
    else
      t.shape.assign(a.shape(), a.shape() + a.ndim());
    t.data = a.data();
    keep.push_back(std::move(a));
    given[name] = std::move(t);
  }
  py::dict out;
  for (auto& [name, t] : m.run(given, seq_pos)) out[to_text(name)] = to_float_array(std::move(t));
  return out;
}

py::str model_repr(const InferenceModel& m) {
  const std::string dims = m.inputs().empty() ? "" : dims_text(m.inputs().front().shape);
  return to_text("<InferenceModel name='" + m.model_name() + "' input=[" + dims + "]>");
}

int first_dim(const InferenceModel& m, size_t i) {
  const InputSpec& in = first_input(m);
  return in.shape.size() > i ? in.shape[i] : 1;
}

}  // namespace

void bind_model(py::module_& m) {
  py::class_<InputSpec>(m, "InputSpec",
                        "Descriptor for one model input (shape, dtype, and quantization params).")
      .def_property_readonly(
          "name", [](const InputSpec& s) { return to_text(s.name); },
          "ModelIOTensor name in the arch graph.")
      .def_readonly("shape", &InputSpec::shape,
                    "Input shape in NHWC order, e.g. [224,224,3] or [80] for flat. 0 in a "
                    "dimension means variable (supplied at runtime).")
      .def_readonly("scale", &InputSpec::scale, "INT8 quantization scale.")
      .def_readonly("zp", &InputSpec::zp, "INT8 zero point.")
      .def_property_readonly(
          "dtype", [](const InputSpec& s) { return to_text(s.dtype); }, "'int8' or 'float32'.")
      .def("__repr__", [](const InputSpec& s) {
        return to_text("<InputSpec name='" + s.name + "' shape=[" + dims_text(s.shape) +
                       "] dtype=" + s.dtype + ">");
      });

  py::class_<InferenceModel>(
      m, "InferenceModel",
      "Generic graph-based inference model.\n\nLoads a JSON architecture file and a W1X1 binary "
      "weights file,\nthen exposes a ``forward()`` method for running inference.\n\nExample "
      "(single input, float32 model)::\n\n    import numpy as np, model_inference as mi\n    "
      "model = mi.InferenceModel('model_defs/resnet50_fp32_arch.json',\n                       "
      "       'weights/resnet50_fp32.bin')\n    x = np.zeros((224, 224, 3), "
      "dtype=np.float32)\n    logits = model.forward(x)\n\nExample (multi-input)::\n\n    "
      "outputs = model.forward({'x1': arr1, 'x2': arr2})\n    y1 = outputs['y1']\n")
      .def(py::init([](const std::string& arch, const std::string& weights) {
             auto model = std::make_unique<InferenceModel>(arch, weights);
             model->set_profile_enabled(true);
             return model;
           }),
           py::arg("arch_path"), py::arg("weights_path"),
           "Load model from a JSON arch file and a W1X1 binary weights file.\n\nRaises "
           "RuntimeError if either file cannot be opened.")
      .def("forward", &forward_single, py::arg("input"), py::kw_only(), py::arg("seq_pos") = 0,
           "Run a single-input forward pass.\n\nArgs:\n    input: numpy array (float32 for FP32 "
           "models, int8 for INT8 models).\n           Shape is inferred from the arch spec; "
           "flat 1-D arrays are accepted.\n\nReturns:\n    1-D float32 numpy array (e.g. class "
           "logits).\n\nIncremental decoding (models with a key/value cache, see "
           "``is_stateful``)::\n\n    seq_pos: position of the first given token (default 0, "
           "recompute from\n             the start). P runs the tokens at positions P, P+1, ... "
           "against\n             the rows cached below P; P must not exceed the positions\n"
           "             already filled.")
      .def("forward", &forward_multi, py::arg("inputs"), py::kw_only(), py::arg("seq_pos") = 0,
           "Run a multi-input / multi-output forward pass.\n\nArgs:\n    inputs: dict mapping "
           "tensor name \u2192 numpy array (float32).\n\nReturns:\n    dict mapping output tensor "
           "name \u2192 1-D float32 numpy array.\n\n``seq_pos`` places the tokens as for the "
           "single-input form.")
      .def_property_readonly(
          "model_name", [](const InferenceModel& mdl) { return to_text(mdl.model_name()); },
          "Model name string from the arch JSON.")
      .def_property_readonly("input_count", &InferenceModel::input_count,
                             "Number of declared model inputs.")
      .def_property_readonly("inputs", &InferenceModel::inputs,
                             "List of InputSpec descriptors (one per model input).")
      .def_property_readonly(
          "output_names", [](const InferenceModel& mdl) { return to_text(mdl.output_names()); },
          "List of declared output tensor names.")
      .def_property_readonly(
          "is_fp32", [](const InferenceModel& mdl) { return first_input(mdl).dtype == "float32"; },
          "True when the first declared input is float32.")
      .def_property_readonly(
          "input_h", [](const InferenceModel& mdl) { return first_dim(mdl, 0); },
          "First input height in NHWC layout.")
      .def_property_readonly(
          "input_w", [](const InferenceModel& mdl) { return first_dim(mdl, 1); },
          "First input width in NHWC layout.")
      .def_property_readonly(
          "input_c", [](const InferenceModel& mdl) { return first_dim(mdl, 2); },
          "First input channel count in NHWC layout.")
      .def_property_readonly("num_classes", &InferenceModel::num_classes,
                             "Classifier class-count hint. Returns 1000 for ImageNet classifier "
                             "models, otherwise 0.")
      .def(
          "op_profile", [](const InferenceModel& mdl) { return to_text(mdl.op_profile()); },
          "Return per-op accumulated timing as dict[str, float] (milliseconds).")
      .def(
          "layer_profile", [](const InferenceModel& mdl) { return to_text(mdl.layer_profile()); },
          "Return per-layer accumulated timing as dict[str, float] (milliseconds).")
      .def("set_profile_enabled", &InferenceModel::set_profile_enabled, py::arg("enabled"),
           "Enable or disable per-op and per-layer profiling.")
      .def_property_readonly("profile_enabled", &InferenceModel::profile_enabled,
                             "True when profiling is enabled.")
      .def("set_speed", &InferenceModel::set_speed, py::arg("speed"),
           "Set TTS duration speed. 1.0 is normal, larger is faster, smaller is slower.")
      .def_property_readonly("speed", &InferenceModel::speed, "Current TTS duration speed.")
      .def("reset_profile", &InferenceModel::reset_profile, "Clear accumulated profiling timings.")
      .def(
          "reset_state",
          [](InferenceModel& mdl, const std::optional<int64_t>& capacity) {
            mdl.reset_state(capacity.value_or(0));
          },
          py::arg("capacity") = py::none(),
          "Clear the key/value caches of a stateful model.\n\nArgs:\n    capacity: positions "
          "to reserve in each cache (None reserves none;\n              the caches grow as "
          "runs need).\n\nRaises RuntimeError for a negative capacity or one beyond 2^31 - 1.")
      .def_property_readonly("is_stateful", &InferenceModel::is_stateful,
                             "True when the model keeps a key/value cache between forward "
                             "passes\n(decoder graphs), so that ``forward(..., seq_pos=P)`` can "
                             "continue a sequence.")
      .def("__repr__", &model_repr);
}

}  // namespace mi::python
