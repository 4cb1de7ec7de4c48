#include "layers/activation.h"

#include <cmath>
#include <cstring>

#include "backend/backend.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

int32_t function_of(int op_kind) {
  switch (op_kind) {
    case kLeakyReluFp32: return ActivationFp32::kLeakyRelu;
    case kExpFp32: return ActivationFp32::kExp;
    case kSinFp32: return ActivationFp32::kSin;
    case kSigmoidFp32: return ActivationFp32::kSigmoid;
    case kTanhFp32: return ActivationFp32::kTanh;
    case kGeluFp32: return ActivationFp32::kGelu;
    case kSiluFp32: return ActivationFp32::kSilu;
    default: return -1;
  }
}

}  // namespace

ActivationFp32::ActivationFp32(const LayerArgs& args) : kind_(function_of(args.op_kind())) {
  if (kind_ == kLeakyRelu) alpha_ = args.get_float("alpha", 0.2f);
}

TensorShape ActivationFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                    const RunContext& ctx) {
  const int n = input_element_count("ActivationFp32", name, inputs, n_inputs);
  const BackendOps& ops = active_backend_or_throw();
  const float* in = static_cast<const float*>(inputs[0].data);
  float* out = static_cast<float*>(output.data);
  void* h = ctx.backend_handle;
  switch (kind_) {
    case kLeakyRelu: ops.leaky_relu_fp32(in, out, n, alpha_, h); break;
    case kExp: ops.exp_fp32(in, out, n, h); break;
    case kSin: ops.sin_fp32(in, out, n, h); break;
    case kSigmoid: ops.sigmoid_fp32(in, out, n, h); break;
    case kTanh: ops.tanh_fp32(in, out, n, h); break;
    case kGelu:
      if (out != in) {
        if (ops.device_kind == 0)
          std::memcpy(out, in, size_t(n) * sizeof(float));
        else
          ops.allocator()->copy_device(out, in, size_t(n) * sizeof(float));
      }
      ops.gelu_fp32(out, n, h);
      break;
    case kSilu:
      if (ops.silu_fp32) {
        ops.silu_fp32(in, out, n, h);
      } else {
        for (int i = 0; i < n; ++i) out[i] = in[i] / (1.0f + std::exp(-in[i]));
      }
      break;
    default: break;
  }
  return inputs[0].shape;
}

MI_REGISTER_LAYER(kLeakyReluFp32, ActivationFp32);
MI_REGISTER_LAYER(kExpFp32, ActivationFp32);
MI_REGISTER_LAYER(kSinFp32, ActivationFp32);
MI_REGISTER_LAYER(kSigmoidFp32, ActivationFp32);
MI_REGISTER_LAYER(kTanhFp32, ActivationFp32);
MI_REGISTER_LAYER(kGeluFp32, ActivationFp32);
MI_REGISTER_LAYER(kSiluFp32, ActivationFp32);

}  // namespace mi
