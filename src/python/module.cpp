#include <pybind11/pybind11.h>

#include <string>

#include "backend/backend.h"
#include "backend/cpu/cpu_features.h"
#include "python/bindings.h"
#include "python/text.h"

namespace py = pybind11;

PYBIND11_MODULE(model_inference, m) {
  // Runs before any kernel is reachable: the kernels use AVX2 and FMA and would die on an
  // illegal instruction.
  const std::string missing = mi::cpu::missing_cpu_features();
  if (!missing.empty())
    throw py::import_error(
        "model_inference needs a processor with AVX2 and FMA and an "
        "operating system that enables AVX: " +
        missing);

  m.doc() =
      "Python bindings for the Quillon inference engine.\n\nQuick start::\n\n    import numpy "
      "as np, model_inference as mi\n    model = "
      "mi.InferenceModel('model_defs/resnet50_fp32_arch.json',\n                              "
      "'weights/resnet50_fp32.bin')\n    logits = model.forward(np.zeros((224, 224, 3), "
      "dtype=np.float32))\n";

  m.def("set_backend", &mi::select_backend, py::arg("name"),
        "Select the active backend.\n\nArgs:\n    name: 'cpu' (default), 'cuda', or "
        "'metal'\n\nReturns:\n    True if the backend was found and activated.");
  m.def("active_backend", &mi::active_backend_name,
        "Return the name of the currently active backend ('cpu', 'cuda', or 'metal').");

  mi::python::translate_engine_errors();

  mi::python::bind_model(m);
}
