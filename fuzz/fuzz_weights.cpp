// The W1X1 loader on a fuzzed file, offered to probe layers that ask for a few tensor
// names (those of the seed corpus) and check what the lookup hands back.
#include <stdexcept>

#include "fuzz_files.h"
#include "io/weights_loader.h"

namespace {

class ProbeLayer : public mi::ILayer {
 public:
  explicit ProbeLayer(const char* prefix) : prefix_(prefix) {}
  void load_weights(const mi::TensorLookup& lookup) override {
    for (const char* suffix : {".weight", ".bias", ".scale"}) {
      std::vector<int> shape;
      std::vector<uint8_t> bytes;
      if (!lookup(prefix_ + suffix, shape, bytes)) continue;
      // Touch every byte handed out so a short buffer shows up under the sanitizer.
      unsigned sum = 0;
      for (uint8_t b : bytes) sum += b;
      for (int d : shape) sum += unsigned(d);
      sink_ += sum;
    }
  }
  mi::TensorShape forward(const mi::TensorRef*, int, const mi::BufferView&,
                          const mi::RunContext&) override {
    return {};
  }
  mi::TensorShape output_shape(const mi::TensorShape& in) override { return in; }

 private:
  std::string prefix_;
  unsigned sink_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = mi::fuzz::write_temp("weights.bin", data, size);
  std::vector<std::unique_ptr<mi::ILayer>> layers;
  for (const char* name : {"fc", "conv", "fc"})
    layers.push_back(std::make_unique<ProbeLayer>(name));
  mi::WeightLoadMemoryStats stats;
  try {
    mi::load_weights(path, layers, &stats);
    if (stats.max_tensor_bytes > size) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
