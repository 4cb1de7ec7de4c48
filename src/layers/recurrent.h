// The recurrent layer: a one-layer LSTM over a 1-D sequence, forward or in both directions.
#pragma once

#include <cstdint>
#include <vector>

#include "backend/backend.h"
#include "layers/layer.h"

namespace mi {

class LstmFp32 : public ILayer {
 public:
  explicit LstmFp32(const LayerArgs& args);
  ~LstmFp32() override;
  void load_weights(const TensorLookup& lookup) override;
  TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                      const RunContext& ctx) override;
  TensorShape output_shape(const TensorShape& in) override;
  void upload_weights(Allocator& allocator) override;
  void release_caches() override;
  uint8_t output_device() const override;

  int32_t hidden_size = 0;
  bool bidirectional = false;
  int32_t input_size = 0;  // I, derived from the input weights

 private:
  struct Direction {
    // The weights as read (w_ih, b_ih, w_hh, b_hh), kept only for a backend that runs the
    // whole LSTM itself, and their device copies.
    std::vector<float> raw[4];
    Buffer device[4];
    // W_hh in the recurrence's step layout, on whole cache lines: a step streams it from L2,
    // and vector loads straddling two lines would halve that stream's rate.
    Buffer w_rec;
  };

  int directions() const { return bidirectional ? 2 : 1; }
  void check_channels(int channels) const;
  TensorShape run_on_device(const BackendOps& ops, const TensorRef& x, const BufferView& output,
                            const RunContext& ctx);

  Direction dirs_[2];
  Buffer packed_ih_;         // both directions' W_ih in gate block order, packed for the GEMM
  std::vector<float> bias_;  // both directions' b_ih + b_hh in gate block order, or empty
  std::vector<float> gx_;    // input projections of all steps; a cache of size only
};

}  // namespace mi
