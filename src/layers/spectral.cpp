#include "layers/spectral.h"

#include <climits>
#include <string>

#include "backend/backend.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

// Bases of B x n_fft floats each: beyond this the layer would need gigabytes.
constexpr int kMaxFft = 8192;
// Column count of one sine source row: harmonic_num + 1.
constexpr int kMaxHarmonics = 4096;

void check_fft(const char* cls, const std::string& node, int n_fft, int hop) {
  // An odd n_fft gives rows of 2 (n_fft / 2 + 1) = n_fft + 1 floats where n_fft + 2 are
  // planned, and loses the Nyquist bin the inverse reads.
  if (n_fft < 2 || n_fft % 2 != 0 || n_fft > kMaxFft)
    layer_error(cls, node,
                "n_fft must be an even number from 2 to " + std::to_string(kMaxFft) + ", got " +
                    std::to_string(n_fft));
  if (hop < 1) layer_error(cls, node, "hop_size must be at least 1, got " + std::to_string(hop));
}

const TensorRef& data_input(const char* cls, const std::string& node, const TensorRef* inputs,
                            int n_inputs, int i) {
  const TensorRef& x = layer_input(cls, node, inputs, n_inputs, i);
  if (!x.data) layer_error(cls, node, "input " + std::to_string(i) + " has no tensor");
  return x;
}

int64_t steps_of(const TensorShape& s) { return int64_t(s.h) * s.w; }

void check_capacity(const char* cls, const std::string& node, const BufferView& out,
                    const TensorShape& shape) {
  const int n = element_count(cls, node, shape);
  if (uint64_t(n) * sizeof(float) > out.size)
    layer_error(cls, node,
                "output " + describe(shape) + " does not fit its buffer of " +
                    std::to_string(out.size) + " bytes");
}

}  // namespace

// ---- StftFp32 -------------------------------------------------------------------------------

StftFp32::StftFp32(const LayerArgs& args)
    : n_fft(args.get_int("n_fft", 20)), hop(args.get_int("hop_size", 5)) {
  check_fft("StftFp32", args.node_name(), n_fft, hop);
}

void StftFp32::load_weights(const TensorLookup& lookup) {
  const int B = cpu::stft_bins(n_fft);
  const int64_t count = int64_t(B) * n_fft;
  std::vector<float> re = read_floats_exact(lookup, "StftFp32", name, ".w_real", B, count, false);
  std::vector<float> im = read_floats_exact(lookup, "StftFp32", name, ".w_imag", B, count, false);
  loaded_ = !re.empty() && !im.empty();
  if (loaded_) {
    w_real_ = std::move(re);
    w_imag_ = std::move(im);
  } else {
    cpu::stft_default_bases(n_fft, w_real_, w_imag_);
  }
  packed_.resize(cpu::stft_packed_floats(n_fft));
  cpu::pack_stft_bases(w_real_.data(), w_imag_.data(), n_fft, packed_.data());
}

void StftFp32::upload_weights(Allocator& allocator) {
  if (!loaded_ || !active_backend_or_throw().stft_fp32) return;
  device_real_ = upload_floats(w_real_, allocator);
  device_imag_ = upload_floats(w_imag_, allocator);
}

TensorShape StftFp32::frames_of(int64_t samples) const {
  const int64_t F = cpu::stft_frames(samples, hop);
  if (F > INT32_MAX)
    layer_error("StftFp32", name, std::to_string(samples) + " samples are too many");
  return {n_fft + 2, int32_t(F), 1};
}

TensorShape StftFp32::output_shape(const TensorShape& in) { return frames_of(std::max(in.h, 0)); }

TensorShape StftFp32::output_shape_data(const void* const*, const TensorShape* shapes, int count) {
  return count >= 1 ? frames_of(std::max<int64_t>(steps_of(shapes[0]), 0)) : TensorShape{};
}

TensorShape StftFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                              const RunContext& ctx) {
  const TensorRef& x = data_input("StftFp32", name, inputs, n_inputs, 0);
  if (packed_.empty()) layer_error("StftFp32", name, "bases are not loaded");
  const int64_t N = steps_of(x.shape);
  if (N <= 0) layer_error("StftFp32", name, "input " + describe(x.shape) + " has no samples");
  if (uint64_t(N) * sizeof(float) > x.size)
    layer_error("StftFp32", name, "input " + describe(x.shape) + " exceeds its buffer");
  const TensorShape shape = frames_of(N);
  check_capacity("StftFp32", name, output, shape);
  const BackendOps& ops = active_backend_or_throw();
  const float* in = static_cast<const float*>(x.data);
  float* out = static_cast<float*>(output.data);
  if (x.on_device == 3 && ops.stft_fp32 && device_real_.data) {
    ops.stft_fp32(in, static_cast<const float*>(device_real_.data),
                  static_cast<const float*>(device_imag_.data), out, int(N), n_fft, hop,
                  ctx.backend_handle);
    return shape;
  }
  cpu::stft_fp32(in, N, packed_.data(), n_fft, hop, out);
  return shape;
}

// ---- IstftFp32 ------------------------------------------------------------------------------

IstftFp32::IstftFp32(const LayerArgs& args)
    : n_fft(args.get_int("n_fft", 20)),
      hop(args.get_int("hop_size", 5)),
      normalized(args.get_bool("normalized", false)) {
  check_fft("IstftFp32", args.node_name(), n_fft, hop);
  tables_ = cpu::make_istft_tables(n_fft);
}

TensorShape IstftFp32::output_shape(const TensorShape& in) {
  const int64_t frames = std::max<int64_t>(steps_of(in), 1);
  const int64_t samples = (frames - 1) * hop + n_fft;
  if (samples > INT32_MAX)
    layer_error("IstftFp32", name, std::to_string(frames) + " frames are too many");
  return {1, int32_t(samples), 1};
}

uint8_t IstftFp32::output_device() const {
  const uint8_t kind = active_backend_or_throw().device_kind;
  return kind == 1 || kind == 2 ? 0 : kind;
}

TensorShape IstftFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                               const RunContext& ctx) {
  const TensorRef& mag = data_input("IstftFp32", name, inputs, n_inputs, 0);
  const TensorRef& ph = data_input("IstftFp32", name, inputs, n_inputs, 1);
  const int B = cpu::stft_bins(n_fft);
  if (mag.shape.c != B || ph.shape.c != B)
    layer_error("IstftFp32", name,
                "magnitude " + describe(mag.shape) + " and phase " + describe(ph.shape) +
                    " must both have n_fft / 2 + 1 = " + std::to_string(B) + " channels");
  if (mag.shape.count() != ph.shape.count())
    layer_error("IstftFp32", name,
                "magnitude " + describe(mag.shape) + " and phase " + describe(ph.shape) +
                    " differ in size");
  const int64_t F = steps_of(mag.shape);
  if (F <= 0) layer_error("IstftFp32", name, "input " + describe(mag.shape) + " has no frame");
  const uint64_t in_bytes = uint64_t(F) * B * sizeof(float);
  if (in_bytes > mag.size || in_bytes > ph.size)
    layer_error("IstftFp32", name, "inputs exceed their buffers");
  const int64_t samples = int64_t(hop) * (F - 1);
  if (samples > INT32_MAX)
    layer_error("IstftFp32", name, std::to_string(F) + " frames are too many");
  const TensorShape shape{1, int32_t(samples), 1};
  if (samples > 0) check_capacity("IstftFp32", name, output, shape);
  const BackendOps& ops = active_backend_or_throw();
  const float* m = static_cast<const float*>(mag.data);
  const float* p = static_cast<const float*>(ph.data);
  float* out = static_cast<float*>(output.data);
  if (mag.on_device == 3 && ops.istft_fp32) {
    ops.istft_fp32(m, p, out, int(F), n_fft, hop, normalized, ctx.backend_handle);
    return shape;
  }
  cpu::istft_fp32(m, p, F, tables_, hop, normalized, out);
  return shape;
}

// ---- SineGenFp32 ----------------------------------------------------------------------------

SineGenFp32::SineGenFp32(const LayerArgs& args) {
  const std::string& node = args.node_name();
  const int harmonic_num = args.get_int("harmonic_num", 8);
  params_.sample_rate = args.get_int("sample_rate", 24000);
  params_.sine_amp = args.get_float("sine_amp", 0.1f);
  params_.voiced_threshold = args.get_float("voiced_threshold", 10.0f);
  params_.noise_std = args.get_float("noise_std", 0.0f);
  params_.upsample_scale = args.get_int("upsample_scale", 0);
  if (harmonic_num < 0 || harmonic_num >= kMaxHarmonics)
    layer_error("SineGenFp32", node,
                "harmonic_num must be from 0 to " + std::to_string(kMaxHarmonics - 1) + ", got " +
                    std::to_string(harmonic_num));
  if (params_.sample_rate < 1)
    layer_error("SineGenFp32", node,
                "sample_rate must be at least 1, got " + std::to_string(params_.sample_rate));
  params_.harmonics = harmonic_num + 1;
}

TensorShape SineGenFp32::output_shape(const TensorShape& in) {
  return {params_.harmonics, in.h, in.w};
}

TensorShape SineGenFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                 const RunContext& ctx) {
  const TensorRef& f0 = data_input("SineGenFp32", name, inputs, n_inputs, 0);
  const int64_t n = steps_of(f0.shape);
  const TensorShape shape = output_shape(f0.shape);
  if (n < 0 || uint64_t(n) * sizeof(float) > f0.size)
    layer_error("SineGenFp32", name, "input " + describe(f0.shape) + " exceeds its buffer");
  check_capacity("SineGenFp32", name, output, shape);
  const int U = params_.upsample_scale;
  // Fewer samples than one frame leave no frame to interpolate from.
  if (U >= 1 && n < U)
    layer_error("SineGenFp32", name,
                "input " + describe(f0.shape) + " has " + std::to_string(n) +
                    " samples, fewer than upsample_scale " + std::to_string(U));
  const BackendOps& ops = active_backend_or_throw();
  const float* in = static_cast<const float*>(f0.data);
  float* out = static_cast<float*>(output.data);
  if (f0.on_device == 3 && ops.sine_gen_fp32 && U >= 1) {
    ops.sine_gen_fp32(in, out, int(n), params_.harmonics, params_.sample_rate, U, params_.sine_amp,
                      params_.voiced_threshold, ctx.backend_handle);
    return shape;
  }
  cpu::sine_gen_fp32(in, n, params_, out);
  return shape;
}

MI_REGISTER_LAYER(kStftFp32, StftFp32);
MI_REGISTER_LAYER(kIstftFp32, IstftFp32);
MI_REGISTER_LAYER(kSineGenFp32, SineGenFp32);

}  // namespace mi
