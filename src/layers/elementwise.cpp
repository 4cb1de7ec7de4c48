#include "layers/elementwise.h"

#include <cmath>
#include <cstdint>

#include "backend/backend.h"
#include "backend/cpu/elementwise.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

// Both operands are read over the first input's element count.
int checked_pair(const char* cls, const std::string& node, const TensorRef* inputs, int n_inputs) {
  if (n_inputs < 2) layer_error(cls, node, "needs two inputs, got " + std::to_string(n_inputs));
  if (inputs[1].shape.count() < inputs[0].shape.count())
    layer_error(cls, node,
                "second input " + describe(inputs[1].shape) + " is smaller than the first " +
                    describe(inputs[0].shape));
  return element_count(cls, node, inputs[0].shape);
}

void check_pair_count(const char* cls, const std::string& node, int count) {
  if (count < 2) layer_error(cls, node, "needs two inputs, got " + std::to_string(count));
}

void check_scale(const LayerArgs& args, const char* key, float v) {
  if (!std::isfinite(v) || v <= 0.0f)
    layer_error("AddInt8", args.node_name(),
                std::string(key) + " must be finite and positive, got " + std::to_string(v));
}

int32_t checked_zp(const LayerArgs& args, const char* key) {
  const int v = args.get_int(key, 0);
  if (v < -128 || v > 127)
    layer_error("AddInt8", args.node_name(),
                std::string(key) + " must be an int8 value, got " + std::to_string(v));
  return v;
}

}  // namespace

AddFp32::AddFp32(const LayerArgs&) {}

TensorShape AddFp32::output_shape_n(const TensorShape* shapes, int count) {
  check_pair_count("AddFp32", name, count);
  return shapes[0];
}

TensorShape AddFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                             const RunContext& ctx) {
  const int n = checked_pair("AddFp32", name, inputs, n_inputs);
  active_backend_or_throw().add_fp32(static_cast<const float*>(inputs[0].data),
                                     static_cast<const float*>(inputs[1].data),
                                     static_cast<float*>(output.data), n, relu, ctx.backend_handle);
  return inputs[0].shape;
}

AddInt8::AddInt8(const LayerArgs& args)
    : in1_scale_(args.get_float("in1_scale", 1.0f)),
      in2_scale_(args.get_float("in2_scale", 1.0f)),
      out_scale_(args.get_float("out_scale", 1.0f)),
      in1_zp_(checked_zp(args, "in1_zp")),
      in2_zp_(checked_zp(args, "in2_zp")),
      out_zp_(checked_zp(args, "out_zp")) {
  check_scale(args, "in1_scale", in1_scale_);
  check_scale(args, "in2_scale", in2_scale_);
  check_scale(args, "out_scale", out_scale_);
  if (!cpu::fixed_point_factor_ok(in1_scale_ / out_scale_) ||
      !cpu::fixed_point_factor_ok(in2_scale_ / out_scale_))
    layer_error("AddInt8", args.node_name(), "input to output scale ratio must be below 2^30");
}

TensorShape AddInt8::output_shape_n(const TensorShape* shapes, int count) {
  check_pair_count("AddInt8", name, count);
  return shapes[0];
}

TensorShape AddInt8::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                             const RunContext& ctx) {
  const int n = checked_pair("AddInt8", name, inputs, n_inputs);
  active_backend_or_throw().add_int8(static_cast<const int8_t*>(inputs[0].data),
                                     static_cast<const int8_t*>(inputs[1].data), in1_scale_,
                                     in1_zp_, in2_scale_, in2_zp_, out_scale_, out_zp_,
                                     static_cast<int8_t*>(output.data), n, ctx.backend_handle);
  return inputs[0].shape;
}

ScaleFp32::ScaleFp32(const LayerArgs& args) : scalar_(args.get_float("scalar", 1.0f)) {}

TensorShape ScaleFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                               const RunContext& ctx) {
  const int n = input_element_count("ScaleFp32", name, inputs, n_inputs);
  active_backend_or_throw().scale_fp32(static_cast<const float*>(inputs[0].data),
                                       static_cast<float*>(output.data), size_t(n), scalar_,
                                       ctx.backend_handle);
  return inputs[0].shape;
}

MI_REGISTER_LAYER(kAddFp32, AddFp32);
MI_REGISTER_LAYER(kAddInt8, AddInt8);
MI_REGISTER_LAYER(kScaleFp32, ScaleFp32);

}  // namespace mi
