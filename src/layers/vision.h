// Vision-transformer glue on token sequences ({c, h, w}: h*w tokens of c floats): the
// class token and position embeddings in front of the blocks, a learned additive tensor,
// and the class token taken back out. All three compute on the host.
#pragma once

#include <cstdint>
#include <vector>

#include "layers/layer.h"

namespace mi {

class PatchPrepFp32 : public ILayer {
 public:
  explicit PatchPrepFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return {in.c, in.h * in.w + 1, 1}; }
  uint8_t output_device() const override { return 0; }

  int32_t dim = 0;  // D, floats in the class token
  std::vector<float> cls_token;
  std::vector<float> pos_embed;  // (P + 1) x D
};

class PosEmbAddFp32 : public ILayer {
 public:
  explicit PosEmbAddFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }
  uint8_t output_device() const override { return 0; }

  std::vector<float> weight;  // c x h x w
};

class ClsExtractFp32 : public ILayer {
 public:
  explicit ClsExtractFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return {in.c, 1, 1}; }
  uint8_t output_device() const override { return 0; }
};

}  // namespace mi
