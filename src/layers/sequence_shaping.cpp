#include "layers/sequence_shaping.h"

#include <string>

#include "backend/backend.h"
#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

void require_input(const char* cls, const std::string& node, const TensorRef* inputs,
                   int n_inputs) {
  if (!layer_input(cls, node, inputs, n_inputs, 0).data)
    layer_error(cls, node, "needs an input tensor");
}

}  // namespace

Concat1dFp32::Concat1dFp32(const LayerArgs& args) : c2_(args.get_int("C2", 0)) {
  if (c2_ < 0) layer_error("Concat1dFp32", args.node_name(), "C2 must not be negative");
}

TensorShape Concat1dFp32::output_shape(const TensorShape& in) { return {in.c + c2_, in.h, in.w}; }

TensorShape Concat1dFp32::forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                                  const RunContext& ctx) {
  require_input("Concat1dFp32", name, inputs, n_inputs);
  const TensorShape& a = inputs[0].shape;
  const int rows = a.h * a.w;
  const float* b = nullptr;
  bool broadcast = false;
  if (n_inputs >= 2) {
    const TensorShape& bs = inputs[1].shape;
    // The kernel reads b with a row stride of C2: any other channel count is misread.
    if (bs.c != c2_)
      layer_error(
          "Concat1dFp32", name,
          "second input has " + std::to_string(bs.c) + " channels, C2 is " + std::to_string(c2_));
    broadcast = int64_t(bs.h) * bs.w < 2;
    if (!broadcast && int64_t(bs.h) * bs.w < rows)
      layer_error("Concat1dFp32", name,
                  "second input has " + std::to_string(int64_t(bs.h) * bs.w) +
                      " rows, the first has " + std::to_string(rows));
    b = static_cast<const float*>(inputs[1].data);
  }
  active_backend_or_throw().concat1d_fp32(static_cast<const float*>(inputs[0].data), b,
                                          static_cast<float*>(output.data), rows, a.c, c2_,
                                          broadcast, ctx.backend_handle);
  return output_shape(a);
}

SliceChannelsFp32::SliceChannelsFp32(const LayerArgs& args)
    : start_(args.get_int("ch_start", 0)), end_(args.get_int("ch_end", 0)) {
  if (start_ < 0 || end_ < start_)
    layer_error("SliceChannelsFp32", args.node_name(),
                "channel range [" + std::to_string(start_) + ", " + std::to_string(end_) +
                    ") is empty or reversed");
}

// A known channel count is checked while shapes are planned, before an output slot is sized
// for a range the input cannot supply.
TensorShape SliceChannelsFp32::output_shape(const TensorShape& in) {
  if (in.c > 0) check_range(in.c);
  return {end_ - start_, in.h, in.w};
}

void SliceChannelsFp32::check_range(int channels) const {
  if (end_ > channels)
    layer_error("SliceChannelsFp32", name,
                "channel range [" + std::to_string(start_) + ", " + std::to_string(end_) +
                    ") exceeds the input's " + std::to_string(channels) + " channels");
}

TensorShape SliceChannelsFp32::forward(const TensorRef* inputs, int n_inputs,
                                       const BufferView& output, const RunContext& ctx) {
  require_input("SliceChannelsFp32", name, inputs, n_inputs);
  const TensorShape& in = inputs[0].shape;
  check_range(in.c);
  const int rows = in.h * in.w;
  active_backend_or_throw().slice_channels_fp32(static_cast<const float*>(inputs[0].data),
                                                static_cast<float*>(output.data), rows, in.c,
                                                start_, end_ - start_, ctx.backend_handle);
  return {end_ - start_, rows, 1};
}

MI_REGISTER_LAYER(kConcat1dFp32, Concat1dFp32);
MI_REGISTER_LAYER(kSliceChannelsFp32, SliceChannelsFp32);

}  // namespace mi
