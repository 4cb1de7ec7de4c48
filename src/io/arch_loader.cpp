#include "io/arch_loader.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <unordered_set>

#include "io/json.h"
#include "io/layer_factory.h"
#include "layers/op_kind.h"

namespace mi {

namespace {

const JsonValue* member_or_null(const JsonValue& v, const char* key) {
  return has(v, key) ? &at(v, key) : nullptr;
}

const std::vector<JsonValue>& elements(const JsonValue& v, const char* key) {
  static const std::vector<JsonValue> none;
  const JsonValue* m = member_or_null(v, key);
  return m && m->type == JsonValue::Array ? m->array : none;
}

std::string string_of(const JsonValue* v) {
  return v && v->type == JsonValue::String ? v->string : std::string();
}

double number_of(const JsonValue* v, double def) {
  if (!v) return def;
  return v->type == JsonValue::Number ? v->number : 0.0;
}

int32_t dim_of(const JsonValue* v, const std::string& path, const std::string& input) {
  const int32_t d = truncate_to_int32(number_of(v, 1.0));
  if (d < 0)
    throw std::runtime_error("arch file " + path + ": input '" + input +
                             "' has a negative dimension");
  return d;
}

std::vector<int32_t> shape_from_hwc(int32_t h, int32_t w, int32_t c) {
  if (w == 1 && h == 1) return {c};
  if (w == 1) return {h, c};
  return {h, w, c};
}

InputSpec read_input(const JsonValue& obj, bool single, const std::string& path) {
  InputSpec in;
  if (!single && has(obj, "name")) in.name = string_of(&at(obj, "name"));
  int32_t h = 1, w = 1, c = 1;
  const JsonValue* shape = single ? nullptr : member_or_null(obj, "shape");
  if (shape) {
    if (shape->type != JsonValue::Array || shape->array.size() < 4)
      throw std::runtime_error("arch file " + path + ": input '" + in.name +
                               "' \"shape\" must list four dims [N, H, W, C]");
    h = dim_of(&shape->array[1], path, in.name);
    w = dim_of(&shape->array[2], path, in.name);
    c = dim_of(&shape->array[3], path, in.name);
  } else {
    h = dim_of(member_or_null(obj, "h"), path, in.name);
    w = dim_of(member_or_null(obj, "w"), path, in.name);
    c = dim_of(member_or_null(obj, "c"), path, in.name);
  }
  in.shape = shape_from_hwc(h, w, c);
  in.scale = narrow_to_float(number_of(member_or_null(obj, "scale"), 1.0));
  in.zp = truncate_to_int32(number_of(member_or_null(obj, "zp"), 0.0));
  if (has(obj, "dtype")) in.dtype = string_of(&at(obj, "dtype"));
  return in;
}

bool flag_of(const JsonValue& v) {
  if (v.type == JsonValue::Bool) return v.boolean;
  if (v.type == JsonValue::Number) return truncate_to_int32(v.number) != 0;
  return false;
}

// With an "args" member only args.relu counts; without one, the node's own "relu".
bool fused_relu(const JsonValue& node) {
  if (has(node, "args")) {
    const JsonValue& args = at(node, "args");
    return has(args, "relu") && flag_of(at(args, "relu"));
  }
  return has(node, "relu") && flag_of(at(node, "relu"));
}

std::vector<std::string> names_of(const std::vector<JsonValue>& list) {
  std::vector<std::string> out;
  out.reserve(list.size());
  for (const JsonValue& v : list) out.push_back(string_of(&v));
  return out;
}

Node read_node(const JsonValue& obj) {
  Node n;
  n.name = string_of(&at(obj, "name"));
  const std::string op = string_of(&at(obj, "op"));
  n.op = op_kind_of(op);
  if (n.op == kOpUnknown)
    std::fprintf(stderr, "arch_loader: unknown op '%s' in node '%s'\n", op.c_str(), n.name.c_str());
  if (has(obj, "inputs")) {
    n.inputs = names_of(elements(obj, "inputs"));
  } else if (has(obj, "in")) {
    n.inputs.push_back(string_of(&at(obj, "in")));
    if (has(obj, "in2")) n.inputs.push_back(string_of(&at(obj, "in2")));
    if (has(obj, "in3")) n.inputs.push_back(string_of(&at(obj, "in3")));
  }
  if (has(obj, "outputs"))
    n.outputs = names_of(elements(obj, "outputs"));
  else if (has(obj, "out"))
    n.outputs.push_back(string_of(&at(obj, "out")));
  n.relu = fused_relu(obj);
  return n;
}

std::vector<std::string> derive_outputs(const std::vector<Node>& nodes) {
  std::unordered_set<std::string> consumed;
  for (const Node& n : nodes) consumed.insert(n.inputs.begin(), n.inputs.end());
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    std::vector<std::string> free;
    for (const std::string& o : it->outputs)
      if (!consumed.count(o)) free.push_back(o);
    if (!free.empty()) return free;
  }
  if (!nodes.back().outputs.empty()) return {nodes.back().outputs.front()};
  return {};
}

}  // namespace

ArchFile arch_loader(const std::string& path) {
  const JsonValue root = read_json_file(path);
  ArchFile arch;
  if (has(root, "model")) arch.model_name = string_of(&at(root, "model"));

  for (const JsonValue& in : elements(root, "inputs"))
    arch.inputs.push_back(read_input(in, false, path));
  if (arch.inputs.empty() && has(root, "input"))
    arch.inputs.push_back(read_input(at(root, "input"), true, path));
  if (arch.inputs.empty()) arch.inputs.emplace_back();

  for (const JsonValue& out : elements(root, "outputs"))
    if (out.type == JsonValue::Object && has(out, "name"))
      arch.output_names.push_back(string_of(&at(out, "name")));

  for (const JsonValue& obj : elements(root, "nodes")) {
    arch.nodes.push_back(read_node(obj));
    const Node& n = arch.nodes.back();
    std::unique_ptr<ILayer> layer = create_layer(n, n.op, obj, n.relu);
    if (layer) arch.layers.push_back(std::move(layer));
  }

  if (arch.output_names.empty() && !arch.nodes.empty())
    arch.output_names = derive_outputs(arch.nodes);
  return arch;
}

}  // namespace mi
