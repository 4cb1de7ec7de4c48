// The waveform end of the vocoder: the short-time Fourier transform into magnitude and phase
// rows, its inverse by windowed overlap-add, and the harmonic sine source.
#pragma once

#include <cstdint>
#include <vector>

#include "backend/cpu/spectral.h"
#include "layers/layer.h"

namespace mi {

class StftFp32 : public ILayer {
 public:
  explicit StftFp32(const LayerArgs& args);
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  TensorShape output_shape_data(const void* const* data, const TensorShape* shapes,
                                int count) override;
  void upload_weights(Allocator& allocator) override;
  uint8_t output_device() const override { return 0; }

  int32_t n_fft;
  int32_t hop;

 private:
  TensorShape frames_of(int64_t samples) const;

  bool loaded_ = false;  // the bases came from the weights file
  std::vector<float> w_real_, w_imag_;
  std::vector<float> packed_;
  Buffer device_real_, device_imag_;
};

class IstftFp32 : public ILayer {
 public:
  explicit IstftFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  uint8_t output_device() const override;

  int32_t n_fft;
  int32_t hop;
  bool normalized;

 private:
  cpu::IstftTables tables_;
};

class SineGenFp32 : public ILayer {
 public:
  explicit SineGenFp32(const LayerArgs& args);
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  uint8_t output_device() const override { return 0; }

 private:
  cpu::SineGenParams params_;
};

}  // namespace mi
