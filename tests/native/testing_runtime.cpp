#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>

#include "runtime/host_tensor.h"
#include "runtime/inference_model.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

void bind_runtime_testing(py::module_& t) {
  // A model of this module's engine copy, for the hooks below; the shipped module's
  // InferenceModel is a different class.
  py::class_<InferenceModel>(t, "Model", py::module_local())
      .def(py::init<const std::string&, const std::string&>(), py::arg("arch_path"),
           py::arg("weights_path"));
  t.def("plan", [](const InferenceModel& m) {
    std::vector<uint64_t> capacity;
    for (int s = 0; s < m.tensor_count(); ++s) capacity.push_back(m.slot_capacity(s));
    py::dict out;
    out["tensor_count"] = m.tensor_count();
    out["slot_of"] = std::map<std::string, int>(m.slot_of().begin(), m.slot_of().end());
    out["slot_dtype"] = m.slot_dtype();
    out["capacity"] = capacity;
    return out;
  });
  t.def(
      "list_to_shape",
      [](const std::vector<int32_t>& dims, std::optional<std::vector<int32_t>> rt) {
        const TensorShape s = list_to_shape(dims, rt ? &*rt : nullptr);
        return py::make_tuple(s.c, s.h, s.w);
      },
      py::arg("dims"), py::arg("runtime") = py::none());
  t.def("shape_to_list", [](int c, int h, int w) { return shape_to_list(TensorShape{c, h, w}); });
  // Runs the model `repeats` times on its first input without the interpreter lock, so
  // models on different Python threads really run at once; returns the first output. The
  // input's dims are the declared ones unless `dims` is given (the C++ interface accepts
  // any); an int8 array is bound as int8, any other as float32.
  t.def(
      "run_unlocked",
      [](InferenceModel& m, const py::array& x, int repeats,
         std::optional<std::vector<int32_t>> dims) {
        if (m.inputs().empty() || m.output_names().empty())
          throw std::runtime_error("run_unlocked needs a model with an input and an output");
        const bool int8 = x.dtype().kind() == 'i' && x.itemsize() == 1;
        const py::array data =
            int8 ? py::array(py::array_t<int8_t, py::array::c_style>::ensure(x))
                 : py::array(
                       py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(x));
        HostTensor in;
        in.dtype = int8 ? "int8" : "float32";
        in.shape = dims ? *dims : m.inputs().front().shape;
        py::ssize_t count = 1;
        for (int32_t d : in.shape) count *= d;
        if (data.size() != count)
          throw std::runtime_error("run_unlocked: array size does not match the dims");
        in.data = data.data();
        const std::map<std::string, HostTensor> given{{m.inputs().front().name, in}};
        std::vector<uint8_t> out;
        {
          py::gil_scoped_release unlocked;
          for (int r = 0; r < repeats; ++r) out = m.run(given).at(m.output_names().front()).storage;
        }
        py::array_t<float> result(py::ssize_t(out.size() / sizeof(float)));
        std::memcpy(result.mutable_data(), out.data(), size_t(result.size()) * sizeof(float));
        return result;
      },
      py::arg("model"), py::arg("x"), py::arg("repeats") = 1, py::arg("dims") = py::none());
}

}  // namespace mi::python
