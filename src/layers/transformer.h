// Transformer encoder layers on token sequences: a shape {c, h, w} holds T = h*w tokens of c
// features, token-major. Layer normalisation, multi-head self-attention with its input and
// output projections (float and int8), the per-token dense layer, and the embeddings of a
// BERT-style text encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backend/shared_weight.h"
#include "layers/layer.h"

namespace mi {

class LayerNormFp32 : public ILayer {
 public:
  explicit LayerNormFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }

  float eps = 1e-6f;
  std::vector<float> gamma;
  std::vector<float> beta;
};

class AttentionFp32 : public ILayer {
 public:
  explicit AttentionFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }
  void plan_workspace(const TensorShape& in, WorkspaceRequest& req) override;
  void upload_weights(Allocator& allocator) override;

  int32_t num_heads = 0;
  int32_t embed_dim = 0;  // E; below 1: taken from the weights
  bool dynamic_quantize = false;
  std::vector<float> w_qkv, b_qkv, w_proj, b_proj;
  SharedPackedWeightView qkv_packed, proj_packed;

 private:
  int32_t E_ = 0;  // the embedding size the weights were loaded for
};

class AttentionInt8 : public ILayer {
 public:
  explicit AttentionInt8(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }
  void plan_workspace(const TensorShape& in, WorkspaceRequest& req) override;
  void upload_weights(Allocator& allocator) override;

  int32_t num_heads = 0;
  int32_t embed_dim = 0;
  std::vector<int8_t> w_qkv_i8;
  std::vector<float> w_qkv_scales, b_qkv;
  std::vector<int8_t> w_proj_i8;
  std::vector<float> w_proj_scales, b_proj;
  std::vector<int64_t> zero_bias;
  SharedPackedWeightView qkv_packed, proj_packed;

 private:
  int32_t E_ = 0;
};

class SeqGemmFp32 : public ILayer {
 public:
  explicit SeqGemmFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void upload_weights(Allocator& allocator) override;

  int32_t c_in = 0;   // K
  int32_t c_out = 0;  // N
  bool gelu = false;
  bool dynamic_quantize = false;
  bool last_token_only = false;  // one output row, for the last token (a decoder's head)
  bool decoder_weight = false;   // keeps the int8 copy for single-token products
  int32_t int8_block = 0;        // > 0: that copy has one scale per block of K, not per row
  int32_t copy_block = 0;        // block size of the copy held (0: one scale per row)
  std::vector<float> weight, bias;
  SharedPackedWeightView packed;
  std::vector<int8_t> weight_i8;
  std::vector<float> row_scales;  // per row, or [C_in / copy_block][C_out] with blocks
  Buffer device_weight_i8, device_row_scales;
};

class SeqGemmInt8 : public ILayer {
 public:
  explicit SeqGemmInt8(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return {c_out, in.h, in.w}; }
  void plan_workspace(const TensorShape& in, WorkspaceRequest& req) override;
  void upload_weights(Allocator& allocator) override;

  int32_t c_in = 0;
  int32_t c_out = 0;
  bool gelu = false;
  bool decoder_weight = false;
  std::vector<int8_t> weight_i8;
  std::vector<float> w_scales, bias;
  std::vector<int64_t> zero_bias;
  SharedPackedWeightView packed;
  Buffer device_weight_i8, device_w_scales;
};

// Word + position (+ token type 0) embeddings of the token ids, then layer normalisation
// with eps 1e-12. Ids arrive as floats, one per token.
class BertEmbeddingsFp32 : public ILayer {
 public:
  explicit BertEmbeddingsFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  // One row per id: (E, l, w) for ids of shape (1, l, w), (E, T, 1) for T ids otherwise.
  TensorShape output_shape(const TensorShape& in) override;
  uint8_t output_device() const override { return 0; }

  int32_t emb_size = 128;  // E
  std::vector<float> word_weight, pos_weight, type_weight, layernorm_weight, layernorm_bias;

 private:
  std::vector<float> gamma_, beta_;  // the layer norm's scale and shift, 1 and 0 when absent
};

// The weight-or-int8 lookup: tensor X as floats, or, when "X_i8" and "<prefix>w_scales"
// (prefix: X up to its last '.') are both present, the int8 rows times their scales. The
// result must hold `rows` x `cols` values; missing altogether it is empty.
std::vector<float> read_weight_or_int8(const TensorLookup& lookup, const char* cls,
                                       const std::string& node, const std::string& tensor,
                                       int64_t rows, int64_t cols);

}  // namespace mi
