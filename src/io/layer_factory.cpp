#include "io/layer_factory.h"

#include "layers/layer_registry.h"

namespace mi {

JsonLayerArgs::JsonLayerArgs(const JsonValue& node, const std::string& name, int kind)
    : node_(node), name_(name), kind_(kind) {}

const JsonValue* JsonLayerArgs::find(const char* key) const {
  if (has(node_, key)) return &at(node_, key);
  if (has(node_, "args")) {
    const JsonValue& args = at(node_, "args");
    if (has(args, key)) return &at(args, key);
  }
  return nullptr;
}

int JsonLayerArgs::get_int(const char* key, int def) const {
  const JsonValue* v = find(key);
  if (!v) return def;
  return v->type == JsonValue::Number ? truncate_to_int32(v->number) : 0;
}

float JsonLayerArgs::get_float(const char* key, float def) const {
  const JsonValue* v = find(key);
  if (!v) return def;
  return v->type == JsonValue::Number ? narrow_to_float(v->number) : 0.0f;
}

bool JsonLayerArgs::get_bool(const char* key, bool def) const {
  const JsonValue* v = find(key);
  if (!v) return def;
  if (v->type == JsonValue::Bool) return v->boolean;
  if (v->type == JsonValue::Number) return truncate_to_int32(v->number) != 0;
  return false;
}

std::unique_ptr<ILayer> create_layer(const Node& node, int kind, const JsonValue& node_json,
                                     bool relu) {
  const LayerCreator create = layer_creator(kind);
  if (!create) return nullptr;
  const JsonLayerArgs args(node_json, node.name, kind);
  std::unique_ptr<ILayer> layer = create(args);
  layer->name = node.name;
  layer->relu = relu;
  return layer;
}

}  // namespace mi
