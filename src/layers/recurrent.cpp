#include "layers/recurrent.h"

#include <climits>
#include <string>

#include "backend/backend.h"
#include "backend/cpu/lstm.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

constexpr const char* kCls = "LstmFp32";

const float* data_or_null(const Buffer& b) { return static_cast<const float*>(b.data); }

}  // namespace

LstmFp32::LstmFp32(const LayerArgs& args)
    : hidden_size(args.get_int("hidden_size", 0)),
      bidirectional(args.get_bool("bidirectional", false)) {
  if (hidden_size < 1)
    layer_error(kCls, args.node_name(),
                "hidden_size must be at least 1, got " + std::to_string(hidden_size));
}

LstmFp32::~LstmFp32() = default;

void LstmFp32::load_weights(const TensorLookup& lookup) {
  const int H = hidden_size;
  const int64_t G = 4 * int64_t(H);
  const BackendOps& ops = active_backend_or_throw();
  std::vector<float> w_ih_all, bias_all;
  bool any_bias = false;
  for (int d = 0; d < directions(); ++d) {
    const std::string rev = d == 1 ? "_reverse" : "";
    std::vector<float> w_ih =
        read_floats_exact(lookup, kCls, name, ".weight_ih_l0" + rev, G, 0, true);
    if (w_ih.empty() || int64_t(w_ih.size()) % G != 0)
      layer_error(kCls, name,
                  "tensor '" + name + ".weight_ih_l0" + rev + "' has " +
                      std::to_string(w_ih.size()) + " values, not a positive multiple of 4 * " +
                      "hidden_size = " + std::to_string(G));
    const int64_t I = int64_t(w_ih.size()) / G;
    if (d == 0) {
      if (I > INT32_MAX) layer_error(kCls, name, "input size " + std::to_string(I) + " too large");
      input_size = int32_t(I);
    } else if (I != input_size) {
      layer_error(kCls, name,
                  "reverse input weights are for input size " + std::to_string(I) +
                      ", the forward ones for " + std::to_string(input_size));
    }
    std::vector<float> w_hh =
        read_floats_exact(lookup, kCls, name, ".weight_hh_l0" + rev, G, G * H, true);
    std::vector<float> b_ih =
        read_floats_exact(lookup, kCls, name, ".bias_ih_l0" + rev, G, G, false);
    std::vector<float> b_hh =
        read_floats_exact(lookup, kCls, name, ".bias_hh_l0" + rev, G, G, false);

    const std::vector<float> order = cpu::lstm_block_order(w_ih.data(), H, input_size);
    w_ih_all.insert(w_ih_all.end(), order.begin(), order.end());
    std::vector<float> bias = cpu::lstm_combined_bias(b_ih.empty() ? nullptr : b_ih.data(),
                                                      b_hh.empty() ? nullptr : b_hh.data(), H);
    any_bias = any_bias || !bias.empty();
    if (bias.empty()) bias.assign(size_t(G), 0.0f);
    const std::vector<float> bias_order = cpu::lstm_block_order(bias.data(), H, 1);
    bias_all.insert(bias_all.end(), bias_order.begin(), bias_order.end());

    Direction& dir = dirs_[d];
    dir.w_rec = host_allocator().make_buffer(cpu::lstm_recurrent_floats(H) * sizeof(float));
    cpu::pack_lstm_recurrent(w_hh.data(), H, static_cast<float*>(dir.w_rec.data));
    if (ops.lstm_fp32) {
      dir.raw[0] = std::move(w_ih);
      dir.raw[1] = std::move(b_ih);
      dir.raw[2] = std::move(w_hh);
      dir.raw[3] = std::move(b_hh);
    }
  }
  // The recurrent weights held 4H x H floats, so the padded sizes fit an int.
  const int Hp = cpu::lstm_padded_hidden(H);
  packed_ih_ = pack_fp32(ops, w_ih_all.data(), directions() * 4 * Hp, input_size);
  if (any_bias) bias_ = std::move(bias_all);
}

void LstmFp32::check_channels(int channels) const {
  if (channels != input_size)
    layer_error(kCls, name,
                "input has " + std::to_string(channels) + " channels, the weights expect " +
                    std::to_string(input_size));
}

TensorShape LstmFp32::output_shape(const TensorShape& in) {
  if (in.c > 0 && input_size > 0) check_channels(in.c);
  return {directions() * hidden_size, in.h, in.w};
}

TensorShape LstmFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                              const RunContext& ctx) {
  const TensorRef& x = layer_input(kCls, name, inputs, n_inputs, 0);
  if (!x.data) layer_error(kCls, name, "needs an input tensor");
  if (!packed_ih_.data) layer_error(kCls, name, "weights are not loaded");
  check_channels(x.shape.c);
  element_count(kCls, name, x.shape);
  element_count(kCls, name, output_shape(x.shape));
  const BackendOps& ops = active_backend_or_throw();
  if (x.on_device == 3 && ops.lstm_fp32) return run_on_device(ops, x, output, ctx);

  const int H = hidden_size;
  const int T = x.shape.h * x.shape.w;
  const int64_t dir_gates = 4 * int64_t(cpu::lstm_padded_hidden(H));
  const int64_t gates = directions() * dir_gates;
  if (T == 0) return output_shape(x.shape);
  if (int64_t(gx_.size()) < T * gates) gx_.resize(size_t(T * gates));
  float* gx = gx_.data();
  ops.gemm_packed_fp32(static_cast<const float*>(x.data),
                       static_cast<const float*>(packed_ih_.data),
                       bias_.empty() ? nullptr : bias_.data(), gx, false, T, input_size, int(gates),
                       false, ctx.backend_handle);
  float* out = static_cast<float*>(output.data);
  cpu::LstmDirection dirs[2];
  for (int d = 0; d < directions(); ++d)
    dirs[d] = {gx + d * dir_gates, static_cast<const float*>(dirs_[d].w_rec.data),
               out + int64_t(d) * H, d == 1};
  cpu::lstm_recurrence_fp32(dirs, directions(), T, H, gates, int64_t(directions()) * H);
  return output_shape(x.shape);
}

TensorShape LstmFp32::run_on_device(const BackendOps& ops, const TensorRef& x,
                                    const BufferView& output, const RunContext& ctx) {
  const Direction& f = dirs_[0];
  const Direction& r = dirs_[1];
  const bool two = bidirectional;
  ops.lstm_fp32(static_cast<const float*>(x.data), data_or_null(f.device[0]),
                data_or_null(f.device[1]), data_or_null(f.device[2]), data_or_null(f.device[3]),
                two ? data_or_null(r.device[0]) : nullptr,
                two ? data_or_null(r.device[1]) : nullptr,
                two ? data_or_null(r.device[2]) : nullptr,
                two ? data_or_null(r.device[3]) : nullptr, static_cast<float*>(output.data),
                x.shape.h * x.shape.w, input_size, hidden_size, two, ctx.backend_handle);
  return output_shape(x.shape);
}

void LstmFp32::upload_weights(Allocator& allocator) {
  if (!active_backend_or_throw().lstm_fp32) return;
  for (int d = 0; d < directions(); ++d)
    for (int i = 0; i < 4; ++i) dirs_[d].device[i] = upload_floats(dirs_[d].raw[i], allocator);
}

void LstmFp32::release_caches() { std::vector<float>().swap(gx_); }

uint8_t LstmFp32::output_device() const {
  const uint8_t kind = active_backend_or_throw().device_kind;
  return kind == 1 || kind == 2 ? 0 : kind;
}

MI_REGISTER_LAYER(kLstmFp32, LstmFp32);

}  // namespace mi
