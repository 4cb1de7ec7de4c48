#include "layers/conv1d.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "backend/backend.h"
#include "backend/cpu/conv1d.h"
#include "backend/cpu/conv1d_int8.h"
#include "backend/cpu/conv1d_winograd_chunks.h"
#include "backend/cpu/conv2d.h"
#include "backend/cpu/gemm_fp32.h"
#include "backend/cpu/gemm_int8.h"
#include "backend/cpu/threading.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

const char* conv1d_path_name(Conv1dPath p) {
  switch (p) {
    case Conv1dPath::Winograd: return "winograd";
    case Conv1dPath::Pointwise: return "pointwise";
    case Conv1dPath::Direct: return "direct";
    case Conv1dPath::General: return "general";
    case Conv1dPath::Grouped: return "grouped";
  }
  return "";
}

bool conv1d_direct_forced(const char* v, int K) {
  if (!v || !*v) return true;
  if (v[0] == '0' || std::strcmp(v, "wino") == 0) return false;
  if (std::strcmp(v, "1") == 0 || std::strcmp(v, "all") == 0) return true;
  // A list of kernel sizes that take the direct path.
  const char* p = v;
  for (;;) {
    while (*p == ' ' || *p == ',' || *p == ':' || *p == ';') ++p;
    if (!*p) return false;
    char* end = nullptr;
    const long n = std::strtol(p, &end, 10);
    if (end == p) return false;
    if (n == K) return true;
    p = end;
  }
}

namespace {

constexpr const char* kFloatCls = "Conv1dFp32";
constexpr const char* kInt8Cls = "Conv1dInt8";
constexpr const char* kTransposedCls = "ConvTranspose1dFp32";

// Reads the node's arguments and refuses configurations no kernel can run.
Conv1dConfig read_config(const LayerArgs& a, const char* cls, bool transposed) {
  Conv1dConfig c;
  c.C_out = a.get_int("C_out", 0);
  c.C_in = a.get_int("C_in", 0);
  c.K = a.get_int("kernel_size", 1);
  c.stride = a.get_int("stride", 1);
  c.padding = a.get_int("padding", 0);
  c.dilation = transposed ? 1 : a.get_int("dilation", 1);
  c.output_padding = transposed ? a.get_int("output_padding", 0) : 0;
  c.groups = a.get_int("groups", 1);
  const std::string& n = a.node_name();
  auto need = [&](bool ok, const std::string& what) {
    if (!ok) layer_error(cls, n, what);
  };
  // groups 0 is read as 1, as files written without a group count expect.
  if (c.groups == 0) c.groups = 1;
  need(c.C_in > 0 && c.C_out > 0,
       "C_in and C_out must be positive (got C_in=" + std::to_string(c.C_in) +
           ", C_out=" + std::to_string(c.C_out) + ")");
  need(c.K >= 1, "kernel_size must be at least 1 (got " + std::to_string(c.K) + ")");
  need(c.stride >= 1, "stride must be at least 1 (got " + std::to_string(c.stride) + ")");
  need(c.dilation >= 1, "dilation must be at least 1 (got " + std::to_string(c.dilation) + ")");
  need(c.padding >= 0, "padding must not be negative (got " + std::to_string(c.padding) + ")");
  need(c.output_padding >= 0,
       "output_padding must not be negative (got " + std::to_string(c.output_padding) + ")");
  need(c.groups > 0 && c.C_in % c.groups == 0 && c.C_out % c.groups == 0,
       "groups=" + std::to_string(c.groups) + " must divide C_in=" + std::to_string(c.C_in) +
           " and C_out=" + std::to_string(c.C_out));
  need(int64_t(c.C_out) * c.K * c.Cg() < (int64_t(1) << 31),
       "weight of " + std::to_string(int64_t(c.C_out) * c.K * c.Cg()) + " values is too large");
  return c;
}

void check_channels(const char* cls, const std::string& name, const Conv1dConfig& c,
                    const TensorShape& in) {
  if (in.c != c.C_in)
    layer_error(
        cls, name,
        "input has " + std::to_string(in.c) + " channels, expected C_in=" + std::to_string(c.C_in));
  if (in.w != 1)
    layer_error(cls, name, "input " + describe(in) + " is not a sequence (width must be 1)");
}

// Lengths too short for the kernel: shapes are propagated at load with a variable length
// taken as 1, so the shape rule gives length 0 for them and only a run refuses them.
void short_input(const char* cls, const std::string& name, const Conv1dConfig& c, int L) {
  layer_error(cls, name,
              "input of " + std::to_string(L) + " steps is too short for kernel_size " +
                  std::to_string(c.K) + " with dilation " + std::to_string(c.dilation) +
                  " and padding " + std::to_string(c.padding) + " (output length below 1)");
}

// The convolution shape rule; an empty input (a length not known yet) gives length 0.
TensorShape conv_shape(const char* cls, const std::string& name, const Conv1dConfig& c,
                       const TensorShape& in) {
  if (in.count() == 0) return {c.C_out, 0, 1};
  check_channels(cls, name, c, in);
  const int64_t span = int64_t(c.dilation) * (c.K - 1) + 1;
  const int64_t padded = int64_t(in.h) + 2 * int64_t(c.padding);
  // C division would round a negative span up to one output made only of padding.
  if (padded < span) return {c.C_out, 0, 1};
  const int64_t L_out = (padded - span) / c.stride + 1;
  if (L_out > INT32_MAX / 2)
    layer_error(cls, name, "output length " + std::to_string(L_out) + " is too large");
  return {c.C_out, int32_t(L_out), 1};
}

// Scratch a layer asks for is bounded like a tensor: a padding or kernel size far beyond
// the input would otherwise ask for a block no machine holds.
constexpr uint64_t kMaxScratchBytes = uint64_t(1) << 32;

void raise_scratch(WorkspaceRequest& req, int slot, int64_t bytes, const char* cls,
                   const std::string& name) {
  if (uint64_t(bytes) > kMaxScratchBytes)
    layer_error(cls, name,
                "needs " + std::to_string(bytes) + " bytes of scratch, above the 4 GiB limit");
  req.raise(slot, uint64_t(bytes));
}

template <class T>
T* scratch_of(const RunContext& ctx, int slot, int64_t count) {
  const BufferView& v = ctx.scratch[slot];
  return v.data && int64_t(v.size) >= count * int64_t(sizeof(T)) ? static_cast<T*>(v.data)
                                                                 : nullptr;
}

// Slot `slot` of the run when it holds `count` elements, else the layer's own vector.
template <class T>
T* scratch_or_own(const RunContext& ctx, int slot, int64_t count, std::vector<T>& own) {
  T* s = scratch_of<T>(ctx, slot, count);
  return s ? s : cpu::grow(own, count);
}

// Output steps [0, head) and [tail, L_out) of a stride-1 convolution read padding rows;
// the steps between read input rows only, so they run on the input in place and just
// `rows` padded rows (both ends) are copied.
struct PaddedEnds {
  int head = 0, tail = 0;
  int64_t rows = 0;
};

PaddedEnds padded_ends(const Conv1dConfig& c, int L, int L_out) {
  const int64_t reach = int64_t(c.dilation) * (c.K - 1);
  PaddedEnds e;
  e.head = std::min(c.padding, L_out);
  e.tail = int(std::clamp<int64_t>(int64_t(L) + c.padding - reach, e.head, L_out));
  e.rows = (e.head > 0 ? e.head + reach : 0) + (e.tail < L_out ? L_out - e.tail + reach : 0);
  return e;
}

// Rows [r0, r1) of the input with `padding` zero rows on each side.
void copy_padded_rows(const float* in, int L, int C, int padding, int64_t r0, int64_t r1,
                      float* dst) {
  for (int64_t r = r0; r < r1; ++r) {
    const int64_t i = r - padding;
    float* d = dst + (r - r0) * C;
    if (i < 0 || i >= L)
      std::memset(d, 0, size_t(C) * sizeof(float));
    else
      std::memcpy(d, in + i * C, size_t(C) * sizeof(float));
  }
}

// A weight block of the direct kernel's panel layout.
Buffer direct_pack(const float* w, int N, int K, int Cg) {
  return Buffer(cpu::pack_conv1d_direct(w, N, K, Cg), 0, size_t((N + 7) / 8) * K * Cg * 32,
                [](void* p) { delete[] static_cast<float*>(p); });
}

const TensorRef& sequence_input(const char* cls, const std::string& name, const TensorRef* in,
                                int n) {
  const TensorRef& x = layer_input(cls, name, in, n, 0);
  if (x.shape.count() == 0)
    layer_error(cls, name, "input " + describe(x.shape) + " has no time steps");
  return x;
}

}  // namespace

// ---------------------------------------------------------------- Conv1dFp32

Conv1dFp32::Conv1dFp32(const LayerArgs& args)
    : cfg_(read_config(args, kFloatCls, false)),
      extended_winograd_(args.get_bool("extended_winograd", false)) {
  name = args.node_name();
}

void Conv1dFp32::load_weights(const TensorLookup& lookup) {
  BackendOps& ops = active_backend_or_throw();
  const int N = cfg_.C_out, K = cfg_.K, Cg = cfg_.Cg();
  const std::vector<float> stored =
      read_required<float>(lookup, kFloatCls, name, ".weight", int64_t(N) * Cg * K);
  bias_ = read_optional<float>(lookup, kFloatCls, name, ".bias", N);
  // Stored C_out x Cg x K; the kernels read time tap before input channel.
  weight_.assign(size_t(N) * K * Cg, 0.0f);
  for (int oc = 0; oc < N; ++oc)
    for (int ic = 0; ic < Cg; ++ic)
      for (int k = 0; k < K; ++k)
        weight_[(size_t(oc) * K + k) * Cg + ic] = stored[(size_t(oc) * Cg + ic) * K + k];

  if (cfg_.groups == 1 && cfg_.stride == 1) {
    const bool forced = conv1d_direct_forced(std::getenv("TOVRIN_FP32_CONV1D_DIRECT"), K);
    // Without the extended choice: F(4,3) and F(2,7) at dilation 1. F(2,11) is left to the
    // direct path: its transforms reach 21076 and lose 2 to 4% of the output scale in
    // float32, against 4e-6 for F(4,3) and 3e-5 for F(2,7). The extended choice takes F(4,3)
    // at any dilation and F(4,4) over chunks of four taps for longer kernels: fewer products
    // than F(2,7) at its error.
    const bool undilated = cfg_.dilation == 1;
    const cpu::Conv1dWinograd* v = (K == 3 && (undilated || extended_winograd_)) ||
                                           (K == 7 && undilated && !extended_winograd_)
                                       ? cpu::conv1d_winograd_variant(K)
                                       : nullptr;
    const cpu::Conv1dWinograd* chunked =
        extended_winograd_ ? cpu::conv1d_winograd_chunk_variant(K) : nullptr;
    if (!forced && v) {
      const std::vector<float> U = cpu::conv1d_winograd_weights(*v, weight_.data(), N, Cg);
      for (int t = 0; t < v->T; ++t)
        winograd_.push_back(pack_fp32(ops, &U[size_t(t) * N * Cg], N, Cg));
      path_ = Conv1dPath::Winograd;
    } else if (!forced && chunked) {
      const int chunks = cpu::conv1d_winograd_chunks(*chunked, K);
      const std::vector<float> U =
          cpu::conv1d_winograd_chunk_weights(*chunked, weight_.data(), N, K, Cg);
      for (int t = 0; t < chunked->T; ++t)
        winograd_.push_back(direct_pack(&U[size_t(t) * N * chunks * Cg], N, chunks, Cg));
      chunked_ = true;
      path_ = Conv1dPath::Winograd;
    } else if (K == 1) {
      pointwise_.push_back(pack_fp32(ops, weight_.data(), N, Cg));
      path_ = Conv1dPath::Pointwise;
    } else {
      direct_ = direct_pack(weight_.data(), N, K, Cg);
      path_ = Conv1dPath::Direct;
    }
  } else if (cfg_.groups == 1) {
    general_ = pack_fp32(ops, weight_.data(), N, K * Cg);
    path_ = Conv1dPath::General;
  } else {
    const int Ng = N / cfg_.groups;
    for (int g = 0; g < cfg_.groups; ++g)
      groups_.push_back(pack_fp32(ops, &weight_[size_t(g) * Ng * K * Cg], Ng, K * Cg));
    path_ = Conv1dPath::Grouped;
  }
  if (ops.device_kind == 0) std::vector<float>().swap(weight_);
}

TensorShape Conv1dFp32::output_shape(const TensorShape& in) {
  return conv_shape(kFloatCls, name, cfg_, in);
}

void Conv1dFp32::plan_workspace(const TensorShape& in, WorkspaceRequest& req) {
  const int64_t L_out = output_shape(in).h;
  if (L_out < 1) return;
  const int64_t Cg = cfg_.Cg(), K = cfg_.K, Lp = int64_t(in.h) + 2 * cfg_.padding;
  int64_t need = K * L_out * Cg;
  switch (path_) {
    case Conv1dPath::Winograd:
      if (chunked_) {
        need = std::max(need, cpu::conv1d_winograd_chunks_scratch_floats(
                                  *cpu::conv1d_winograd_chunk_variant(cfg_.K), cfg_.K, in.h,
                                  int(L_out), cfg_.C_in, cfg_.C_out, cfg_.padding, cfg_.dilation));
        break;
      }
      need = std::max(need, cpu::conv1d_winograd_scratch_floats(
                                *cpu::conv1d_winograd_variant(cfg_.K), in.h, int(L_out), cfg_.C_in,
                                cfg_.C_out, cfg_.padding, cfg_.dilation));
      break;
    case Conv1dPath::Pointwise: need = Cg * Lp; break;
    case Conv1dPath::Direct: need = Cg * padded_ends(cfg_, in.h, int(L_out)).rows; break;
    case Conv1dPath::General: break;
    case Conv1dPath::Grouped:
      need = cpu::grouped_fp32_scratch_floats(cfg_.C_in, int(L_out), 1, cfg_.C_out, cfg_.K, 1,
                                              cfg_.groups);
      break;
  }
  raise_scratch(req, 2, need * 4, kFloatCls, name);
}

TensorShape Conv1dFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                const RunContext& ctx) {
  const TensorRef& x = sequence_input(kFloatCls, name, inputs, n_inputs);
  const TensorShape o = output_shape(x.shape);
  if (o.h < 1) short_input(kFloatCls, name, cfg_, x.shape.h);
  const int L = x.shape.h, L_out = o.h, C_in = cfg_.C_in, C_out = cfg_.C_out, K = cfg_.K;
  const int Cg = cfg_.Cg();
  const float* in = static_cast<const float*>(x.data);
  float* out = static_cast<float*>(output.data);
  const float* b = bias_.empty() ? nullptr : bias_.data();
  switch (path_) {
    case Conv1dPath::Winograd: {
      if (chunked_) {
        const cpu::Conv1dWinograd* c = cpu::conv1d_winograd_chunk_variant(K);
        const float* pk[16];
        for (int t = 0; t < c->T; ++t) pk[t] = static_cast<const float*>(winograd_[size_t(t)].data);
        float* s = scratch_or_own(ctx, 2,
                                  cpu::conv1d_winograd_chunks_scratch_floats(
                                      *c, K, L, L_out, C_in, C_out, cfg_.padding, cfg_.dilation),
                                  scratch_);
        cpu::conv1d_winograd_chunks_fp32(*c, K, in, pk, b, relu, L, L_out, C_in, C_out,
                                         cfg_.padding, cfg_.dilation, out, s);
        break;
      }
      const cpu::Conv1dWinograd& v = *cpu::conv1d_winograd_variant(K);
      float* s = scratch_or_own(ctx, 2,
                                cpu::conv1d_winograd_scratch_floats(v, L, L_out, C_in, C_out,
                                                                    cfg_.padding, cfg_.dilation),
                                scratch_);
      const void* pk[8];
      for (int t = 0; t < v.T; ++t) pk[t] = winograd_[size_t(t)].data;
      auto run = winograd_.size() == 6 ? cpu::conv1d_winograd_f4k3 : cpu::conv1d_winograd_f2k7;
      run(in, pk, b, relu, L, L_out, C_in, C_out, cfg_.padding, cfg_.dilation, out, s);
      break;
    }
    case Conv1dPath::Pointwise: {
      const float* padded = in;
      if (cfg_.padding > 0) {
        const int64_t rows = int64_t(L) + 2 * cfg_.padding;
        float* p = scratch_or_own(ctx, 2, rows * C_in, scratch_);
        copy_padded_rows(in, L, C_in, cfg_.padding, 0, rows, p);
        padded = p;
      }
      active_backend_or_throw().gemm_packed_fp32(
          padded, static_cast<const float*>(pointwise_[0].data), b, out, relu, L_out, C_in, C_out,
          false, ctx.backend_handle);
      break;
    }
    case Conv1dPath::Direct: {
      // Every output is the same chain of multiply-adds whichever piece computes it.
      const float* packed = static_cast<const float*>(direct_.data);
      const PaddedEnds e = padded_ends(cfg_, L, L_out);
      const int64_t reach = int64_t(cfg_.dilation) * (K - 1);
      float* p = e.rows > 0 ? scratch_or_own(ctx, 2, e.rows * C_in, scratch_) : nullptr;
      if (e.head > 0) {
        copy_padded_rows(in, L, C_in, cfg_.padding, 0, e.head + reach, p);
        cpu::conv1d_direct_fp32(p, packed, b, out, relu, e.head, C_in, C_out, K, cfg_.dilation,
                                false);
        p += (e.head + reach) * C_in;
      }
      if (e.tail > e.head)
        cpu::conv1d_direct_fp32(in + int64_t(e.head - cfg_.padding) * C_in, packed, b,
                                out + int64_t(e.head) * C_out, relu, e.tail - e.head, C_in, C_out,
                                K, cfg_.dilation, false);
      if (e.tail < L_out) {
        copy_padded_rows(in, L, C_in, cfg_.padding, e.tail, L_out + reach, p);
        cpu::conv1d_direct_fp32(p, packed, b, out + int64_t(e.tail) * C_out, relu, L_out - e.tail,
                                C_in, C_out, K, cfg_.dilation, false);
      }
      break;
    }
    case Conv1dPath::General:
      cpu::conv_fp32(in, nullptr, b, out, C_in, L, 1, C_out, K, 1, cfg_.stride, 1, cfg_.padding, 0,
                     relu, general_.data, scratch_or_own(ctx, 2, int64_t(Cg) * K * L_out, scratch_),
                     cfg_.dilation, 1, ctx.backend_handle);
      break;
    case Conv1dPath::Grouped: {
      std::vector<const void*> pk;
      for (const Buffer& p : groups_) pk.push_back(p.data);
      const int64_t floats =
          cpu::grouped_fp32_scratch_floats(C_in, L_out, 1, C_out, K, 1, cfg_.groups);
      cpu::conv_fp32_grouped(in, pk.data(), b, out, C_in, L, 1, C_out, K, 1, cfg_.stride, 1,
                             cfg_.padding, 0, cfg_.dilation, 1, cfg_.groups, relu,
                             scratch_or_own(ctx, 2, floats, scratch_));
      break;
    }
  }
  return o;
}

void Conv1dFp32::release_caches() { std::vector<float>().swap(scratch_); }

MI_REGISTER_LAYER(kConv1dFp32, Conv1dFp32);

// ---------------------------------------------------------------- Conv1dInt8

Conv1dInt8::Conv1dInt8(const LayerArgs& args) : cfg_(read_config(args, kInt8Cls, false)) {
  name = args.node_name();
  // Dynamic quantisation takes one scale per time step over all input channels, which a
  // per-group product would not share; no model needs grouped int8 sequences.
  if (cfg_.groups != 1)
    layer_error(kInt8Cls, name,
                "groups=" + std::to_string(cfg_.groups) +
                    " is not supported (int8 1-D convolutions are ungrouped)");
}

void Conv1dInt8::load_weights(const TensorLookup& lookup) {
  BackendOps& ops = active_backend_or_throw();
  const int N = cfg_.C_out, K = cfg_.K, C = cfg_.C_in;
  const std::vector<int8_t> w =
      read_required<int8_t>(lookup, kInt8Cls, name, ".weight_i8", int64_t(N) * K * C);
  w_scales_ = read_required<float>(lookup, kInt8Cls, name, ".w_scales", N);
  bias_ = read_optional<float>(lookup, kInt8Cls, name, ".bias", N);
  if (per_tap() && ops.device_kind == 0 &&
      cpu::conv1d_int8_is_narrow(w.data(), int64_t(w.size()))) {
    narrow_ = Buffer(cpu::pack_conv1d_int8_narrow(w.data(), N, K, C), 0,
                     size_t(cpu::conv1d_int8_narrow_bytes(N, K, C)),
                     [](void* p) { delete[] static_cast<uint8_t*>(p); });
  } else if (per_tap()) {
    // Stored C_out x K x C_in, tap-major within a row.
    std::vector<int8_t> slice(size_t(N) * C);
    for (int k = 0; k < K; ++k) {
      for (int oc = 0; oc < N; ++oc)
        std::memcpy(&slice[size_t(oc) * C], &w[(size_t(oc) * K + k) * C], size_t(C));
      taps_.push_back(pack_int8(ops, slice.data(), N, C));
    }
  } else {
    whole_ = pack_int8(ops, w.data(), N, K * C);
  }
  bias64_.assign(size_t(N), 0);
}

TensorShape Conv1dInt8::output_shape(const TensorShape& in) {
  return conv_shape(kInt8Cls, name, cfg_, in);
}

void Conv1dInt8::plan_workspace(const TensorShape& in, WorkspaceRequest& req) {
  const int64_t L_out = output_shape(in).h, K = cfg_.K, C = cfg_.C_in;
  if (L_out < 1) return;
  if (per_tap()) {
    const int64_t Lp = int64_t(in.h) + 2 * cfg_.padding;
    raise_scratch(req, 0, cpu::conv1d_int8_narrow_rows_bytes(Lp, int(C)), kInt8Cls, name);
    raise_scratch(req, 5, Lp * 4, kInt8Cls, name);
  } else {
    raise_scratch(req, 2, K * C * L_out * 4, kInt8Cls, name);
    raise_scratch(req, 0, K * C * L_out, kInt8Cls, name);
    req.raise(5, uint64_t(cfg_.C_out) * 4);
  }
}

TensorShape Conv1dInt8::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                const RunContext& ctx) {
  const TensorRef& x = sequence_input(kInt8Cls, name, inputs, n_inputs);
  const TensorShape o = output_shape(x.shape);
  if (o.h < 1) short_input(kInt8Cls, name, cfg_, x.shape.h);
  const int L = x.shape.h, L_out = o.h, C = cfg_.C_in, N = cfg_.C_out, K = cfg_.K;
  const float* in = static_cast<const float*>(x.data);
  float* out = static_cast<float*>(output.data);
  const float* b = bias_.empty() ? nullptr : bias_.data();
  if (narrow_.data) {
    const int64_t Lp = int64_t(L) + 2 * cfg_.padding;
    int8_t* q = scratch_or_own(ctx, 0, cpu::conv1d_int8_narrow_rows_bytes(Lp, C), qscratch_);
    cpu::conv1d_int8_narrow(in, L, cfg_.padding, static_cast<const uint8_t*>(narrow_.data),
                            w_scales_.data(), b, out, L_out, C, N, K, cfg_.dilation,
                            reinterpret_cast<uint8_t*>(q), scratch_or_own(ctx, 5, Lp, sscratch_));
    return o;
  }
  if (per_tap()) {
    const int64_t Lp = int64_t(L) + 2 * cfg_.padding;
    std::vector<const uint8_t*> pk;
    for (const Buffer& t : taps_) pk.push_back(static_cast<const uint8_t*>(t.data));
    cpu::conv1d_int8_per_tap(in, L, cfg_.padding, pk.data(), w_scales_.data(), b, out, L_out, C, N,
                             K, cfg_.dilation, scratch_or_own(ctx, 0, Lp * C, qscratch_),
                             scratch_or_own(ctx, 5, Lp, sscratch_));
    return o;
  }
  // im2col: block k of row t is input row t*stride + k*dilation - padding, or zeros.
  const int64_t cols = int64_t(K) * C;
  float* A = scratch_or_own(ctx, 2, cols * L_out, fscratch_);
  for (int t = 0; t < L_out; ++t)
    for (int k = 0; k < K; ++k) {
      const int64_t r = int64_t(t) * cfg_.stride + int64_t(k) * cfg_.dilation - cfg_.padding;
      float* dst = A + t * cols + int64_t(k) * C;
      if (r < 0 || r >= L)
        std::memset(dst, 0, size_t(C) * sizeof(float));
      else
        std::memcpy(dst, in + r * C, size_t(C) * sizeof(float));
    }
  cpu::gemm_int8_dynamic(A, static_cast<const uint8_t*>(whole_.data), w_scales_.data(),
                         bias64_.data(), b, scratch_or_own(ctx, 0, cols * L_out, qscratch_),
                         scratch_or_own(ctx, 5, N, sscratch_), out, L_out, int(cols), N, nullptr);
  return o;
}

void Conv1dInt8::release_caches() {
  std::vector<float>().swap(fscratch_);
  std::vector<int8_t>().swap(qscratch_);
  std::vector<float>().swap(sscratch_);
}

MI_REGISTER_LAYER(kConv1dInt8, Conv1dInt8);

// ---------------------------------------------------------------- ConvTranspose1dFp32

ConvTranspose1dFp32::ConvTranspose1dFp32(const LayerArgs& args)
    : cfg_(read_config(args, kTransposedCls, true)) {
  name = args.node_name();
}

void ConvTranspose1dFp32::load_weights(const TensorLookup& lookup) {
  BackendOps& ops = active_backend_or_throw();
  const int C = cfg_.C_in, Ng = cfg_.C_out / cfg_.groups, K = cfg_.K;
  weight_ = read_required<float>(lookup, kTransposedCls, name, ".weight", int64_t(C) * Ng * K);
  bias_ = read_optional<float>(lookup, kTransposedCls, name, ".bias", cfg_.C_out);
  if (cfg_.groups == 1) {
    // All taps in one K*C_out x C_in matrix, row k*C_out + oc = weight[.][oc][k], so that one
    // product gives every tap's rows.
    std::vector<float> B(size_t(K) * Ng * C);
    for (int k = 0; k < K; ++k)
      for (int oc = 0; oc < Ng; ++oc)
        for (int ic = 0; ic < C; ++ic)
          B[(size_t(k) * Ng + oc) * C + ic] = weight_[(size_t(ic) * Ng + oc) * K + k];
    packed_ = pack_fp32(ops, B.data(), K * Ng, C);
    if (ops.device_kind == 0) std::vector<float>().swap(weight_);
  } else if (cfg_.groups == C && Ng == 1) {
    // Depthwise: tap-major, so that one tap of all channels is one contiguous row.
    std::vector<float> t(size_t(K) * C);
    for (int c = 0; c < C; ++c)
      for (int k = 0; k < K; ++k) t[size_t(k) * C + c] = weight_[size_t(c) * K + k];
    weight_ = std::move(t);
  }
}

TensorShape ConvTranspose1dFp32::output_shape(const TensorShape& in) {
  if (in.count() == 0) return {cfg_.C_out, 0, 1};
  check_channels(kTransposedCls, name, cfg_, in);
  const int64_t L_out =
      (int64_t(in.h) - 1) * cfg_.stride - 2 * int64_t(cfg_.padding) + cfg_.output_padding + cfg_.K;
  if (L_out < 1) return {cfg_.C_out, 0, 1};
  if (L_out > INT32_MAX / 2)
    layer_error(kTransposedCls, name, "output length " + std::to_string(L_out) + " is too large");
  return {cfg_.C_out, int32_t(L_out), 1};
}

void ConvTranspose1dFp32::plan_workspace(const TensorShape& in, WorkspaceRequest& req) {
  if (cfg_.groups != 1) return;
  const int64_t row = int64_t(cfg_.K) * cfg_.C_out;
  const int64_t chunk = std::clamp<int64_t>((int64_t(1) << 20) / row, 8, std::max(in.h, 1));
  raise_scratch(req, 2, chunk * row * 4, kTransposedCls, name);
}

TensorShape ConvTranspose1dFp32::forward(const TensorRef* inputs, int n_inputs,
                                         const BufferView& output, const RunContext& ctx) {
  const TensorRef& x = sequence_input(kTransposedCls, name, inputs, n_inputs);
  const TensorShape o = output_shape(x.shape);
  if (o.h < 1)
    layer_error(kTransposedCls, name,
                "input of " + std::to_string(x.shape.h) + " steps with padding " +
                    std::to_string(cfg_.padding) + " gives an output length below 1");
  BackendOps& ops = active_backend_or_throw();
  const int L = x.shape.h, L_out = o.h, C = cfg_.C_in, N = cfg_.C_out, K = cfg_.K;
  const int G = cfg_.groups, Cg = cfg_.Cg(), Ng = N / G, s = cfg_.stride, pad = cfg_.padding;
  const float* in = static_cast<const float*>(x.data);
  float* out = static_cast<float*>(output.data);
  std::memset(out, 0, size_t(L_out) * N * sizeof(float));
  // Input step t reaches output row t*stride - padding + k for the taps k that land inside.
  auto tap_range = [&](int t, int& k0, int& k1) {
    const int64_t base = int64_t(t) * s - pad;
    k0 = int(std::max<int64_t>(0, -base));
    k1 = int(std::min<int64_t>(K, L_out - base));
  };
  if (G == 1) {
    // Input steps in chunks whose products (K*C_out floats per step) stay near 4 MiB; the
    // rows are added in ascending step and tap order whatever the chunk size.
    const int64_t row = int64_t(K) * N;
    const int chunk = int(std::clamp<int64_t>((int64_t(1) << 20) / row, 8, L));
    float* Y = scratch_or_own(ctx, 2, chunk * row, scratch_);
    for (int t0 = 0; t0 < L; t0 += chunk) {
      const int rows = std::min(chunk, L - t0);
      ops.gemm_packed_fp32(in + int64_t(t0) * C, static_cast<const float*>(packed_.data), nullptr,
                           Y, false, rows, C, K * N, false, ctx.backend_handle);
      for (int t = t0; t < t0 + rows; ++t) {
        int k0, k1;
        tap_range(t, k0, k1);
        for (int k = k0; k < k1; ++k)
          ops.add_inplace_fp32(out + (int64_t(t) * s - pad + k) * N,
                               Y + (t - t0) * row + int64_t(k) * N, size_t(N));
      }
    }
  } else if (G == C && Ng == 1) {
    for (int t = 0; t < L; ++t) {
      int k0, k1;
      tap_range(t, k0, k1);
      const float* xr = in + int64_t(t) * C;
      for (int k = k0; k < k1; ++k) {
        float* yr = out + (int64_t(t) * s - pad + k) * N;
        const float* wr = &weight_[size_t(k) * C];
        for (int c = 0; c < C; ++c) yr[c] += xr[c] * wr[c];
      }
    }
  } else {
    for (int t = 0; t < L; ++t) {
      int k0, k1;
      tap_range(t, k0, k1);
      for (int k = k0; k < k1; ++k) {
        float* yr = out + (int64_t(t) * s - pad + k) * N;
        for (int g = 0; g < G; ++g)
          for (int oc = 0; oc < Ng; ++oc) {
            float acc = 0.0f;
            for (int ic = 0; ic < Cg; ++ic)
              acc += in[int64_t(t) * C + g * Cg + ic] *
                     weight_[(size_t(g * Cg + ic) * Ng + oc) * K + k];
            yr[g * Ng + oc] += acc;
          }
      }
    }
  }
  if (!bias_.empty()) ops.add_bias_rows_fp32(out, bias_.data(), L_out, N, ctx.backend_handle);
  return o;
}

void ConvTranspose1dFp32::release_caches() { std::vector<float>().swap(scratch_); }

MI_REGISTER_LAYER(kConvTranspose1dFp32, ConvTranspose1dFp32);

}  // namespace mi
