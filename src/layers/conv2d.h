// 2-D convolution layers on channels-last images, fp32 and int8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backend/buffer.h"
#include "backend/cpu/conv2d.h"
#include "layers/layer.h"

namespace mi {

// Which kernel a convolution runs for the current backend and geometry.
enum class ConvPath { Winograd, General, Grouped, GroupedDevice, Depthwise };
const char* conv_path_name(ConvPath p);

using cpu::ConvGeometry;

class ConvFp32 : public ILayer {
 public:
  explicit ConvFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void plan_workspace(const TensorShape& in, WorkspaceRequest& req) override;
  void upload_weights(Allocator& allocator) override;
  ConvPath path() const;

  ConvGeometry g;
  std::vector<float> weight;  // [C_out][C_in/groups][kH][kW]
  std::vector<float> bias;
  Buffer packed;  // groups = 1: C_out x K kernel-position matrix
  Buffer winograd_packed[16];
  bool winograd_ready = false;
  std::vector<Buffer> group_packed;  // grouped: one kernel-position pack per group
  std::vector<float> dw_weight;      // depthwise: tap-major, tap t of channel c at t*C + c
};

class ConvInt8 : public ILayer {
 public:
  explicit ConvInt8(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  int output_dtype() const override { return kInt8; }
  TensorShape output_shape(const TensorShape& in) override;
  void plan_workspace(const TensorShape& in, WorkspaceRequest& req) override;
  void upload_weights(Allocator& allocator) override;
  ConvPath path() const;

  ConvGeometry g;
  int8_t in_zp = 0, out_zp = 0;
  // Node argument "winograd" (default 1): 0 keeps a Winograd-shaped layer on the exact
  // general path, whose results the quantiser can reproduce bit for bit.
  bool winograd_allowed = true;
  std::vector<int8_t> weight;  // [C_out][C_in/groups][kH][kW]
  std::vector<float> req_scale;
  std::vector<int32_t> multiplier, shift;
  std::vector<int64_t> eff_bias;
  std::vector<int64_t> winograd_bias;
  Buffer packed_oihw;  // C_out x K in file order
  Buffer packed;       // kernel-position order; a view of packed_oihw for 1x1 kernels
  std::vector<int32_t> row_sums;
  std::vector<int8_t> dw_weight;  // depthwise 3x3: tap t of channel c at t*C_out + c
  std::vector<int32_t> dw_bias;
  Buffer winograd_packed[16];
  std::vector<int32_t> winograd_row_sums[16];
  float winograd_scales[16] = {};
  bool winograd_ready = false;
  float winograd_input_scale = 0.25f;
};

}  // namespace mi
