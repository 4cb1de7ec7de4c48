#include "layers/vision.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "backend/cpu/elementwise.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

const TensorRef& host_input(const char* cls, const std::string& node, const TensorRef* inputs,
                            int n_inputs) {
  const TensorRef& x = layer_input(cls, node, inputs, n_inputs, 0);
  element_count(cls, node, x.shape);
  if (x.shape.count() > 0 && !x.data) layer_error(cls, node, "the input tensor is missing");
  return x;
}

}  // namespace

PatchPrepFp32::PatchPrepFp32(const LayerArgs&) {}

void PatchPrepFp32::load_weights(const TensorLookup& lookup) {
  cls_token = read_required<float>(lookup, "PatchPrepFp32", name, ".cls_token", 1);
  pos_embed = read_required<float>(lookup, "PatchPrepFp32", name, ".pos_embed", 1);
  dim = int32_t(std::min<size_t>(cls_token.size(), INT_MAX));
}

TensorShape PatchPrepFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                   const RunContext&) {
  const char* cls = "PatchPrepFp32";
  const TensorRef& in = host_input(cls, name, inputs, n_inputs);
  const int64_t D = dim >= 1 ? dim : in.shape.c;
  if (D != in.shape.c)
    layer_error(cls, name,
                "class token has " + std::to_string(D) + " values, the input " +
                    describe(in.shape) + " has width " + std::to_string(in.shape.c));
  const int64_t P = int64_t(in.shape.h) * in.shape.w;
  if ((P + 1) * D > INT_MAX)
    layer_error(cls, name, "input " + describe(in.shape) + " is too large");
  if (int64_t(pos_embed.size()) < (P + 1) * D)
    layer_error(cls, name,
                "position table has " + std::to_string(pos_embed.size()) + " values, " +
                    std::to_string(P) + " patches of width " + std::to_string(D) + " need " +
                    std::to_string((P + 1) * D));
  const float* x = static_cast<const float*>(in.data);
  float* y = static_cast<float*>(output.data);
  for (int64_t j = 0; j < D; ++j) y[j] = cls_token[size_t(j)] + pos_embed[size_t(j)];
  for (int64_t p = 0; p < P; ++p)
    for (int64_t j = 0; j < D; ++j)
      y[(p + 1) * D + j] = x[p * D + j] + pos_embed[size_t((p + 1) * D + j)];
  return {in.shape.c, int32_t(P + 1), 1};
}

PosEmbAddFp32::PosEmbAddFp32(const LayerArgs&) {}

void PosEmbAddFp32::load_weights(const TensorLookup& lookup) {
  weight = read_required<float>(lookup, "PosEmbAddFp32", name, ".weight", 1);
}

TensorShape PosEmbAddFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                   const RunContext&) {
  const char* cls = "PosEmbAddFp32";
  const TensorRef& in = host_input(cls, name, inputs, n_inputs);
  const size_t n = size_t(in.shape.count());
  if (weight.size() != n)
    layer_error(cls, name,
                "weight has " + std::to_string(weight.size()) + " values, the input " +
                    describe(in.shape) + " has " + std::to_string(n));
  float* y = static_cast<float*>(output.data);
  if (n > 0) std::memcpy(y, in.data, n * sizeof(float));
  cpu::add_inplace_fp32_avx2(y, weight.data(), n);
  return in.shape;
}

ClsExtractFp32::ClsExtractFp32(const LayerArgs&) {}

TensorShape ClsExtractFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                    const RunContext&) {
  const char* cls = "ClsExtractFp32";
  const TensorRef& in = host_input(cls, name, inputs, n_inputs);
  if (in.shape.c < 1 || in.shape.h < 1 || in.shape.w < 1)
    layer_error(cls, name, "input " + describe(in.shape) + " holds no token");
  std::memcpy(output.data, in.data, size_t(in.shape.c) * sizeof(float));
  return {in.shape.c, 1, 1};
}

MI_REGISTER_LAYER(kPatchPrepFp32, PatchPrepFp32);
MI_REGISTER_LAYER(kPosEmbAddFp32, PosEmbAddFp32);
MI_REGISTER_LAYER(kClsExtractFp32, ClsExtractFp32);

}  // namespace mi
