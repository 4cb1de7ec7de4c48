#include "backend/cpu/cpu_features.h"

#include <cpuid.h>

#include <cstdint>

namespace mi::cpu {

namespace {

uint64_t read_xcr0() {
  uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t(hi) << 32) | lo;
}

}  // namespace

std::string missing_cpu_features() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return "CPUID leaf 1 is not available";
  const bool fma = (c >> 12) & 1;
  const bool osxsave = (c >> 27) & 1;
  const bool avx = (c >> 28) & 1;
  if (!avx || !fma) return "the processor lacks AVX or FMA";
  // The OS must save the SSE and AVX register state across context switches.
  if (!osxsave || (read_xcr0() & 0x6) != 0x6)
    return "the operating system does not enable the AVX register state";
  if (__get_cpuid_max(0, nullptr) < 7) return "the processor lacks AVX2";
  __cpuid_count(7, 0, a, b, c, d);
  if (!((b >> 5) & 1)) return "the processor lacks AVX2";
  return {};
}

}  // namespace mi::cpu
