#include "io/op_table.h"

#include <cstring>

namespace mi {

const OpName kOpTable[kOpNameCount] = {
    {"conv_int8", kConvInt8},
    {"conv_fp32", kConvFp32},
    {"gemm_int8", kGemmInt8},
    {"gemm_fp32", kGemmFp32},
    {"add_int8", kAddInt8},
    {"add_fp32", kAddFp32},
    {"maxpool_int8", kMaxPoolInt8},
    {"maxpool_fp32", kMaxPoolFp32},
    {"avgpool_int8", kAvgPoolInt8},
    {"avgpool_fp32", kAvgPoolFp32},
    {"patch_prep_fp32", kPatchPrepFp32},
    {"layernorm_fp32", kLayerNormFp32},
    {"attention_fp32", kAttentionFp32},
    {"attention_int8", kAttentionInt8},
    {"seqgemm_fp32", kSeqGemmFp32},
    {"seqgemm_int8", kSeqGemmInt8},
    {"cls_extract_fp32", kClsExtractFp32},
    {"upsample_bilinear_fp32", kUpsampleBilinearFp32},
    {"pos_emb_add_fp32", kPosEmbAddFp32},
    {"leaky_relu_fp32", kLeakyReluFp32},
    {"exp_fp32", kExpFp32},
    {"sin_fp32", kSinFp32},
    {"sigmoid_fp32", kSigmoidFp32},
    {"tanh_fp32", kTanhFp32},
    {"gelu_fp32", kGeluFp32},
    {"conv1d_fp32", kConv1dFp32},
    {"conv1d_int8", kConv1dInt8},
    {"conv_transpose1d_fp32", kConvTranspose1dFp32},
    {"lstm_fp32", kLstmFp32},
    {"ada_in1d_fp32", kAdaIn1dFp32},
    {"ada_layer_norm_fp32", kAdaLayerNormFp32},
    {"embedding_fp32", kEmbeddingFp32},
    {"bert_embeddings_fp32", kBertEmbeddingsFp32},
    {"snake1d_fp32", kSnake1dFp32},
    {"length_regulate_fp32", kLengthRegulateFp32},
    {"istft_fp32", kIstftFp32},
    {"stft_fp32", kStftFp32},
    {"concat1d_fp32", kConcat1dFp32},
    {"upsample_nearest1d_fp32", kUpsampleNearest1dFp32},
    {"sine_gen_fp32", kSineGenFp32},
    {"sum_channels_fp32", kSumChannelsFp32},
    {"scale_fp32", kScaleFp32},
    {"reflection_pad1d_fp32", kReflectionPad1dFp32},
    {"slice_channels_fp32", kSliceChannelsFp32},
    {"rms_norm_fp32", kRmsNormFp32},
    {"silu_fp32", kSiluFp32},
    {"elemwise_mul_fp32", kElemwiseMulFp32},
    {"causal_attn_core_fp32", kCausalAttnCoreFp32},
    {"conv", kConvInt8},
    {"gemm", kGemmInt8},
    {"add", kAddInt8},
    {"maxpool", kMaxPoolInt8},
    {"avgpool", kAvgPoolInt8},
};

OpKind op_kind_of(const std::string& name) {
  for (const OpName& op : kOpTable)
    if (name == op.name) return op.kind;
  return kOpUnknown;
}

const char* canonical_op_name(int kind) {
  for (const OpName& op : kOpTable)
    if (op.kind == kind) return op.name;
  return "";
}

}  // namespace mi
