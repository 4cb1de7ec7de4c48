// NumPy array helpers shared by the testing binders.
#pragma once

#include <pybind11/numpy.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mi::python {

template <class T>
using Array = pybind11::array_t<T, pybind11::array::c_style | pybind11::array::forcecast>;

template <class T>
Array<T> new_array(std::vector<pybind11::ssize_t> shape) {
  return Array<T>(shape);
}

template <class T>
std::vector<pybind11::ssize_t> dims(const Array<T>& a) {
  return std::vector<pybind11::ssize_t>(a.shape(), a.shape() + a.ndim());
}

template <class T>
const T* data_or_null(const std::optional<Array<T>>& a) {
  return a ? a->data() : nullptr;
}

// The kernel a test binding runs: "ref" for the scalar reference, "avx2" for the vector one.
inline bool use_ref(const std::string& impl) {
  if (impl == "ref") return true;
  if (impl == "avx2") return false;
  throw std::invalid_argument("impl must be 'ref' or 'avx2', got '" + impl + "'");
}

}  // namespace mi::python
