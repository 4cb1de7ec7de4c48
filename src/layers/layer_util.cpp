#include "layers/layer_util.h"

#include <climits>
#include <stdexcept>

namespace mi {

void layer_error(const char* cls, const std::string& node, const std::string& what) {
  throw std::runtime_error(std::string(cls) + " '" + node + "': " + what);
}

std::string describe(const TensorShape& s) {
  return std::to_string(s.c) + "x" + std::to_string(s.h) + "x" + std::to_string(s.w);
}

namespace detail {

bool lookup_tensor(const TensorLookup& lookup, const std::string& tensor,
                   std::vector<uint8_t>& bytes) {
  std::vector<int> shape;
  return lookup(tensor, shape, bytes);
}

void check_tensor_count(const char* cls, const std::string& node, const std::string& tensor,
                        int64_t have, int64_t need) {
  if (have < need)
    layer_error(cls, node,
                "tensor '" + tensor + "' has " + std::to_string(have) + " values, needs " +
                    std::to_string(need));
}

}  // namespace detail

namespace {

void require_packing(const BackendOps& ops, bool present) {
  if (!present)
    throw std::runtime_error(std::string("backend '") + ops.name + "' cannot pack weights");
}

}  // namespace

// CPU layouts: fp32 in panels of 8 rows by K (rows padded with zeros), int8 in blocks of
// 8 rows by 4 columns of K.
Buffer pack_fp32(const BackendOps& ops, const float* W, int N, int K) {
  require_packing(ops, ops.pack_weights_fp32 && ops.free_packed_fp32);
  return Buffer(ops.pack_weights_fp32(W, N, K), 0,
                size_t((N + 7) / 8) * 8 * size_t(K) * sizeof(float),
                [free = ops.free_packed_fp32](void* p) { free(p); });
}

Buffer pack_int8(const BackendOps& ops, const int8_t* W, int N, int K) {
  require_packing(ops, ops.pack_weights_int8 && ops.free_packed_int8);
  return Buffer(ops.pack_weights_int8(W, N, K), 0, size_t((N + 7) / 8) * ((K + 3) / 4) * 32,
                [free = ops.free_packed_int8](void* p) { free(p); });
}

void upload_packed(Buffer& block, Allocator& allocator) {
  if (!allocator.is_device() || !block.data || block.on_device) return;
  Buffer dev = allocator.make_buffer(block.size);
  allocator.copy_to_device(dev.data, block.data, block.size);
  dev.on_device = 1;
  block = std::move(dev);
}

const TensorRef& layer_input(const char* cls, const std::string& node, const TensorRef* inputs,
                             int n_inputs, int i) {
  if (n_inputs <= i)
    layer_error(cls, node,
                "needs " + std::to_string(i + 1) + (i == 0 ? " input" : " inputs") + ", got " +
                    std::to_string(n_inputs));
  return inputs[i];
}

int element_count(const char* cls, const std::string& node, const TensorShape& s) {
  const int64_t n = s.count();
  if (n < 0 || n > INT_MAX) layer_error(cls, node, "tensor " + describe(s) + " is too large");
  return int(n);
}

int input_element_count(const char* cls, const std::string& node, const TensorRef* inputs,
                        int n_inputs) {
  return element_count(cls, node, layer_input(cls, node, inputs, n_inputs, 0).shape);
}

}  // namespace mi
