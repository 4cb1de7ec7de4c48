// Creates the layer for one node from its op kind and JSON arguments.
#pragma once

#include <memory>

#include "io/json.h"
#include "io/model_records.h"
#include "layers/layer.h"

namespace mi {

// Reads arguments first from the node object itself, then from its "args" object.
class JsonLayerArgs : public LayerArgs {
 public:
  JsonLayerArgs(const JsonValue& node, const std::string& name, int kind);
  int get_int(const char* key, int def) const override;
  float get_float(const char* key, float def) const override;
  bool get_bool(const char* key, bool def) const override;
  const std::string& node_name() const override { return name_; }
  int op_kind() const override { return kind_; }

 private:
  const JsonValue* find(const char* key) const;

  const JsonValue& node_;
  const std::string& name_;
  int kind_;
};

// Null for kind 0 and for kinds whose class does not exist.
std::unique_ptr<ILayer> create_layer(const Node& node, int kind, const JsonValue& node_json,
                                     bool relu);

}  // namespace mi
