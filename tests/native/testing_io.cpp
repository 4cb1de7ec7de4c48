#include <pybind11/stl.h>

#include <memory>

#include "io/arch_loader.h"
#include "io/json.h"
#include "io/weights_loader.h"
#include "layers/op_kind.h"
#include "testing_families.h"

namespace py = pybind11;

namespace mi::python {

namespace {

py::object to_python(const JsonValue& v) {
  switch (v.type) {
    case JsonValue::Null: return py::none();
    case JsonValue::Bool: return py::bool_(v.boolean);
    case JsonValue::Number: return py::float_(v.number);
    case JsonValue::String: return py::bytes(v.string);
    case JsonValue::Array: {
      py::list out;
      for (const JsonValue& e : v.array) out.append(to_python(e));
      return std::move(out);
    }
    case JsonValue::Object: {
      py::dict out;
      if (v.object)
        for (const auto& [k, e] : *v.object) out[py::bytes(k)] = to_python(e);
      return std::move(out);
    }
  }
  return py::none();
}

// Asks the loader for a fixed list of names, the way a layer does.
class ProbeLayer : public ILayer {
 public:
  explicit ProbeLayer(std::vector<std::string> names) : names_(std::move(names)) {}
  void load_weights(const TensorLookup& lookup) override {
    for (const std::string& n : names_) {
      std::vector<int> shape{-7};
      std::vector<uint8_t> data{0xAB};
      if (lookup(n, shape, data))
        found[n] = {shape, data};
      else if (shape == std::vector<int>{-7} && data == std::vector<uint8_t>{0xAB})
        found[n] = std::nullopt;
      else
        throw std::runtime_error("lookup of an absent name changed the caller's vectors");
    }
  }
  TensorShape forward(const TensorRef*, int, const BufferView&, const RunContext&) override {
    return {};
  }
  TensorShape output_shape(const TensorShape& in) override { return in; }

  std::map<std::string, std::optional<std::pair<std::vector<int>, std::vector<uint8_t>>>> found;

 private:
  std::vector<std::string> names_;
};

py::dict load_weights_probe(const std::string& path, const std::vector<std::string>& names) {
  std::vector<std::unique_ptr<ILayer>> layers;
  layers.push_back(std::make_unique<ProbeLayer>(names));
  WeightLoadMemoryStats stats;
  load_weights(path, layers, &stats);
  py::dict tensors;
  for (const auto& [name, t] : static_cast<ProbeLayer&>(*layers[0]).found) {
    if (t)
      tensors[py::str(name)] = py::make_tuple(
          t->first, py::bytes(reinterpret_cast<const char*>(t->second.data()), t->second.size()));
    else
      tensors[py::str(name)] = py::none();
  }
  py::dict out;
  out["tensors"] = tensors;
  out["max_tensor_bytes"] = stats.max_tensor_bytes;
  return out;
}

py::dict load_arch(const std::string& path) {
  ArchFile arch = arch_loader(path);
  py::list inputs;
  for (const InputSpec& in : arch.inputs)
    inputs.append(py::dict(py::arg("name") = in.name, py::arg("shape") = in.shape,
                           py::arg("scale") = in.scale, py::arg("zp") = in.zp,
                           py::arg("dtype") = in.dtype));
  py::list nodes;
  for (const Node& n : arch.nodes)
    nodes.append(py::dict(py::arg("name") = n.name, py::arg("op") = n.op,
                          py::arg("inputs") = n.inputs, py::arg("outputs") = n.outputs,
                          py::arg("relu") = n.relu));
  py::list layers;
  for (const auto& l : arch.layers)
    layers.append(py::dict(py::arg("name") = l->name, py::arg("relu") = l->relu));
  py::dict out;
  out["model"] = arch.model_name;
  out["inputs"] = inputs;
  out["outputs"] = arch.output_names;
  out["nodes"] = nodes;
  out["layers"] = layers;
  return out;
}

}  // namespace

void bind_io_testing(py::module_& t) {
  t.def("parse_json", [](const py::bytes& text) {
    const std::string s = text;
    return to_python(parse_json(s.data(), s.size()));
  });
  t.def("read_json_file", [](const std::string& path) { return to_python(read_json_file(path)); });
  t.def("load_arch", &load_arch);
  t.def("load_weights", &load_weights_probe);
  t.def("op_kind", [](const std::string& name) { return int(op_kind_of(name)); });
  t.def("canonical_op_name", [](int kind) { return std::string(canonical_op_name(kind)); });
  t.def("op_class_name", [](int kind) { return std::string(op_class_name(kind)); });
  t.def("op_names", [] {
    py::list out;
    for (const OpName& op : kOpTable) out.append(py::make_tuple(op.name, int(op.kind)));
    return out;
  });
}

}  // namespace mi::python
