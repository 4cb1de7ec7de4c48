#include "layers/dense.h"

#include <string>

#include "backend/backend.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

void check_dims(const char* cls, const LayerArgs& args, int32_t c_in, int32_t c_out) {
  if (c_in < 0 || c_out < 0)
    layer_error(cls, args.node_name(), "C_in and C_out must not be negative");
}

void check_input(const char* cls, const std::string& name, const TensorRef* inputs, int n_inputs,
                 int32_t c_in) {
  const int64_t have = n_inputs >= 1 ? inputs[0].shape.count() : 0;
  if (have < c_in)
    layer_error(
        cls, name,
        "input has " + std::to_string(have) + " elements, needs C_in = " + std::to_string(c_in));
}

}  // namespace

GemmFp32::GemmFp32(const LayerArgs& args)
    : c_in(args.get_int("C_in", 0)), c_out(args.get_int("C_out", 0)) {
  check_dims("GemmFp32", args, c_in, c_out);
}

GemmFp32::~GemmFp32() = default;

void GemmFp32::load_weights(const TensorLookup& lookup) {
  weight = read_required<float>(lookup, "GemmFp32", name, ".weight", int64_t(c_out) * c_in);
  bias = read_optional<float>(lookup, "GemmFp32", name, ".bias", c_out);
  const BackendOps& ops = active_backend_or_throw();
  packed = pack_fp32(ops, weight.data(), c_out, c_in);
  if (ops.device_kind == 0) std::vector<float>().swap(weight);
}

TensorShape GemmFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                              const RunContext& ctx) {
  BackendOps& ops = active_backend_or_throw();
  check_input("GemmFp32", name, inputs, n_inputs, c_in);
  float* y = static_cast<float*>(output.data);
  ops.gemm_fp32(static_cast<const float*>(inputs[0].data), weight.empty() ? nullptr : weight.data(),
                bias.empty() ? nullptr : bias.data(), y, c_in, c_out, packed.data,
                ctx.backend_handle);
  if (relu) ops.relu_fp32(y, c_out, ctx.backend_handle);
  return {c_out, 1, 1};
}

TensorShape GemmFp32::output_shape(const TensorShape&) { return {c_out, 1, 1}; }

void GemmFp32::upload_weights(Allocator& allocator) { upload_packed(packed, allocator); }

GemmInt8::GemmInt8(const LayerArgs& args)
    : c_in(args.get_int("C_in", 0)),
      c_out(args.get_int("C_out", 0)),
      in_zp(int8_t(args.get_int("in_zp", 0))) {
  check_dims("GemmInt8", args, c_in, c_out);
}

GemmInt8::~GemmInt8() = default;

void GemmInt8::load_weights(const TensorLookup& lookup) {
  weight = read_required<int8_t>(lookup, "GemmInt8", name, ".weight", int64_t(c_out) * c_in);
  req_scale = read_required<float>(lookup, "GemmInt8", name, ".req_scale", c_out);
  eff_bias = read_required<int64_t>(lookup, "GemmInt8", name, ".eff_bias", c_out);
  packed = pack_int8(active_backend_or_throw(), weight.data(), c_out, c_in);
}

TensorShape GemmInt8::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                              const RunContext& ctx) {
  BackendOps& ops = active_backend_or_throw();
  check_input("GemmInt8", name, inputs, n_inputs, c_in);
  float* y = static_cast<float*>(output.data);
  ops.gemm_int8(static_cast<const int8_t*>(inputs[0].data),
                static_cast<const uint8_t*>(packed.data), eff_bias.data(), nullptr, nullptr,
                req_scale.data(), 0, y, true, 1, c_in, c_out, false, false, nullptr,
                ctx.backend_handle);
  if (relu)
    for (int32_t n = 0; n < c_out; ++n) y[n] = y[n] > 0.0f ? y[n] : 0.0f;
  return {c_out, 1, 1};
}

TensorShape GemmInt8::output_shape(const TensorShape&) { return {c_out, 1, 1}; }

void GemmInt8::upload_weights(Allocator& allocator) { upload_packed(packed, allocator); }

MI_REGISTER_LAYER(kGemmFp32, GemmFp32);
MI_REGISTER_LAYER(kGemmInt8, GemmInt8);

}  // namespace mi
