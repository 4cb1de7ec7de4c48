// 1-D convolution layers on time-major sequences (L rows of C floats): float with a path
// chosen at load, int8 with dynamic input quantisation, and the transposed float layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backend/buffer.h"
#include "layers/layer.h"

namespace mi {

// The configuration of one 1-D convolution node.
struct Conv1dConfig {
  int C_out = 0, C_in = 0, K = 1, stride = 1, padding = 0, dilation = 1, output_padding = 0;
  int groups = 1;
  int Cg() const { return C_in / groups; }
};

// Which kernel a float 1-D convolution runs, fixed at load.
enum class Conv1dPath { Winograd, Pointwise, Direct, General, Grouped };
const char* conv1d_path_name(Conv1dPath p);

// Whether TOVRIN_FP32_CONV1D_DIRECT (value `v`, null when unset) forces the direct path on
// a layer of kernel size K.
bool conv1d_direct_forced(const char* v, int K);

class Conv1dFp32 : public ILayer {
 public:
  explicit Conv1dFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void plan_workspace(const TensorShape& in, WorkspaceRequest& req) override;
  void release_caches() override;
  Conv1dPath path() const { return path_; }

 private:
  Conv1dConfig cfg_;
  // "extended_winograd": when Winograd is enabled, also take it for dilated kernels and for
  // kernel sizes 4 and up (F(4,4) over chunks of four taps); off, the choice stays the
  // stored files' one (F(4,3) and F(2,7), dilation 1).
  bool extended_winograd_ = false;
  bool chunked_ = false;  // the Winograd path runs over chunks of four taps
  Conv1dPath path_ = Conv1dPath::General;
  std::vector<float> weight_;  // C_out x K x Cg, kept only for non-host backends
  std::vector<float> bias_;
  Buffer general_;
  std::vector<Buffer> pointwise_;
  std::vector<Buffer> winograd_;
  Buffer direct_;
  std::vector<Buffer> groups_;  // grouped: one C_out/groups x K*Cg pack per group
  std::vector<float> scratch_;
};

class Conv1dInt8 : public ILayer {
 public:
  explicit Conv1dInt8(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void plan_workspace(const TensorShape& in, WorkspaceRequest& req) override;
  void release_caches() override;
  bool per_tap() const { return cfg_.stride == 1; }

 private:
  Conv1dConfig cfg_;
  std::vector<float> w_scales_;
  std::vector<float> bias_;
  std::vector<Buffer> taps_;  // stride 1: one C_out x C_in pack per tap
  Buffer narrow_;             // stride 1, weights in [-64, 63]: all taps, conv1d_int8.h layout
  Buffer whole_;              // otherwise: the C_out x K*C_in matrix
  std::vector<int64_t> bias64_;
  std::vector<float> fscratch_;
  std::vector<int8_t> qscratch_;
  std::vector<float> sscratch_;
};

class ConvTranspose1dFp32 : public ILayer {
 public:
  explicit ConvTranspose1dFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void plan_workspace(const TensorShape& in, WorkspaceRequest& req) override;
  void release_caches() override;

 private:
  Conv1dConfig cfg_;
  std::vector<float> weight_;  // C_in x C_out/groups x K as stored; depthwise: K x C tap-major
  std::vector<float> bias_;
  Buffer packed_;  // groups = 1: one K*C_out x C_in pack of all taps
  std::vector<float> scratch_;
};

}  // namespace mi
