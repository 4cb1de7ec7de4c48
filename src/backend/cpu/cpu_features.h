// Processor check run at import, before any vector kernel can execute.
#pragma once

#include <string>

namespace mi::cpu {

// Empty when the processor and operating system support the AVX2 and FMA kernels;
// otherwise the reason they cannot run.
std::string missing_cpu_features();

}  // namespace mi::cpu
