// The extension module `model_inference_testing`: engine internals (loaders, kernels and
// their scalar references, single layers, slot plans) exposed to the test suite. It links
// its own copy of the engine, so nothing here can change the shipped module's state.
#include <omp.h>
#include <pybind11/pybind11.h>

#include <string>

#include "backend/cpu/cpu_features.h"
#include "python/text.h"
#include "testing_families.h"

namespace py = pybind11;

PYBIND11_MODULE(model_inference_testing, t) {
  const std::string missing = mi::cpu::missing_cpu_features();
  if (!missing.empty()) throw py::import_error("model_inference_testing needs " + missing);
  t.doc() = "Engine internals exposed to the model_inference test suite.";
  mi::python::translate_engine_errors();
  t.def("set_num_threads", [](int n) { omp_set_num_threads(n); });
  t.def("get_num_threads", [] { return omp_get_max_threads(); });
  mi::python::bind_io_testing(t);
  mi::python::bind_gemm_testing(t);
  mi::python::bind_elementwise_testing(t);
  mi::python::bind_runtime_testing(t);
  mi::python::bind_conv_testing(t);
  mi::python::bind_sequence_testing(t);
  mi::python::bind_transformer_testing(t);
}
