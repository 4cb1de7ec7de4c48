// One binder per engine family for the `model_inference_testing` module.
#pragma once

#include <pybind11/pybind11.h>

namespace mi::python {

void bind_io_testing(pybind11::module_& t);
void bind_gemm_testing(pybind11::module_& t);
void bind_elementwise_testing(pybind11::module_& t);
void bind_runtime_testing(pybind11::module_& t);
void bind_conv_testing(pybind11::module_& t);
void bind_sequence_testing(pybind11::module_& t);
void bind_transformer_testing(pybind11::module_& t);

}  // namespace mi::python
