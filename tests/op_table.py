"""The documented op table: kind, op name and layer class of every op, and the aliases.
Tests check the engine's table against it and name layer classes in expected errors."""

OPS = [
    (1, "conv_int8", "ConvInt8"),
    (2, "conv_fp32", "ConvFp32"),
    (3, "gemm_int8", "GemmInt8"),
    (4, "gemm_fp32", "GemmFp32"),
    (5, "add_int8", "AddInt8"),
    (6, "add_fp32", "AddFp32"),
    (7, "maxpool_int8", "MaxPoolInt8"),
    (8, "maxpool_fp32", "MaxPoolFp32"),
    (9, "avgpool_int8", "AvgPoolInt8"),
    (10, "avgpool_fp32", "AvgPoolFp32"),
    (11, "patch_prep_fp32", "PatchPrepFp32"),
    (12, "layernorm_fp32", "LayerNormFp32"),
    (13, "attention_fp32", "AttentionFp32"),
    (14, "attention_int8", "AttentionInt8"),
    (15, "seqgemm_fp32", "SeqGemmFp32"),
    (16, "seqgemm_int8", "SeqGemmInt8"),
    (17, "cls_extract_fp32", "ClsExtractFp32"),
    (18, "upsample_bilinear_fp32", "UpsampleBilinearFp32"),
    (19, "pos_emb_add_fp32", "PosEmbAddFp32"),
    (20, "leaky_relu_fp32", "ActivationFp32"),
    (21, "exp_fp32", "ActivationFp32"),
    (22, "sin_fp32", "ActivationFp32"),
    (23, "sigmoid_fp32", "ActivationFp32"),
    (24, "tanh_fp32", "ActivationFp32"),
    (25, "gelu_fp32", "ActivationFp32"),
    (26, "conv1d_fp32", "Conv1dFp32"),
    (27, "conv1d_int8", "Conv1dInt8"),
    (28, "conv_transpose1d_fp32", "ConvTranspose1dFp32"),
    (29, "lstm_fp32", "LstmFp32"),
    (30, "ada_in1d_fp32", "AdaIn1dFp32"),
    (31, "ada_layer_norm_fp32", "AdaLayerNormFp32"),
    (32, "embedding_fp32", "EmbeddingFp32"),
    (33, "bert_embeddings_fp32", "BertEmbeddingsFp32"),
    (34, "snake1d_fp32", "SnakeFp32"),
    (35, "length_regulate_fp32", "LengthRegulateFp32"),
    (36, "istft_fp32", "IstftFp32"),
    (37, "stft_fp32", "StftFp32"),
    (38, "concat1d_fp32", "Concat1dFp32"),
    (39, "upsample_nearest1d_fp32", "UpsampleNearest1dFp32"),
    (40, "sine_gen_fp32", "SineGenFp32"),
    (41, "sum_channels_fp32", "SumChannelsFp32"),
    (42, "scale_fp32", "ScaleFp32"),
    (43, "reflection_pad1d_fp32", "ReflectionPad1dFp32"),
    (44, "slice_channels_fp32", "SliceChannelsFp32"),
    (45, "rms_norm_fp32", "RmsNormFp32"),
    (46, "silu_fp32", "ActivationFp32"),
    (47, "elemwise_mul_fp32", "ElemwiseMulFp32"),
    (48, "causal_attn_core_fp32", "CausalAttnCoreFp32"),
]

ALIASES = [("conv", 1), ("gemm", 3), ("add", 5), ("maxpool", 7), ("avgpool", 9)]

# Layer class by op name, aliases included.
CLASS_OF = {name: cls for _, name, cls in OPS}
CLASS_OF.update({alias: OPS[kind - 1][2] for alias, kind in ALIASES})
