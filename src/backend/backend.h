// Backend registry and the operations table every layer calls through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mi {

class Allocator;

// A backend publishes one of these with static storage duration. The field order is
// fixed: `name` is slot 0, `priority` and `device_kind` share slot 1, operations start at
// slot 2. A null operation means the backend does not offer it; the caller then runs its
// own host code. The last argument of every compute operation is the run's
// `backend_handle`, which the CPU backend ignores.
struct BackendOps {
  const char* name;
  int32_t priority;
  uint8_t device_kind;

  Allocator* (*allocator)();                                                      // 2
  uint8_t* (*pack_weights_int8)(const int8_t* W, int N, int K);                   // 3
  float* (*pack_weights_fp32)(const float* W, int N, int K);                      // 4
  void (*free_packed_int8)(void* block);                                          // 5
  void (*free_packed_fp32)(void* block);                                          // 6
  void (*gemm_int8)(const int8_t* A, const uint8_t* packed, const int64_t* bias,  // 7
                    const int32_t* multiplier, const int32_t* shift, const float* scale,
                    int8_t out_zp, void* C, bool float_output, int M, int K, int N,
                    bool channel_major, bool team, const int32_t* row_sums, void* ctx);
  void (*gemm_int8_int32)(const int8_t* A, const uint8_t* packed, int32_t* C, int M,  // 8
                          int K, int N, const int32_t* row_sums, void* ctx);
  void (*gemm_packed_fp32)(const float* A, const float* packed, const float* bias,  // 9
                           float* C, bool relu, int M, int K, int N, bool team, void* ctx);
  void (*gemm_fp32)(const float* x, const float* W, const float* bias, float* y, int K,  // 10
                    int N, const void* packed, void* ctx);
  void (*conv_int8)(const int8_t* input, const int8_t* weight, const void* packed,  // 11
                    const int64_t* eff_bias, const int32_t* multiplier, const int32_t* shift,
                    int8_t in_zp, int8_t out_zp, int8_t* output, int C, int H, int W, int C_out,
                    int kH, int kW, int stride_h, int stride_w, int pad_h, int pad_w, int groups,
                    int8_t* scratch, bool channels_last, const int32_t* row_sums, void* ctx);
  void (*conv_winograd_int8)(const int8_t* input, const void* const packed[16],  // 12
                             const float* scales, float input_scale, const int64_t* bias,
                             const int32_t* multiplier, const int32_t* shift,
                             const float* req_scale, int8_t in_zp, int8_t out_zp, int8_t* output,
                             int C, int H, int W, int C_out, int8_t* scratch0, int32_t* scratch1,
                             const int32_t* const row_sums[16], void* ctx);
  void (*conv_fp32)(const float* input, const float* weight, const float* bias,  // 13
                    float* output, int C, int H, int W, int C_out, int kH, int kW, int stride_h,
                    int stride_w, int pad_h, int pad_w, bool relu, const void* packed,
                    float* scratch, int dil_h, int dil_w, void* ctx);
  void (*conv_winograd_fp32)(const float* input, const void* const packed[16],  // 14
                             const float* bias, float* output, int C, int H, int W, int C_out,
                             bool relu, float* scratch, void* ctx, const float* weight);
  void (*seqgemm_fp32)(const float* x, const float* W, const float* bias, float* y, int M,  // 15
                       int K, int N, bool gelu, const float* packed, void* ctx);
  void (*seqgemm_int8)(const float* x, const uint8_t* packed, const float* w_scales,  // 16
                       const int64_t* bias64, const float* bias, int8_t* q_scratch,
                       float* scale_scratch, float* y, int M, int K, int N, bool gelu, void* ctx);
  void (*gemv_int8w_fp32)(const float* x, const int8_t* Wq, const float* w_scales,  // 17
                          const float* bias, float* y, int K, int N, void* ctx);
  void (*conv1d_int8)(const float* input, const void* weight, const float* w_scales,  // 18
                      const float* bias, float* output, int L, int C_in, int C_out, int K,
                      int stride, int padding, int dilation, void* ctx);
  void (*conv1d_fp32_compact)(const float* input, const float* weight, const float* bias,  // 19
                              float* output, int C_in, int L, int C_out, int K, int stride,
                              int padding, int dilation, bool relu, void* ctx);
  void (*conv_transpose1d_fp32)(const float* input, const void* weight, const float* bias,  // 20
                                float* output, int C_in, int L, int C_out, int K, int stride,
                                int padding, int output_padding, int groups, void* ctx);
  void (*attention_fp32)(const float* x, const float* w_qkv, const float* b_qkv,  // 21
                         const float* w_proj, const float* b_proj, float* y, int T, int E,
                         int num_heads, float* work, const float* qkv_packed,
                         const float* proj_packed, void* ctx, bool dynamic_quantize);
  void (*attention_int8)(const float* x, const uint8_t* qkv_packed,  // 22
                         const float* w_qkv_scales, const int64_t* qkv_bias64, const float* b_qkv,
                         const uint8_t* proj_packed, const float* w_proj_scales,
                         const int64_t* proj_bias64, const float* b_proj, float* y, int T, int E,
                         int num_heads, float* work, int8_t* q_scratch, float* scale_scratch,
                         void* ctx);
  void (*layernorm_fp32)(const float* x, const float* gamma, const float* beta, float* y,  // 23
                         int rows, int C, float eps, void* ctx);
  void (*maxpool_int8_planar)(const int8_t* in, int8_t* out, int C, int H, int W, int kH,  // 24
                              int kW, int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
  void (*maxpool_int8)(const int8_t* in, int8_t* out, int C, int H, int W, int kH, int kW,  // 25
                       int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
  void (*maxpool_fp32)(const float* in, float* out, int C, int H, int W, int kH, int kW,  // 26
                       int stride_h, int stride_w, int pad_h, int pad_w, void* ctx);
  void (*avgpool_int8_planar)(const int8_t* in, float in_scale, int in_zp, float out_scale,  // 27
                              int out_zp, int8_t* out, int C, int H, int W, void* ctx);
  void (*avgpool_int8)(const int8_t* in, float in_scale, int in_zp, float out_scale,  // 28
                       int out_zp, int8_t* out, int C, int H, int W, void* ctx);
  void (*avgpool_fp32)(const float* in, float* out, int C, int H, int W, void* ctx);  // 29
  void (*add_fp32)(const float* a, const float* b, float* out, int n, bool relu,      // 30
                   void* ctx);
  void (*add_int8)(const int8_t* a, const int8_t* b, float in1_scale, int in1_zp,  // 31
                   float in2_scale, int in2_zp, float out_scale, int out_zp, int8_t* out, int n,
                   void* ctx);
  void (*relu_fp32)(float* x, int n, void* ctx);                                        // 32
  void (*gelu_fp32)(float* x, int n, void* ctx);                                        // 33
  void (*sigmoid_fp32)(const float* in, float* out, int n, void* ctx);                  // 34
  void (*tanh_fp32)(const float* in, float* out, int n, void* ctx);                     // 35
  void (*leaky_relu_fp32)(const float* in, float* out, int n, float alpha, void* ctx);  // 36
  void (*exp_fp32)(const float* in, float* out, int n, void* ctx);                      // 37
  void (*sin_fp32)(const float* in, float* out, int n, void* ctx);                      // 38
  void (*upsample_nearest1d_fp32)(const float* in, float* out, int L, int C, int s,     // 39
                                  void* ctx);
  void (*upsample_bilinear_fp32)(const float* in, float* out, int C, int H, int W,  // 40
                                 int H_out, int W_out, void* ctx);
  void (*ada_in1d_fp32)(const float* in, float* out, const float* gamma, const float* beta,  // 41
                        int L, int C, float eps, void* ctx, const float* norm_weight,
                        const float* norm_bias);
  void (*ada_layer_norm_fp32)(const float* in, float* out, const float* gamma,  // 42
                              const float* beta, int L, int C, float eps, void* ctx);
  void (*add_inplace_fp32)(float* dst, const float* src, size_t n);                        // 43
  void (*add_bias_rows_fp32)(float* data, const float* bias, int rows, int C, void* ctx);  // 44
  void (*scale_fp32)(const float* in, float* out, size_t n, float s, void* ctx);           // 45
  void (*sum_channels_fp32)(const float* in, float* out, int rows, int C, void* ctx);      // 46
  void (*relu_fp32_alias)(float* x, int n, void* ctx);                                     // 47
  void (*embedding_lookup_fp32)(const float* indices, const float* table, float* out,      // 48
                                int n, int V, int D);
  void (*concat1d_fp32)(const float* a, const float* b, float* out, int rows, int C1,  // 49
                        int C2, bool broadcast, void* ctx);
  void (*slice_channels_fp32)(const float* in, float* out, int rows, int C, int start,  // 50
                              int n, void* ctx);
  void (*snake1d_fp32)(const float* in, float* out, const float* alpha,  // 51
                       const float* inv_alpha, int rows, int C, void* ctx);
  void (*lstm_fp32)(const float* input, const float* w_ih, const float* b_ih,  // 52
                    const float* w_hh, const float* b_hh, const float* r_w_ih, const float* r_b_ih,
                    const float* r_w_hh, const float* r_b_hh, float* output, int T, int I, int H,
                    bool bidirectional, void* ctx);
  void (*stft_fp32)(const float* signal, const float* w_real, const float* w_imag,  // 53
                    float* output, int N, int n_fft, int hop, void* ctx);
  void (*istft_fp32)(const float* magnitude, const float* phase, float* output, int F,  // 54
                     int n_fft, int hop, bool normalized, void* ctx);
  void (*reflection_pad1d_fp32)(const float* x, float* out, int T, int C, void* ctx);  // 55
  void (*sine_gen_fp32)(const float* f0, float* out, int n, int harmonics,             // 56
                        int sample_rate, int upsample_scale, float sine_amp, float voiced_threshold,
                        void* ctx);
  void (*rms_norm_fp32)(const float* x, const float* gamma, float* y, int rows, int C,  // 57
                        float eps, void* ctx);
  void (*silu_fp32)(const float* x, float* y, int n, void* ctx);                          // 58
  void (*elemwise_mul_fp32)(const float* a, const float* b, float* y, int n, void* ctx);  // 59
  void (*causal_attn_core_fp32)(const float* q, const float* k, const float* v,           // 60
                                float* cache, int seq_pos, int max_len, float* y, int T,
                                int num_q_heads, int num_kv_heads, int head_dim, int seq_pos_again,
                                float rope_theta, uint8_t seq_flag, float* work, void* ctx);
};

extern const char* const kNoBackendMessage;

// Appends the record, re-sorts the registry by priority (stable, highest first) and makes
// the first record active.
void register_backend(BackendOps& ops);
BackendOps& active_backend_or_throw();
bool select_backend(const std::string& name);
std::string active_backend_name();

}  // namespace mi
