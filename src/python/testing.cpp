#include "python/bindings.h"
#include "python/testing_families.h"

namespace mi::python {

void bind_testing(pybind11::module_& m) {
  pybind11::module_ t = m.def_submodule("_testing", "Engine internals exposed to the test suite.");
  bind_io_testing(t);
  bind_gemm_testing(t);
  bind_elementwise_testing(t);
  bind_runtime_testing(t);
  bind_conv_testing(t);
}

}  // namespace mi::python
