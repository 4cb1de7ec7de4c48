#include "layers/duration.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "layers/layer_registry.h"
#include "layers/layer_util.h"

namespace mi {

namespace {

constexpr const char* kCls = "LengthRegulateFp32";

}  // namespace

LengthRegulateFp32::LengthRegulateFp32(const LayerArgs&) {}

// round() takes halves away from zero; every token keeps at least one frame.
int64_t LengthRegulateFp32::frames(float d) const {
  const float r = std::round(duration_scale * d);
  if (!(r <= float(INT32_MAX))) return int64_t(INT32_MAX) + 1;
  return r < 1.0f ? 1 : int64_t(r);
}

int64_t LengthRegulateFp32::total_frames(const float* d, const TensorShape& x,
                                         const TensorShape& durations) const {
  const int64_t tokens = int64_t(x.h) * x.w;
  const int64_t n = durations.count();
  if (n != tokens)
    layer_error(kCls, name,
                "durations " + describe(durations) + " hold " + std::to_string(n) +
                    " values for the " + std::to_string(tokens) + " tokens of input " +
                    describe(x));
  int64_t total = 0;
  for (int64_t i = 0; i < n; ++i) {
    if (!std::isfinite(d[i]))
      layer_error(
          kCls, name,
          "duration " + std::to_string(i) + " is " + std::to_string(d[i]) + ", not a finite value");
    total += frames(d[i]);
    if (total > INT32_MAX || total * std::max(x.c, 1) > INT_MAX)
      layer_error(kCls, name,
                  "durations add up to more than the " + std::to_string(INT_MAX) +
                      " elements a tensor can hold");
  }
  return total;
}

TensorShape LengthRegulateFp32::output_shape_data(const void* const* data,
                                                  const TensorShape* shapes, int count) {
  if (count < 1) return {};
  if (count < 2 || !data || !data[1]) return shapes[0];
  const float* d = static_cast<const float*>(data[1]);
  return {shapes[0].c, int32_t(total_frames(d, shapes[0], shapes[1])), 1};
}

TensorShape LengthRegulateFp32::forward(const TensorRef* inputs, int n_inputs,
                                        const BufferView& output, const RunContext&) {
  const TensorRef& x = layer_input(kCls, name, inputs, n_inputs, 0);
  const TensorRef& dur = layer_input(kCls, name, inputs, n_inputs, 1);
  if (!x.data || !dur.data) layer_error(kCls, name, "needs an input tensor and its durations");
  const int C = x.shape.c;
  const int64_t tokens = int64_t(x.shape.h) * x.shape.w;
  if (uint64_t(element_count(kCls, name, x.shape)) * sizeof(float) > x.size ||
      uint64_t(std::max<int64_t>(dur.shape.count(), 0)) * sizeof(float) > dur.size)
    layer_error(kCls, name, "inputs exceed their buffers");
  const float* d = static_cast<const float*>(dur.data);
  const int64_t total = total_frames(d, x.shape, dur.shape);
  if (uint64_t(total) * C * sizeof(float) > output.size)
    layer_error(kCls, name,
                std::to_string(total) + " frames do not fit the output buffer of " +
                    std::to_string(output.size) + " bytes");
  const float* in = static_cast<const float*>(x.data);
  float* out = static_cast<float*>(output.data);
  const size_t row = size_t(C) * sizeof(float);
  for (int64_t i = 0; i < tokens; ++i)
    for (int64_t r = frames(d[i]); r > 0; --r, out += C) std::memcpy(out, in + i * C, row);
  return {C, int32_t(total), 1};
}

MI_REGISTER_LAYER(kLengthRegulateFp32, LengthRegulateFp32);

}  // namespace mi
