// Normalisation conditioned on a style vector (adaptive instance norm over time, adaptive
// layer norm over channels) and the Snake activation, on 1-D sequences.
#pragma once

#include <cstdint>
#include <vector>

#include "backend/backend.h"
#include "layers/layer.h"

namespace mi {

// h = W_fc s + b_fc (2C floats: gamma, then beta) from the first C_style floats of a style
// vector s, through the packed fp32 GEMM; the weight may be stored as int8 with one scale
// per row.
class StyleProjection {
 public:
  StyleProjection(const char* cls, const LayerArgs& args);
  void load(const TensorLookup& lookup, const std::string& node);
  void upload(Allocator& allocator);
  // Checks x and s of a forward call: two inputs, x with C channels, s with at least
  // C_style floats.
  void check_inputs(const std::string& node, const TensorRef* inputs, int n_inputs) const;
  void check_channels(const std::string& node, int channels) const;
  // gamma and beta for the style vector s, in host or (after an upload) device memory.
  const float* project(const BackendOps& ops, const float* s, void* handle);
  bool on_device() const { return device_h_.data != nullptr; }
  void release() { std::vector<float>().swap(h_); }

  const char* cls;
  int32_t C = 0;
  int32_t C_style = 0;
  float eps = 1e-5f;

 private:
  std::vector<float> weight_;  // 2C x C_style; kept only for a device backend
  std::vector<float> bias_;    // 2C or empty
  Buffer packed_;
  std::vector<float> h_;
  Buffer device_bias_;
  Buffer device_h_;
};

class AdaIn1dFp32 : public ILayer {
 public:
  explicit AdaIn1dFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void upload_weights(Allocator& allocator) override;
  void release_caches() override { fc_.release(); }

 private:
  StyleProjection fc_;
  std::vector<float> norm_weight_;  // C or empty
  std::vector<float> norm_bias_;    // C or empty
  Buffer device_norm_weight_;
  Buffer device_norm_bias_;
};

class AdaLayerNormFp32 : public ILayer {
 public:
  explicit AdaLayerNormFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void upload_weights(Allocator& allocator) override;
  void release_caches() override { fc_.release(); }

 private:
  StyleProjection fc_;
};

// y = x + sin^2(alpha[c] x) / (1e-9 + alpha[c]), one alpha per channel.
class SnakeFp32 : public ILayer {
 public:
  explicit SnakeFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void upload_weights(Allocator& allocator) override;

 private:
  void check_channels(int channels) const;

  std::vector<float> alpha_;
  std::vector<float> inv_alpha_;
  Buffer device_alpha_;
  Buffer device_inv_alpha_;
};

}  // namespace mi
