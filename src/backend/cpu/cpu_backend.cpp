#include "backend/cpu/cpu_backend.h"

#include "backend/buffer.h"
#include "backend/cpu/activation.h"
#include "backend/cpu/attention.h"
#include "backend/cpu/conv2d.h"
#include "backend/cpu/elementwise.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/layernorm.h"
#include "backend/cpu/pooling.h"
#include "backend/cpu/seqgemm.h"
#include "backend/cpu/sequence_ops.h"
#include "backend/cpu/style_norm.h"

namespace mi::cpu {

namespace {

Allocator* cpu_allocator() {
  static CpuAllocator a;
  return &a;
}

BackendOps make_record() {
  BackendOps ops{};
  ops.name = "cpu";
  ops.priority = 0;
  ops.device_kind = 0;
  ops.allocator = cpu_allocator;
  install_gemm_fp32_ops(ops);
  install_gemm_int8_ops(ops);
  install_elementwise_ops(ops);
  install_pooling_ops(ops);
  install_activation_ops(ops);
  install_sequence_ops(ops);
  install_style_norm_ops(ops);
  install_conv_ops(ops);
  install_seqgemm_ops(ops);
  install_attention_ops(ops);
  install_layernorm_ops(ops);
  return ops;
}

// Registers at module load; the record only stores function addresses, so no vector
// instruction runs before the import-time processor check.
[[maybe_unused]] const bool registered = [] {
  register_backend(cpu_backend());
  return true;
}();

}  // namespace

BackendOps& cpu_backend() {
  static BackendOps ops = make_record();
  return ops;
}

}  // namespace mi::cpu
