#include "layers/layer_registry.h"

#include <unordered_map>

namespace mi {

namespace {

std::unordered_map<int, LayerCreator>& creators() {
  static std::unordered_map<int, LayerCreator> table;
  return table;
}

}  // namespace

bool register_layer_class(int kind, LayerCreator create) {
  creators()[kind] = create;
  return true;
}

LayerCreator layer_creator(int kind) {
  const auto it = creators().find(kind);
  return it == creators().end() ? nullptr : it->second;
}

}  // namespace mi
