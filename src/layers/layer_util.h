// What every layer class needs besides its own arithmetic: reading its tensors from the
// weights file, packing and uploading weight blocks, checking its inputs, and reporting a
// failure in the one message style "<Class> '<node>': <what>".
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "backend/buffer.h"
#include "layers/layer.h"

namespace mi {

// Throws std::runtime_error "<cls> '<node>': <what>".
[[noreturn]] void layer_error(const char* cls, const std::string& node, const std::string& what);

// "CxHxW", for messages.
std::string describe(const TensorShape& s);

namespace detail {
bool lookup_tensor(const TensorLookup& lookup, const std::string& tensor,
                   std::vector<uint8_t>& bytes);
void check_tensor_count(const char* cls, const std::string& node, const std::string& tensor,
                        int64_t have, int64_t need);
template <class T>
std::vector<T> tensor_values(const std::vector<uint8_t>& bytes) {
  std::vector<T> v(bytes.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
  return v;
}
}  // namespace detail

// The tensor <node><suffix> as elements of T (byte count / sizeof(T)). Missing, or holding
// fewer than `count` elements, is an error: kernels read packed blocks unconditionally.
template <class T>
std::vector<T> read_required(const TensorLookup& lookup, const char* cls, const std::string& node,
                             const char* suffix, int64_t count) {
  const std::string tensor = node + suffix;
  std::vector<uint8_t> bytes;
  if (!detail::lookup_tensor(lookup, tensor, bytes))
    layer_error(cls, node, "tensor '" + tensor + "' is missing");
  std::vector<T> v = detail::tensor_values<T>(bytes);
  detail::check_tensor_count(cls, node, tensor, int64_t(v.size()), count);
  return v;
}

// As read_required, but a missing tensor gives an empty vector; a present one must still
// hold `count` elements.
template <class T>
std::vector<T> read_optional(const TensorLookup& lookup, const char* cls, const std::string& node,
                             const char* suffix, int64_t count) {
  const std::string tensor = node + suffix;
  std::vector<uint8_t> bytes;
  if (!detail::lookup_tensor(lookup, tensor, bytes)) return {};
  std::vector<T> v = detail::tensor_values<T>(bytes);
  detail::check_tensor_count(cls, node, tensor, int64_t(v.size()), count);
  return v;
}

// An N x K weight matrix packed by the backend, owning its block; the size is the block's
// true size, so that a device upload copies all of it.
Buffer pack_fp32(const BackendOps& ops, const float* W, int N, int K);
Buffer pack_int8(const BackendOps& ops, const int8_t* W, int N, int K);

// Replaces a host block by a copy in the allocator's device memory; nothing on a host
// allocator or for an empty or already uploaded block.
void upload_packed(Buffer& block, Allocator& allocator);

// Input i of a node, or an error naming how many inputs the node needs.
const TensorRef& layer_input(const char* cls, const std::string& node, const TensorRef* inputs,
                             int n_inputs, int i);
// Element count of a shape as an int, or an error when it does not fit one.
int element_count(const char* cls, const std::string& node, const TensorShape& s);
// Element count of input 0, which must exist.
int input_element_count(const char* cls, const std::string& node, const TensorRef* inputs,
                        int n_inputs);

}  // namespace mi
