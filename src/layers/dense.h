// Fully connected layers: one input vector of C_in elements to C_out floats.
#pragma once

#include <cstdint>
#include <vector>

#include "layers/layer.h"

namespace mi {

class GemmFp32 : public ILayer {
 public:
  explicit GemmFp32(const LayerArgs& args);
  ~GemmFp32() override;
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void upload_weights(Allocator& allocator) override;

  int32_t c_in = 0;
  int32_t c_out = 0;
  std::vector<float> weight;  // c_out x c_in; released once packed on a host backend
  std::vector<float> bias;    // c_out values or empty
  Buffer packed;
};

class GemmInt8 : public ILayer {
 public:
  explicit GemmInt8(const LayerArgs& args);
  ~GemmInt8() override;
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void upload_weights(Allocator& allocator) override;

  int32_t c_in = 0;
  int32_t c_out = 0;
  int8_t in_zp = 0;            // folded into eff_bias by the model's exporter
  std::vector<int8_t> weight;  // c_out x c_in
  std::vector<float> req_scale;
  std::vector<int64_t> eff_bias;
  Buffer packed;
};

}  // namespace mi
