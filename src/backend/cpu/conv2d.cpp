#include "backend/cpu/conv2d.h"

#include <omp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "backend/cpu/conv_requant.h"
#include "backend/cpu/cpu_backend.h"
#include "backend/cpu/threading.h"
#include "backend/cpu/winograd.h"

namespace mi::cpu {

namespace {

// The geometry of a convolution over all C channels of an H x W image, Cg per group,
// starting at group 0.
ConvGeometry image_geometry(int C, int H, int W, int Cg, int kH, int kW, int sh, int sw, int ph,
                            int pw, int dh, int dw) {
  ConvGeometry g;
  g.C_in = C;
  g.kH = kH;
  g.kW = kW;
  g.stride_h = sh;
  g.stride_w = sw;
  g.pad_h = ph;
  g.pad_w = pw;
  g.dilation_h = dh;
  g.dilation_w = dw;
  g.groups = C / Cg;
  g.set_image(H, W);
  return g;
}

// Channels-last im2col of output rows [oy0, oy1): row (oy - oy0)*Wo + ox holds, for each tap
// (ky, kx) at column block (ky*kW + kx)*Cg, the Cg channels starting at c0 of input pixel
// (oy*sh + ky*dh - ph, ox*sw + kx*dw - pw), or Cg copies of `pad` outside the image. When
// the group spans all channels, a kernel row that lies inside the image is one
// contiguous run of kW*C values.
template <class T>
void im2col_cl(const T* in, const ConvGeometry& g, int oy0, int oy1, T pad, T* A) {
  const int64_t K = int64_t(g.Cg()) * g.kH * g.kW;
  const bool runs = g.dilation_w == 1 && g.Cg() == g.C_in;
  for (int oy = oy0; oy < oy1; ++oy) {
    for (int ox = 0; ox < g.Wo; ++ox) {
      T* row = A + (int64_t(oy - oy0) * g.Wo + ox) * K;
      const int ix0 = ox * g.stride_w - g.pad_w;
      for (int ky = 0; ky < g.kH; ++ky) {
        T* dst = row + int64_t(ky) * g.kW * g.Cg();
        const int iy = oy * g.stride_h + ky * g.dilation_h - g.pad_h;
        if (iy < 0 || iy >= g.H) {
          std::fill(dst, dst + int64_t(g.kW) * g.Cg(), pad);
          continue;
        }
        const T* src_row = in + int64_t(iy) * g.W * g.C_in + g.c0;
        if (runs && ix0 >= 0 && ix0 + g.kW <= g.W) {
          std::memcpy(dst, src_row + int64_t(ix0) * g.C_in, sizeof(T) * g.kW * g.C_in);
          continue;
        }
        for (int kx = 0; kx < g.kW; ++kx) {
          const int ix = ix0 + kx * g.dilation_w;
          T* d = dst + int64_t(kx) * g.Cg();
          if (ix < 0 || ix >= g.W)
            std::fill(d, d + g.Cg(), pad);
          else
            std::memcpy(d, src_row + int64_t(ix) * g.C_in, sizeof(T) * g.Cg());
        }
      }
    }
  }
}

// Planar im2col of Cg planes (plane ch at ch*H*W): row oy*Wo + ox, column (ch*kH + ky)*kW + kx,
// the file order of one weight row. Positions outside the image hold `pad`.
void im2col_planar(const int8_t* planes, const ConvGeometry& g, int8_t pad, int8_t* A) {
  const int64_t K = int64_t(g.Cg()) * g.kH * g.kW;
  for (int oy = 0; oy < g.Ho; ++oy)
    for (int ox = 0; ox < g.Wo; ++ox) {
      int8_t* row = A + (int64_t(oy) * g.Wo + ox) * K;
      for (int ch = 0; ch < g.Cg(); ++ch) {
        const int8_t* plane = planes + int64_t(ch) * g.H * g.W;
        for (int ky = 0; ky < g.kH; ++ky) {
          const int iy = oy * g.stride_h + ky - g.pad_h;
          int8_t* d = row + (int64_t(ch) * g.kH + ky) * g.kW;
          for (int kx = 0; kx < g.kW; ++kx) {
            const int ix = ox * g.stride_w + kx - g.pad_w;
            d[kx] = (iy < 0 || iy >= g.H || ix < 0 || ix >= g.W) ? pad : plane[iy * g.W + ix];
          }
        }
      }
    }
}

struct Fp32Columns;
struct ChunkColumns;
struct PlanarInput;
struct PlanarOutput;

// Column matrices above kChunkedGatherBytes whose weights take at most kChunkedWeightBytes
// (stem convolutions: few input channels, large images) are gathered and multiplied a few
// output rows at a time, so that the product reads each chunk from L2 instead of the whole
// matrix from memory. Larger weights would be streamed again for every chunk. Each output
// element is computed exactly as by one product over all rows.
constexpr int64_t kChunkedGatherBytes = int64_t(1) << 20;
constexpr int64_t kChunkedWeightBytes = int64_t(256) << 10;
constexpr int64_t kGatherChunkBytes = int64_t(192) << 10;

bool chunked_gather(const ConvGeometry& g, int64_t K, int N, size_t elem) {
  return int64_t(g.Ho) * g.Wo * K * int64_t(elem) > kChunkedGatherBytes &&
         K * N * int64_t(elem) <= kChunkedWeightBytes;
}

// Calls run(oy0, oy1, cols) over chunks of output rows with a per-thread buffer for the
// chunk's columns; a team takes the chunks in static order, at least four per thread.
template <class T, class F>
void over_gather_chunks(const ConvGeometry& g, int64_t K, F run) {
  const int threads = team_threads();
  const int64_t row_bytes = int64_t(g.Wo) * K * int64_t(sizeof(T));
  int rows = int(std::clamp<int64_t>(kGatherChunkBytes / row_bytes, 1, g.Ho));
  rows = std::max(1, std::min(rows, g.Ho / (4 * threads)));
  const int chunks = (g.Ho + rows - 1) / rows;
  auto one = [&](int i) {
    const int oy0 = i * rows, oy1 = std::min(g.Ho, oy0 + rows);
    run(oy0, oy1, thread_scratch<ChunkColumns, T>(int64_t(oy1 - oy0) * g.Wo * K));
  };
  run_shares(threads, [&](int t, int n) {
    for (int i = int(split_begin(chunks, t, n)); i < split_begin(chunks, t + 1, n); ++i) one(i);
  });
}

// Gathers the columns of all output rows, split over the team's shares.
template <class T>
void gather_rows_shared(const T* in, const ConvGeometry& g, T pad, T* A) {
  run_shares(team_threads(), [&](int t, int n) {
    const int oy0 = int(split_begin(g.Ho, t, n)), oy1 = int(split_begin(g.Ho, t + 1, n));
    im2col_cl(in, g, oy0, oy1, pad, A + int64_t(oy0) * g.Wo * int64_t(g.Cg()) * g.kH * g.kW);
  });
}

struct Fp32Pack {
  const BackendOps& ops;
  float* block = nullptr;
  ~Fp32Pack() {
    if (block) ops.free_packed_fp32(block);
  }
};

struct Int8Pack {
  const BackendOps& ops;
  uint8_t* block = nullptr;
  ~Int8Pack() {
    if (block) ops.free_packed_int8(block);
  }
};

// Packs a [N][Cg][kH][kW] weight in the column order of the channels-last im2col.
template <class T, class PackFn>
auto pack_kernel_position(const T* weight, int N, int Cg, int kH, int kW, PackFn pack) {
  const int K = Cg * kH * kW;
  if (kH * kW == 1) return pack(weight, N, K);
  std::vector<T> m(size_t(N) * K);
  reorder_kernel_position(weight, m.data(), N, Cg, kH, kW);
  return pack(m.data(), N, K);
}

bool has_wide_scale(const int32_t* shift, int n) {
  return std::any_of(shift, shift + n, [](int32_t s) { return s > 0; });
}

// The int8-output mode of gemm_int8 rounds in two steps, a rule stated for scales below 1.
// When a channel's scale is 1 or more the product is taken as raw sums and every channel is
// rounded by requant_two_step, which rounds such channels once.
void product_wide_scales(const BackendOps& ops, const int8_t* A, const uint8_t* pk,
                         const int64_t* bias, const int32_t* multiplier, const int32_t* shift,
                         int8_t out_zp, int8_t* C, int M, int K, int N, bool channel_major) {
  require_cpu_op(ops.gemm_int8_int32 != nullptr, "gemm_int8_int32");
  std::vector<int32_t> acc(size_t(M) * N);
  ops.gemm_int8_int32(A, pk, acc.data(), M, K, N, nullptr, nullptr);
  for (int m = 0; m < M; ++m)
    for (int n = 0; n < N; ++n) {
      const int32_t x = int32_t(uint32_t(acc[size_t(m) * N + n]) + uint32_t(int32_t(bias[n])));
      C[channel_major ? size_t(n) * M + m : size_t(m) * N + n] =
          saturate_int8(requant_two_step(x, multiplier[n], shift[n]) + out_zp);
    }
}

}  // namespace

void conv_fp32(const float* input, const float* weight, const float* bias, float* output, int C,
               int H, int W, int C_out, int kH, int kW, int stride_h, int stride_w, int pad_h,
               int pad_w, bool relu, const void* packed, float* scratch, int dil_h, int dil_w,
               void* ctx) {
  const BackendOps& ops = cpu_backend();
  require_cpu_op(ops.gemm_packed_fp32 && ops.pack_weights_fp32, "gemm_packed_fp32");
  const ConvGeometry g =
      image_geometry(C, H, W, C, kH, kW, stride_h, stride_w, pad_h, pad_w, dil_h, dil_w);
  if (g.Ho <= 0 || g.Wo <= 0) return;
  const int M = g.Ho * g.Wo;
  const int K = C * kH * kW;
  const bool pointwise = kH == 1 && kW == 1 && stride_h == 1 && stride_w == 1 && pad_h == 0 &&
                         pad_w == 0 && dil_h == 1 && dil_w == 1;
  Fp32Pack temp{ops};
  if (!packed) {
    temp.block = pack_kernel_position(weight, C_out, C, kH, kW, ops.pack_weights_fp32);
    packed = temp.block;
  }
  const float* pk = static_cast<const float*>(packed);
  if (!pointwise && chunked_gather(g, K, C_out, sizeof(float))) {
    over_gather_chunks<float>(g, K, [&](int oy0, int oy1, float* cols) {
      const int64_t m0 = int64_t(oy0) * g.Wo;
      im2col_cl(input, g, oy0, oy1, 0.0f, cols);
      ops.gemm_packed_fp32(cols, pk, bias, output + m0 * C_out, relu, (oy1 - oy0) * g.Wo, K, C_out,
                           false, ctx);
    });
    return;
  }
  float* A = pointwise ? nullptr
                       : (scratch ? scratch : thread_scratch<Fp32Columns, float>(int64_t(M) * K));
  const float* a = pointwise ? input : A;
  if (run_serial()) {
    if (!pointwise) im2col_cl(input, g, 0, g.Ho, 0.0f, A);
    ops.gemm_packed_fp32(a, pk, bias, output, relu, M, K, C_out, false, ctx);
    return;
  }
  if (!pointwise) gather_rows_shared(input, g, 0.0f, A);
  run_shares(team_threads(), [&](int, int) {
    ops.gemm_packed_fp32(a, pk, bias, output, relu, M, K, C_out, true, ctx);
  });
}

int64_t grouped_fp32_scratch_floats(int C, int H_out, int W_out, int C_out, int kH, int kW,
                                    int groups) {
  const int64_t M = int64_t(H_out) * W_out;
  return M * (int64_t(C / groups) * kH * kW + C_out / groups);
}

void conv_fp32_grouped(const float* input, const void* const* group_packs, const float* bias,
                       float* output, int C, int H, int W, int C_out, int kH, int kW, int stride_h,
                       int stride_w, int pad_h, int pad_w, int dil_h, int dil_w, int groups,
                       bool relu, float* scratch) {
  const BackendOps& ops = cpu_backend();
  require_cpu_op(ops.gemm_packed_fp32 != nullptr, "gemm_packed_fp32");
  const int Cg = C / groups, Ng = C_out / groups;
  ConvGeometry g =
      image_geometry(C, H, W, Cg, kH, kW, stride_h, stride_w, pad_h, pad_w, dil_h, dil_w);
  if (g.Ho <= 0 || g.Wo <= 0) return;
  const int M = g.Ho * g.Wo;
  const int K = Cg * kH * kW;
  if (!scratch)
    scratch = thread_scratch<Fp32Columns, float>(
        grouped_fp32_scratch_floats(C, g.Ho, g.Wo, C_out, kH, kW, groups));
  float* A = scratch;
  float* Y = scratch + int64_t(M) * K;
  auto scatter = [&](int gi, int m0, int m1) {
    for (int m = m0; m < m1; ++m)
      std::memcpy(output + int64_t(m) * C_out + int64_t(gi) * Ng, Y + int64_t(m) * Ng,
                  sizeof(float) * Ng);
  };
  if (run_serial()) {
    for (int gi = 0; gi < groups; ++gi) {
      g.c0 = gi * Cg;
      im2col_cl(input, g, 0, g.Ho, 0.0f, A);
      ops.gemm_packed_fp32(A, static_cast<const float*>(group_packs[gi]),
                           bias ? bias + int64_t(gi) * Ng : nullptr, Y, relu, M, K, Ng, false,
                           nullptr);
      scatter(gi, 0, M);
    }
    return;
  }
#pragma omp parallel num_threads(omp_get_max_threads()) firstprivate(g)
  {
    for (int gi = 0; gi < groups; ++gi) {
      g.c0 = gi * Cg;
#pragma omp for schedule(static)
      for (int oy = 0; oy < g.Ho; ++oy)
        im2col_cl(input, g, oy, oy + 1, 0.0f, A + int64_t(oy) * g.Wo * K);
      ops.gemm_packed_fp32(A, static_cast<const float*>(group_packs[gi]),
                           bias ? bias + int64_t(gi) * Ng : nullptr, Y, relu, M, K, Ng, true,
                           nullptr);
#pragma omp barrier
#pragma omp for schedule(static)
      for (int oy = 0; oy < g.Ho; ++oy) scatter(gi, oy * g.Wo, (oy + 1) * g.Wo);
    }
  }
}

void conv_int8(const int8_t* input, const int8_t* weight, const void* packed,
               const int64_t* eff_bias, const int32_t* multiplier, const int32_t* shift,
               int8_t in_zp, int8_t out_zp, int8_t* output, int C, int H, int W, int C_out, int kH,
               int kW, int stride_h, int stride_w, int pad_h, int pad_w, int groups,
               int8_t* scratch, bool channels_last, const int32_t* row_sums, void* ctx) {
  if (groups < 1) groups = 1;
  if (channels_last && groups > 1) {
    conv_int8_grouped_channels_last(input, weight, eff_bias, multiplier, shift, in_zp, out_zp,
                                    output, C, H, W, C_out, kH, kW, stride_h, stride_w, pad_h,
                                    pad_w, groups);
    return;
  }
  const BackendOps& ops = cpu_backend();
  require_cpu_op(ops.gemm_int8 && ops.pack_weights_int8, "gemm_int8");
  const int Cg = C / groups, Ng = C_out / groups;
  const ConvGeometry g =
      image_geometry(C, H, W, Cg, kH, kW, stride_h, stride_w, pad_h, pad_w, 1, 1);
  if (g.Ho <= 0 || g.Wo <= 0) return;
  const int M = g.Ho * g.Wo;
  const int K = Cg * kH * kW;

  if (!channels_last) {
    std::vector<int8_t> cols(size_t(M) * K);
    for (int gi = 0; gi < groups; ++gi) {
      Int8Pack temp{ops};
      const uint8_t* pk = static_cast<const uint8_t*>(packed);
      if (!pk || groups > 1) {
        temp.block = ops.pack_weights_int8(weight + int64_t(gi) * Ng * K, Ng, K);
        pk = temp.block;
      }
      im2col_planar(input + int64_t(gi) * Cg * H * W, g, in_zp, cols.data());
      const int64_t o = int64_t(gi) * Ng;
      if (has_wide_scale(shift + o, Ng))
        product_wide_scales(ops, cols.data(), pk, eff_bias + o, multiplier + o, shift + o, out_zp,
                            output + o * M, M, K, Ng, true);
      else
        ops.gemm_int8(cols.data(), pk, eff_bias + o, multiplier + o, shift + o, nullptr, out_zp,
                      output + o * M, false, M, K, Ng, true, false, nullptr, ctx);
    }
    return;
  }

  Int8Pack temp{ops};
  if (!packed) {
    temp.block = pack_kernel_position(weight, C_out, C, kH, kW, ops.pack_weights_int8);
    packed = temp.block;
  }
  const uint8_t* pk = static_cast<const uint8_t*>(packed);
  const bool direct =
      kH == 1 && kW == 1 && pad_h == 0 && pad_w == 0 && stride_h == 1 && stride_w == 1;
  const bool wide = has_wide_scale(shift, C_out);
  if (!direct && !wide && chunked_gather(g, K, C_out, 1)) {
    over_gather_chunks<int8_t>(g, K, [&](int oy0, int oy1, int8_t* cols) {
      const int64_t m0 = int64_t(oy0) * g.Wo;
      im2col_cl(input, g, oy0, oy1, in_zp, cols);
      ops.gemm_int8(cols, pk, eff_bias, multiplier, shift, nullptr, out_zp, output + m0 * C_out,
                    false, (oy1 - oy0) * g.Wo, K, C_out, false, false, row_sums, ctx);
    });
    return;
  }
  std::vector<int8_t> local;
  int8_t* A = nullptr;
  if (!direct) {
    if (!scratch) {
      local.resize(size_t(M) * K);
      scratch = local.data();
    }
    A = scratch;
  }
  const int8_t* a = direct ? input : A;
  if (run_serial() || wide) {
    if (!direct) im2col_cl(input, g, 0, g.Ho, in_zp, A);
    if (wide) {
      product_wide_scales(ops, a, pk, eff_bias, multiplier, shift, out_zp, output, M, K, C_out,
                          false);
      return;
    }
    ops.gemm_int8(a, pk, eff_bias, multiplier, shift, nullptr, out_zp, output, false, M, K, C_out,
                  false, false, row_sums, ctx);
    return;
  }
  if (!direct) gather_rows_shared(input, g, in_zp, A);
  run_shares(team_threads(), [&](int, int) {
    ops.gemm_int8(a, pk, eff_bias, multiplier, shift, nullptr, out_zp, output, false, M, K, C_out,
                  false, true, row_sums, ctx);
  });
}

void conv_int8_grouped_channels_last(const int8_t* input, const int8_t* weight,
                                     const int64_t* eff_bias, const int32_t* multiplier,
                                     const int32_t* shift, int8_t in_zp, int8_t out_zp,
                                     int8_t* output, int C, int H, int W, int C_out, int kH, int kW,
                                     int stride_h, int stride_w, int pad_h, int pad_w, int groups) {
  const int Ho = conv_out_size(H, pad_h, 1, kH, stride_h);
  const int Wo = conv_out_size(W, pad_w, 1, kW, stride_w);
  if (Ho <= 0 || Wo <= 0) return;
  const int64_t HW = int64_t(H) * W, M = int64_t(Ho) * Wo;
  int8_t* pin = thread_scratch<PlanarInput, int8_t>(HW * C);
  int8_t* pout = thread_scratch<PlanarOutput, int8_t>(M * C_out);
  for (int64_t p = 0; p < HW; ++p)
    for (int c = 0; c < C; ++c) pin[c * HW + p] = input[p * C + c];
  conv_int8(pin, weight, nullptr, eff_bias, multiplier, shift, in_zp, out_zp, pout, C, H, W, C_out,
            kH, kW, stride_h, stride_w, pad_h, pad_w, groups, nullptr, false, nullptr, nullptr);
  for (int64_t p = 0; p < M; ++p)
    for (int c = 0; c < C_out; ++c) output[p * C_out + c] = pout[c * M + p];
}

void install_conv_ops(BackendOps& ops) {
  ops.conv_fp32 = conv_fp32;
  ops.conv_int8 = conv_int8;
  ops.conv_winograd_fp32 = conv_winograd_fp32;
  ops.conv_winograd_int8 = conv_winograd_int8;
}

}  // namespace mi::cpu
