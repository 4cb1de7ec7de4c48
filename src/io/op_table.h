// Op names of the architecture file and the op kinds they select.
#pragma once

#include <string>

namespace mi {

enum OpKind : int {
  kOpUnknown = 0,
  kConvInt8 = 1,
  kConvFp32 = 2,
  kGemmInt8 = 3,
  kGemmFp32 = 4,
  kAddInt8 = 5,
  kAddFp32 = 6,
  kMaxPoolInt8 = 7,
  kMaxPoolFp32 = 8,
  kAvgPoolInt8 = 9,
  kAvgPoolFp32 = 10,
  kPatchPrepFp32 = 11,
  kLayerNormFp32 = 12,
  kAttentionFp32 = 13,
  kAttentionInt8 = 14,
  kSeqGemmFp32 = 15,
  kSeqGemmInt8 = 16,
  kClsExtractFp32 = 17,
  kUpsampleBilinearFp32 = 18,
  kPosEmbAddFp32 = 19,
  kLeakyReluFp32 = 20,
  kExpFp32 = 21,
  kSinFp32 = 22,
  kSigmoidFp32 = 23,
  kTanhFp32 = 24,
  kGeluFp32 = 25,
  kConv1dFp32 = 26,
  kConv1dInt8 = 27,
  kConvTranspose1dFp32 = 28,
  kLstmFp32 = 29,
  kAdaIn1dFp32 = 30,
  kAdaLayerNormFp32 = 31,
  kEmbeddingFp32 = 32,
  kBertEmbeddingsFp32 = 33,
  kSnake1dFp32 = 34,
  kLengthRegulateFp32 = 35,
  kIstftFp32 = 36,
  kStftFp32 = 37,
  kConcat1dFp32 = 38,
  kUpsampleNearest1dFp32 = 39,
  kSineGenFp32 = 40,
  kSumChannelsFp32 = 41,
  kScaleFp32 = 42,
  kReflectionPad1dFp32 = 43,
  kSliceChannelsFp32 = 44,
  kRmsNormFp32 = 45,
  kSiluFp32 = 46,
  kElemwiseMulFp32 = 47,
  kCausalAttnCoreFp32 = 48,
};

struct OpName {
  const char* name;
  OpKind kind;
};

constexpr int kOpNameCount = 53;
extern const OpName kOpTable[kOpNameCount];

// Exact, case-sensitive lookup; kOpUnknown when the name is not in the table.
OpKind op_kind_of(const std::string& name);
// The first table name of the kind ("conv_int8" for a node written "conv"); "" for kind 0.
const char* canonical_op_name(int kind);

}  // namespace mi
