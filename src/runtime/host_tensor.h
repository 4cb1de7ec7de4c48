// Named tensors handed to and returned by a model run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "layers/layer.h"

namespace mi {

struct HostTensor {
  const void* data = nullptr;
  std::vector<int32_t> shape;  // NHWC-style dims without the batch dim
  std::string dtype = "float32";
  std::vector<uint8_t> storage;  // owns `data` for results
};

// [..]-style dims to {c, h, w}. Zeros of `dims` are filled from `runtime` when it is given
// and not empty; h and w end at least 1.
TensorShape list_to_shape(const std::vector<int32_t>& dims,
                          const std::vector<int32_t>* runtime = nullptr);
std::vector<int32_t> shape_to_list(const TensorShape& s);

constexpr uint64_t element_bytes(int elem_type) { return elem_type == kInt8 ? 1 : 4; }
// No model family of this engine comes near 4 GiB for one tensor; the limit keeps a corrupt
// or hostile file from making the engine reserve memory it cannot have.
constexpr uint64_t kMaxTensorBytes = uint64_t(1) << 32;
// Throws when the tensor would exceed kMaxTensorBytes.
uint64_t tensor_bytes(const TensorShape& s, int elem_type);

}  // namespace mi
