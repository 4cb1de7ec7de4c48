#include "layers/conv2d.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "backend/backend.h"
#include "backend/cpu/conv2d.h"
#include "backend/cpu/conv_requant.h"
#include "backend/cpu/depthwise.h"
#include "backend/cpu/winograd.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

const char* conv_path_name(ConvPath p) {
  switch (p) {
    case ConvPath::Winograd: return "winograd";
    case ConvPath::General: return "general";
    case ConvPath::Grouped: return "grouped";
    case ConvPath::GroupedDevice: return "grouped_device";
    case ConvPath::Depthwise: return "depthwise";
  }
  return "";
}

namespace {

// Reads the configuration and refuses geometries no kernel can run.
ConvGeometry read_geometry(const LayerArgs& a, const char* cls, bool dilations) {
  ConvGeometry g{};
  g.C_out = a.get_int("C_out", 0);
  g.C_in = a.get_int("C_in", 0);
  g.kH = a.get_int("kH", 1);
  g.kW = a.get_int("kW", 1);
  g.stride_h = a.get_int("stride_h", 1);
  g.stride_w = a.get_int("stride_w", 1);
  g.pad_h = a.get_int("pad_h", 0);
  g.pad_w = a.get_int("pad_w", 0);
  g.groups = a.get_int("groups", 1);
  g.dilation_h = dilations ? a.get_int("dilation_h", 1) : 1;
  g.dilation_w = dilations ? a.get_int("dilation_w", 1) : 1;
  const std::string& n = a.node_name();
  auto need = [&](bool ok, const std::string& what) {
    if (!ok) layer_error(cls, n, what);
  };
  need(g.C_in > 0 && g.C_out > 0,
       "C_in and C_out must be positive (got C_in=" + std::to_string(g.C_in) +
           ", C_out=" + std::to_string(g.C_out) + ")");
  need(g.kH > 0 && g.kW > 0, "kernel sizes must be positive (got kH=" + std::to_string(g.kH) +
                                 ", kW=" + std::to_string(g.kW) + ")");
  need(g.stride_h > 0 && g.stride_w > 0,
       "strides must be positive (got stride_h=" + std::to_string(g.stride_h) +
           ", stride_w=" + std::to_string(g.stride_w) + ")");
  need(g.pad_h >= 0 && g.pad_w >= 0, "pads must not be negative");
  need(g.dilation_h > 0 && g.dilation_w > 0, "dilations must be positive");
  need(g.groups > 0 && g.C_in % g.groups == 0 && g.C_out % g.groups == 0,
       "groups=" + std::to_string(g.groups) + " must divide C_in=" + std::to_string(g.C_in) +
           " and C_out=" + std::to_string(g.C_out));
  g.K = g.C_in / g.groups * g.kW * g.kH;
  return g;
}

bool is_winograd_geometry(const ConvGeometry& g) {
  return g.kH == 3 && g.kW == 3 && g.stride_h == 1 && g.stride_w == 1 && g.pad_h == 1 &&
         g.pad_w == 1 && g.dilation_h == 1 && g.dilation_w == 1 && g.groups == 1;
}

void check_input(const char* cls, const std::string& name, const ConvGeometry& g,
                 const TensorShape& in) {
  if (in.c != g.C_in)
    layer_error(
        cls, name,
        "input has " + std::to_string(in.c) + " channels, expected C_in=" + std::to_string(g.C_in));
}

TensorShape conv_shape(const char* cls, const std::string& name, const ConvGeometry& g,
                       const TensorShape& in) {
  if (in.count() == 0) return TensorShape{g.C_out, 0, 0};
  check_input(cls, name, g, in);
  const TensorShape out{g.C_out, cpu::conv_out_size(in.h, g.pad_h, g.dilation_h, g.kH, g.stride_h),
                        cpu::conv_out_size(in.w, g.pad_w, g.dilation_w, g.kW, g.stride_w)};
  // The window must fit the padded image: C division would round a negative span up to one
  // output row made only of positions outside it.
  if (in.h + 2 * g.pad_h < g.dilation_h * (g.kH - 1) + 1 ||
      in.w + 2 * g.pad_w < g.dilation_w * (g.kW - 1) + 1)
    layer_error(cls, name,
                "input " + std::to_string(in.h) + "x" + std::to_string(in.w) +
                    " is smaller than the kernel");
  return out;
}

template <class T>
T* scratch_of(const RunContext& ctx, int slot, int64_t bytes) {
  const BufferView& v = ctx.scratch[slot];
  return v.data && int64_t(v.size) >= bytes ? static_cast<T*>(v.data) : nullptr;
}

constexpr int kWinogradInt8MaxChannels = 2048;

}  // namespace

// ---------------------------------------------------------------- ConvFp32

ConvFp32::ConvFp32(const LayerArgs& args) : g(read_geometry(args, "ConvFp32", true)) {
  name = args.node_name();
}

ConvPath ConvFp32::path() const {
  if (winograd_ready && g.dilation_h == 1 && g.dilation_w == 1) return ConvPath::Winograd;
  if (g.groups == 1) return ConvPath::General;
  if (g.groups == g.C_in && g.C_out == g.C_in) return ConvPath::Depthwise;
  return ConvPath::Grouped;
}

void ConvFp32::load_weights(const TensorLookup& lookup) {
  BackendOps& ops = active_backend_or_throw();
  weight = read_required<float>(lookup, "ConvFp32", name, ".weight", int64_t(g.C_out) * g.K);
  bias = read_optional<float>(lookup, "ConvFp32", name, ".bias", g.C_out);
  const int Cg = g.C_in / g.groups, Ng = g.C_out / g.groups, taps = g.kH * g.kW;

  if (is_winograd_geometry(g)) {
    std::vector<float> U(size_t(16) * g.C_out * g.C_in);
    float u[16];
    for (int o = 0; o < g.C_out; ++o)
      for (int i = 0; i < g.C_in; ++i) {
        cpu::winograd_kernel_transform(&weight[(size_t(o) * g.C_in + i) * 9], u);
        for (int k = 0; k < 16; ++k) U[(size_t(k) * g.C_out + o) * g.C_in + i] = u[k];
      }
    for (int k = 0; k < 16; ++k)
      winograd_packed[k] = pack_fp32(ops, &U[size_t(k) * g.C_out * g.C_in], g.C_out, g.C_in);
    winograd_ready = true;
  }

  std::vector<float> m(size_t(g.C_out) * g.K);
  cpu::reorder_kernel_position(weight.data(), m.data(), g.C_out, Cg, g.kH, g.kW);
  switch (path()) {
    case ConvPath::Depthwise:
      dw_weight.resize(size_t(taps) * g.C_out);
      for (int c = 0; c < g.C_out; ++c)
        for (int t = 0; t < taps; ++t)
          dw_weight[size_t(t) * g.C_out + c] = weight[size_t(c) * taps + t];
      break;
    case ConvPath::Grouped:
      for (int gi = 0; gi < g.groups; ++gi)
        group_packed.push_back(pack_fp32(ops, &m[size_t(gi) * Ng * g.K], Ng, g.K));
      break;
    default: packed = pack_fp32(ops, m.data(), g.C_out, g.K); break;
  }
  if (ops.device_kind != 0) weight = std::move(m);
}

TensorShape ConvFp32::output_shape(const TensorShape& in) {
  return conv_shape("ConvFp32", name, g, in);
}

void ConvFp32::plan_workspace(const TensorShape& in, WorkspaceRequest& req) {
  if (in.c == 0 || in.h == 0 || in.w == 0) return;
  const TensorShape o = output_shape(in);
  const int64_t M = int64_t(o.h) * o.w;
  switch (path()) {
    case ConvPath::Winograd: {
      const int64_t tiles = 16 * cpu::winograd_tiles(in.h, in.w) * (in.c + g.C_out);
      req.raise(2, uint64_t(4 * std::max(M * in.c * 9, tiles)));
      break;
    }
    case ConvPath::Grouped:
      req.raise(2, uint64_t(4 * cpu::grouped_fp32_scratch_floats(in.c, o.h, o.w, g.C_out, g.kH,
                                                                 g.kW, g.groups)));
      break;
    case ConvPath::Depthwise: break;
    default: req.raise(2, uint64_t(4 * M * in.c * g.kH * g.kW)); break;
  }
}

TensorShape ConvFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                              const RunContext& ctx) {
  BackendOps& ops = active_backend_or_throw();
  if (n_inputs < 1) layer_error("ConvFp32", name, "needs one input");
  const TensorShape& s = inputs[0].shape;
  const TensorShape o = output_shape(s);
  const float* in = static_cast<const float*>(inputs[0].data);
  float* out = static_cast<float*>(output.data);
  const float* b = bias.empty() ? nullptr : bias.data();
  switch (path()) {
    case ConvPath::Winograd: {
      const void* pk[16];
      for (int k = 0; k < 16; ++k) pk[k] = winograd_packed[k].data;
      const int64_t tiles = cpu::winograd_tiles(s.h, s.w);
      float* scratch = scratch_of<float>(ctx, 2, 64 * tiles * (s.c + g.C_out));
      ops.conv_winograd_fp32(in, pk, b, out, s.c, s.h, s.w, g.C_out, relu, scratch,
                             ctx.backend_handle, weight.data());
      break;
    }
    case ConvPath::General: {
      float* scratch = scratch_of<float>(ctx, 2, 4 * int64_t(o.h) * o.w * s.c * g.kH * g.kW);
      ops.conv_fp32(in, weight.data(), b, out, s.c, s.h, s.w, g.C_out, g.kH, g.kW, g.stride_h,
                    g.stride_w, g.pad_h, g.pad_w, relu, packed.data, scratch, g.dilation_h,
                    g.dilation_w, ctx.backend_handle);
      break;
    }
    case ConvPath::Grouped: {
      std::vector<const void*> pk;
      for (const Buffer& p : group_packed) pk.push_back(p.data);
      const int64_t floats =
          cpu::grouped_fp32_scratch_floats(s.c, o.h, o.w, g.C_out, g.kH, g.kW, g.groups);
      float* scratch = scratch_of<float>(ctx, 2, 4 * floats);
      cpu::conv_fp32_grouped(in, pk.data(), b, out, s.c, s.h, s.w, g.C_out, g.kH, g.kW, g.stride_h,
                             g.stride_w, g.pad_h, g.pad_w, g.dilation_h, g.dilation_w, g.groups,
                             relu, scratch);
      break;
    }
    default:
      cpu::depthwise_fp32({in, dw_weight.data(), b, out, s.c, s.h, s.w, g.kH, g.kW, g.stride_h,
                           g.stride_w, g.pad_h, g.pad_w, g.dilation_h, g.dilation_w, relu});
      break;
  }
  return o;
}

void ConvFp32::upload_weights(Allocator& allocator) {
  if (!allocator.is_device()) return;
  upload_packed(packed, allocator);
  for (Buffer& b : winograd_packed) upload_packed(b, allocator);
  for (Buffer& b : group_packed) upload_packed(b, allocator);
}

MI_REGISTER_LAYER(kConvFp32, ConvFp32);

// ---------------------------------------------------------------- ConvInt8

ConvInt8::ConvInt8(const LayerArgs& args) : g(read_geometry(args, "ConvInt8", false)) {
  name = args.node_name();
  in_zp = int8_t(args.get_int("in_zp", 0));
  out_zp = int8_t(args.get_int("out_zp", 0));
  winograd_allowed = args.get_int("winograd", 1) != 0;
}

ConvPath ConvInt8::path() const {
  const uint8_t dev = active_backend_or_throw().device_kind;
  if (winograd_ready && dev == 0) return ConvPath::Winograd;
  if (g.groups < 2) return ConvPath::General;
  if (dev >= 1 && dev <= 3) return ConvPath::GroupedDevice;
  if (!dw_weight.empty() && g.pad_h == 1 && g.pad_w == 1 && g.stride_h == g.stride_w &&
      (g.stride_h == 1 || g.stride_h == 2))
    return ConvPath::Depthwise;
  return ConvPath::Grouped;
}

void ConvInt8::load_weights(const TensorLookup& lookup) {
  BackendOps& ops = active_backend_or_throw();
  const int64_t N = g.C_out;
  weight = read_required<int8_t>(lookup, "ConvInt8", name, ".weight", N * g.K);
  req_scale = read_required<float>(lookup, "ConvInt8", name, ".req_scale", N);
  eff_bias = read_required<int64_t>(lookup, "ConvInt8", name, ".eff_bias", N);
  multiplier.resize(N);
  shift.resize(N);
  for (int c = 0; c < N; ++c) {
    if (!(std::isfinite(req_scale[c]) && req_scale[c] > 0.0f))
      layer_error("ConvInt8", name,
                  "tensor '" + name + ".req_scale' value " + std::to_string(c) + " is " +
                      std::to_string(req_scale[c]) + ", expected a finite positive scale");
    const cpu::QuantMultiplier qm = cpu::quantize_multiplier(req_scale[c]);
    multiplier[c] = qm.multiplier;
    shift[c] = qm.shift;
  }

  packed_oihw = pack_int8(ops, weight.data(), g.C_out, g.K);
  row_sums.assign(N, 0);
  for (int c = 0; c < N; ++c)
    for (int k = 0; k < g.K; ++k) row_sums[c] += weight[size_t(c) * g.K + k];
  if (g.kH <= 1 && g.kW <= 1) {
    packed = Buffer(packed_oihw.data, packed_oihw.on_device, packed_oihw.size, [](void*) {});
  } else {
    std::vector<int8_t> m(size_t(N) * g.K);
    cpu::reorder_kernel_position(weight.data(), m.data(), g.C_out, g.C_in / g.groups, g.kH, g.kW);
    packed = pack_int8(ops, m.data(), g.C_out, g.K);
  }

  if (winograd_allowed && is_winograd_geometry(g) && g.C_out <= kWinogradInt8MaxChannels) {
    std::vector<float> U(size_t(16) * N * g.C_in);
    float kf[9], u[16];
    for (int o = 0; o < g.C_out; ++o)
      for (int i = 0; i < g.C_in; ++i) {
        for (int t = 0; t < 9; ++t) kf[t] = weight[(size_t(o) * g.C_in + i) * 9 + t];
        cpu::winograd_kernel_transform(kf, u);
        for (int k = 0; k < 16; ++k) U[(size_t(k) * N + o) * g.C_in + i] = u[k];
      }
    winograd_input_scale = 0.25f;
    std::vector<int8_t> q(size_t(N) * g.C_in);
    for (int k = 0; k < 16; ++k) {
      const float* Uk = &U[size_t(k) * N * g.C_in];
      float absmax = 0.0f;
      for (size_t j = 0; j < q.size(); ++j) absmax = std::max(absmax, std::fabs(Uk[j]));
      const float scale = absmax > 0.0f ? absmax * 0.007874016f : 1.0f;
      const float inv = 1.0f / scale;
      winograd_scales[k] = scale;
      for (size_t j = 0; j < q.size(); ++j)
        q[j] = int8_t(std::clamp(std::roundf(Uk[j] * inv), -128.0f, 127.0f));
      winograd_packed[k] = pack_int8(ops, q.data(), g.C_out, g.C_in);
      winograd_row_sums[k].assign(N, 0);
      for (int o = 0; o < g.C_out; ++o)
        for (int i = 0; i < g.C_in; ++i) winograd_row_sums[k][o] += q[size_t(o) * g.C_in + i];
    }
    winograd_ready = true;
    const cpu::QuantMultiplier w5 = cpu::quantize_multiplier(double(winograd_scales[5] / 0.25f));
    winograd_bias.resize(N);
    for (int c = 0; c < N; ++c) {
      const int32_t zs = int32_t(uint32_t(int32_t(in_zp)) * uint32_t(winograd_row_sums[5][c]));
      const int64_t t = cpu::requant_one_step(zs, w5.multiplier, w5.shift);
      winograd_bias[c] = int64_t(int32_t(int64_t(in_zp) * row_sums[c] - t)) + eff_bias[c];
    }
  }

  if (g.groups == g.C_in && g.C_out == g.C_in && g.kH == 3 && g.kW == 3 &&
      (ops.device_kind == 0 || ops.device_kind == 3)) {
    dw_weight.resize(size_t(9) * N);
    dw_bias.resize(N);
    for (int c = 0; c < N; ++c) {
      for (int t = 0; t < 9; ++t) dw_weight[size_t(t) * N + c] = weight[size_t(c) * 9 + t];
      dw_bias[c] = int32_t(eff_bias[c]);
    }
  }
}

TensorShape ConvInt8::output_shape(const TensorShape& in) {
  return conv_shape("ConvInt8", name, g, in);
}

void ConvInt8::plan_workspace(const TensorShape& in, WorkspaceRequest& req) {
  if (in.c == 0 || in.h == 0 || in.w == 0) return;
  const TensorShape o = output_shape(in);
  const int64_t cols = int64_t(o.h) * o.w * g.kH * g.kW;
  switch (path()) {
    case ConvPath::Winograd: {
      const int64_t th = in.h / 2, tw = in.w / 2 + 1;
      req.raise(0, uint64_t(in.c * std::max(cols, 16 * (th + 1) * tw)));
      req.raise(1, uint64_t(int64_t(g.C_out) * 64 * (th + 1) * tw));
      break;
    }
    case ConvPath::General:
    case ConvPath::GroupedDevice: req.raise(0, uint64_t(cols * in.c)); break;
    default: break;
  }
}

TensorShape ConvInt8::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                              const RunContext& ctx) {
  BackendOps& ops = active_backend_or_throw();
  if (n_inputs < 1) layer_error("ConvInt8", name, "needs one input");
  const TensorShape& s = inputs[0].shape;
  const TensorShape o = output_shape(s);
  const int8_t* in = static_cast<const int8_t*>(inputs[0].data);
  int8_t* out = static_cast<int8_t*>(output.data);
  const int64_t cols = int64_t(o.h) * o.w * g.kH * g.kW * s.c;
  switch (path()) {
    case ConvPath::Winograd: {
      const void* pk[16];
      const int32_t* rs[16];
      for (int k = 0; k < 16; ++k) {
        pk[k] = winograd_packed[k].data;
        rs[k] = winograd_row_sums[k].empty() ? nullptr : winograd_row_sums[k].data();
      }
      const int64_t T = cpu::winograd_tiles(s.h, s.w);
      ops.conv_winograd_int8(in, pk, winograd_scales, winograd_input_scale, winograd_bias.data(),
                             multiplier.data(), shift.data(), req_scale.data(), in_zp, out_zp, out,
                             s.c, s.h, s.w, g.C_out, scratch_of<int8_t>(ctx, 0, 16 * T * s.c),
                             scratch_of<int32_t>(ctx, 1, 64 * T * g.C_out), rs, ctx.backend_handle);
      break;
    }
    case ConvPath::General:
    case ConvPath::GroupedDevice:
      ops.conv_int8(in, weight.data(), packed.data, eff_bias.data(), multiplier.data(),
                    shift.data(), in_zp, out_zp, out, s.c, s.h, s.w, g.C_out, g.kH, g.kW,
                    g.stride_h, g.stride_w, g.pad_h, g.pad_w, g.groups,
                    scratch_of<int8_t>(ctx, 0, cols), true,
                    row_sums.empty() ? nullptr : row_sums.data(), ctx.backend_handle);
      break;
    case ConvPath::Depthwise:
      cpu::depthwise3x3_int8({in, dw_weight.data(), dw_bias.data(), multiplier.data(), shift.data(),
                              in_zp, out_zp, out, s.c, s.h, s.w, g.stride_h});
      break;
    case ConvPath::Grouped:
      cpu::conv_int8_grouped_channels_last(
          in, weight.data(), eff_bias.data(), multiplier.data(), shift.data(), in_zp, out_zp, out,
          s.c, s.h, s.w, g.C_out, g.kH, g.kW, g.stride_h, g.stride_w, g.pad_h, g.pad_w, g.groups);
      break;
  }
  return o;
}

void ConvInt8::upload_weights(Allocator& allocator) {
  if (!allocator.is_device()) return;
  const bool shared = packed.data == packed_oihw.data;
  upload_packed(packed_oihw, allocator);
  if (shared)
    packed = Buffer(packed_oihw.data, packed_oihw.on_device, packed_oihw.size, [](void*) {});
  else
    upload_packed(packed, allocator);
  for (Buffer& b : winograd_packed) upload_packed(b, allocator);
}

MI_REGISTER_LAYER(kConvInt8, ConvInt8);

}  // namespace mi
