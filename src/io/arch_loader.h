// Loads an architecture file into the graph records and one layer per known node.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "io/model_records.h"
#include "layers/layer.h"

namespace mi {

struct ArchFile {
  std::string model_name;
  std::vector<InputSpec> inputs;
  std::vector<std::string> output_names;
  std::vector<Node> nodes;
  std::vector<std::unique_ptr<ILayer>> layers;
};

ArchFile arch_loader(const std::string& path);

}  // namespace mi
