// The architecture loader (JSON reader, node records, layer factory) on a fuzzed file.
#include <stdexcept>

#include "fuzz_files.h"
#include "io/arch_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = mi::fuzz::write_temp("arch.json", data, size);
  try {
    const mi::ArchFile arch = mi::arch_loader(path);
    for (const mi::InputSpec& in : arch.inputs)
      for (int32_t d : in.shape)
        if (d < 0) __builtin_trap();
  } catch (const std::runtime_error&) {
  } catch (const std::out_of_range&) {
  }
  return 0;
}
