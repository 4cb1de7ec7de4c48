// Records the architecture loader fills and the model runtime keeps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mi {

struct InputSpec {
  std::string name = "x";
  std::vector<int32_t> shape;  // [H, W, C], [H, C] or [C]; 0 = supplied at run time
  float scale = 1.0f;
  int32_t zp = 0;
  std::string dtype = "int8";
};

struct Node {
  std::string name;
  int op = 0;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  bool relu = false;
};

}  // namespace mi
