// Binding entry points of the extension module, one per source file.
#pragma once

#include <pybind11/pybind11.h>

namespace mi::python {

// InputSpec and InferenceModel.
void bind_model(pybind11::module_& m);

}  // namespace mi::python
