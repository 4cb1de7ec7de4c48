// Layers of the decoder graphs: token embedding, RMS normalisation, the element-wise product
// of the gated MLP and the causal attention core that keeps the key/value cache.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backend/buffer.h"
#include "layers/layer.h"

namespace mi {

class EmbeddingFp32 : public ILayer {
 public:
  explicit EmbeddingFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  uint8_t output_device() const override { return 0; }

 private:
  int32_t num_embeddings_;
  int32_t embedding_dim_;
  std::vector<float> table_;
};

class RmsNormFp32 : public ILayer {
 public:
  explicit RmsNormFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }

 private:
  float eps_;
  std::vector<float> gamma_;
};

class ElemwiseMulFp32 : public ILayer {
 public:
  explicit ElemwiseMulFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape_n(const TensorShape* shapes, int count) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }
};

// Keeps the rotated keys and the values of every position it has seen. A call at seq_pos P
// with T tokens writes cache rows P .. P + T - 1 and attends over rows 0 .. P + t; the cache
// grows (keeping the rows below P) when it has fewer than P + T rows.
class CausalAttnCoreFp32 : public ILayer {
 public:
  explicit CausalAttnCoreFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape_n(const TensorShape* shapes, int count) override;
  TensorShape output_shape(const TensorShape& in) override { return in; }
  void release_caches() override;
  bool is_stateful() const override { return true; }
  void reset_state(int32_t capacity, Allocator& allocator) override;

  int32_t max_len() const { return max_len_; }
  int64_t filled() const { return filled_; }

 private:
  void grow_cache(int64_t need, int64_t keep, Allocator& allocator);

  int32_t num_q_heads_;
  int32_t num_kv_heads_;
  int32_t head_dim_;
  float rope_theta_;
  Buffer kv_cache_;
  int32_t max_len_ = 0;
  int64_t filled_ = 0;  // positions holding rows written by earlier calls
  std::vector<float> work_;
};

}  // namespace mi
