#include "runtime/host_tensor.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace mi {

namespace {

void fill_from(const std::vector<int32_t>& d, int32_t& c, int32_t& h, int32_t& w) {
  c = d.back();
  h = d.size() >= 2 ? d[0] : 1;
  w = d.size() >= 3 ? d[1] : 1;
}

}  // namespace

TensorShape list_to_shape(const std::vector<int32_t>& dims, const std::vector<int32_t>* runtime) {
  if (dims.empty()) return {1, 1, 1};
  TensorShape s;
  fill_from(dims, s.c, s.h, s.w);
  if (runtime && !runtime->empty()) {
    int32_t rc, rh, rw;
    fill_from(*runtime, rc, rh, rw);
    if (s.c == 0) s.c = rc;
    if (s.h == 0) s.h = rh;
    if (s.w == 0) s.w = rw;
  }
  s.h = std::max(s.h, 1);
  s.w = std::max(s.w, 1);
  return s;
}

std::vector<int32_t> shape_to_list(const TensorShape& s) {
  if (s.w > 1) return {s.h, s.w, s.c};
  if (s.h < 2) return {s.c};
  return {s.h, s.c};
}

uint64_t tensor_bytes(const TensorShape& s, int elem_type) {
  const uint64_t c = uint64_t(std::max(s.c, 0));
  const uint64_t h = uint64_t(std::max(s.h, 0));
  const uint64_t w = uint64_t(std::max(s.w, 0));
  // Each factor is below 2^31, so the first product cannot wrap; the limit keeps the
  // second one and every later allocation sane.
  const uint64_t hw = h * w;
  if (c != 0 && hw > kMaxTensorBytes / c / element_bytes(elem_type))
    throw std::runtime_error("tensor shape (c=" + std::to_string(s.c) +
                             ", h=" + std::to_string(s.h) + ", w=" + std::to_string(s.w) +
                             ") exceeds the 4 GiB tensor size limit");
  return c * hw * element_bytes(elem_type);
}

}  // namespace mi
