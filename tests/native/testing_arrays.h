// NumPy array helpers shared by the testing binders.
#pragma once

#include <pybind11/numpy.h>

#include <cstring>
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

// Output of n elements of T followed by a guard area, to catch kernels writing past their
// result. The sentinel is compared bit for bit, so a NaN written there is caught too.
template <class T = float>
class Guarded {
 public:
  explicit Guarded(size_t n) : n_(n), data_(n + kGuard, kSentinel) {}
  T* data() { return data_.data(); }
  Array<T> take(std::vector<pybind11::ssize_t> shape) {
    for (size_t i = n_; i < data_.size(); ++i)
      if (std::memcmp(&data_[i], &kSentinel, sizeof(T)) != 0)
        throw std::runtime_error("kernel wrote past the end of its output");
    Array<T> out(shape);
    if (n_) std::memcpy(out.mutable_data(), data_.data(), n_ * sizeof(T));
    return out;
  }

 private:
  static constexpr size_t kGuard = 64;
  static constexpr T kSentinel = T(-77.25);
  size_t n_;
  std::vector<T> data_;
};

}  // namespace mi::python
