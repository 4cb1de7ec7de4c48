// Reads a W1X1 weights file and offers each layer the tensors it asks for by name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "layers/layer.h"

namespace mi {

struct WeightLoadMemoryStats {
  uint64_t max_tensor_bytes = 0;  // largest payload handed out by the lookup
};

void load_weights(const std::string& path, std::vector<std::unique_ptr<ILayer>>& layers,
                  WeightLoadMemoryStats* stats);

}  // namespace mi
