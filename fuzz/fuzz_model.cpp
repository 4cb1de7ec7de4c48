// Construct-and-run of a model from one fuzz input, split into an architecture file, a
// weights file and the bytes of the input tensors. Every declared input is bound with its
// declared dims (variable ones taken from the input bytes) and the model runs twice, the
// second time with other variable dims, to exercise buffer growth.
#include <stdexcept>

#include "fuzz_files.h"
#include "runtime/inference_model.h"

namespace {

// Inputs larger than this are left unbound (their slots keep what they hold).
constexpr uint64_t kMaxBoundBytes = uint64_t(1) << 20;

class ByteSource {
 public:
  ByteSource(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  uint8_t next() { return n_ == 0 ? 0 : p_[i_++ % n_]; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t i_ = 0;
};

struct Bound {
  std::vector<uint8_t> bytes;
  mi::HostTensor tensor;
};

std::map<std::string, mi::HostTensor> bind_inputs(const mi::InferenceModel& m, ByteSource& src,
                                                  std::vector<Bound>& keep) {
  keep.clear();
  keep.reserve(m.inputs().size());
  std::map<std::string, mi::HostTensor> given;
  for (const mi::InputSpec& in : m.inputs()) {
    Bound b;
    b.tensor.dtype = (src.next() & 3) == 0 ? (in.dtype == "int8" ? "float32" : "int8") : in.dtype;
    uint64_t count = 1;
    for (int32_t d : in.shape) {
      // Variable dims come from the input bytes; now and then a fixed one does too, as a
      // caller of the C++ interface may pass other dims than declared.
      const uint8_t pick = src.next();
      const int32_t dim = d == 0 || (pick & 0xf0) == 0xf0 ? 1 + (pick & 15) : d;
      b.tensor.shape.push_back(dim);
      count = dim > 0 && count <= kMaxBoundBytes ? count * uint64_t(dim) : kMaxBoundBytes + 1;
    }
    const uint64_t bytes = count * (b.tensor.dtype == "int8" ? 1 : 4);
    if (bytes > kMaxBoundBytes) continue;
    b.bytes.resize(size_t(bytes));
    for (uint8_t& byte : b.bytes) byte = src.next();
    keep.push_back(std::move(b));
    keep.back().tensor.data = keep.back().bytes.data();
    given[in.name] = keep.back().tensor;
  }
  return given;
}

void check_results(const std::map<std::string, mi::HostTensor>& results) {
  for (const auto& [name, t] : results) {
    uint64_t count = 1;
    for (int32_t d : t.shape) count *= uint64_t(d > 0 ? d : 0);
    const uint64_t want = count * (t.dtype == "int8" ? 1 : 4);
    if (t.storage.size() > want) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mi::fuzz::Splitter split(data, size);
  const uint8_t* part;
  size_t n;
  split.next(part, n);
  const std::string arch = mi::fuzz::write_temp("model_arch.json", part, n);
  split.next(part, n);
  const std::string weights = mi::fuzz::write_temp("model_weights.bin", part, n);
  split.rest(part, n);
  ByteSource src(part, n);
  try {
    mi::InferenceModel model(arch, weights);
    std::vector<Bound> keep;
    for (int pass = 0; pass < 2; ++pass) {
      try {
        check_results(model.run(bind_inputs(model, src, keep)));
      } catch (const std::runtime_error&) {
      } catch (const std::out_of_range&) {
      }
    }
  } catch (const std::runtime_error&) {
  } catch (const std::out_of_range&) {
  }
  return 0;
}
