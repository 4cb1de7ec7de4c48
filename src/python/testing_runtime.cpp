#include <pybind11/stl.h>

#include "python/testing_families.h"
#include "runtime/host_tensor.h"
#include "runtime/inference_model.h"

namespace py = pybind11;

namespace mi::python {

void bind_runtime_testing(py::module_& t) {
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
  t.def("list_to_shape", [](const std::vector<int32_t>& dims, std::optional<std::vector<int32_t>> rt) {
    const TensorShape s = list_to_shape(dims, rt ? &*rt : nullptr);
    return py::make_tuple(s.c, s.h, s.w);
  }, py::arg("dims"), py::arg("runtime") = py::none());
  t.def("shape_to_list", [](int c, int h, int w) { return shape_to_list(TensorShape{c, h, w}); });
}

}  // namespace mi::python
