#include "runtime/inference_model.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <stdexcept>

#include "backend/backend.h"
#include "io/arch_loader.h"
#include "io/weights_loader.h"
#include "layers/duration_scaled.h"
#include "layers/op_kind.h"

namespace mi {

InferenceModel::InferenceModel(const std::string& arch_path, const std::string& weights_path) {
  BackendOps& backend = active_backend_or_throw();
  allocator_ = backend.allocator();
  backend_device_ = backend.device_kind;

  ArchFile arch = arch_loader(arch_path);
  model_name_ = std::move(arch.model_name);
  inputs_ = std::move(arch.inputs);
  output_names_ = std::move(arch.output_names);
  nodes_ = std::move(arch.nodes);
  layers_ = std::move(arch.layers);

  WeightLoadMemoryStats stats;
  load_weights(weights_path, layers_, &stats);

  assign_slots();
  build_plan();
  prepare({});
  for (auto& layer : layers_) layer->upload_weights(*allocator_);
}

// Greedy slot reuse: a node's output slot is taken before its dead inputs are released, so
// it never aliases one of them; declared outputs are never released.
void InferenceModel::assign_slots() {
  for (size_t i = 0; i < nodes_.size(); ++i)
    for (const std::string& in : nodes_[i].inputs) last_use_[in] = i;

  int next = 0;
  for (const InputSpec& in : inputs_) {
    slot_of_[in.name] = next;
    input_slot_.push_back(next++);
  }

  std::vector<int> free_list;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const Node& n = nodes_[i];
    // The output name is mapped to the new slot before the inputs are read, so such a node
    // would read its own unwritten output instead of the earlier tensor of that name.
    if (!n.outputs.empty() &&
        std::find(n.inputs.begin(), n.inputs.end(), n.outputs.front()) != n.inputs.end())
      throw std::runtime_error("node '" + n.name + "' consumes its own output '" +
                               n.outputs.front() + "'");
    std::vector<int>& in_slots = node_in_slot_.emplace_back();
    for (const std::string& in : n.inputs) {
      const auto it = slot_of_.find(in);
      in_slots.push_back(it == slot_of_.end() ? -1 : it->second);
    }
    int slot;
    if (!free_list.empty()) {
      slot = free_list.back();
      free_list.pop_back();
    } else {
      slot = next++;
    }
    if (!n.outputs.empty()) slot_of_[n.outputs.front()] = slot;
    node_out_slot_.push_back(n.outputs.empty() ? -1 : slot);
    std::vector<std::string> released;
    for (const std::string& in : n.inputs) {
      if (last_use_[in] != i || !slot_of_.count(in)) continue;
      if (std::find(output_names_.begin(), output_names_.end(), in) != output_names_.end())
        continue;
      if (std::find(released.begin(), released.end(), in) != released.end()) continue;
      released.push_back(in);
      free_list.push_back(slot_of_[in]);
    }
  }
  tensor_count_ = next;
}

void InferenceModel::build_plan() {
  std::unordered_map<std::string, ILayer*> by_name;
  for (auto& layer : layers_) by_name[layer->name] = layer.get();  // the later layer wins
  node_layer_.assign(nodes_.size(), nullptr);
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const auto it = by_name.find(nodes_[i].name);
    if (it != by_name.end()) node_layer_[i] = it->second;
  }

  slot_dtype_.assign(size_t(tensor_count_), kInt8);
  for (size_t i = 0; i < nodes_.size(); ++i)
    if (!nodes_[i].outputs.empty() && node_layer_[i])
      slot_dtype_[size_t(node_out_slot_[i])] = node_layer_[i]->output_dtype();
  for (size_t k = 0; k < inputs_.size(); ++k) {
    const InputSpec& in = inputs_[k];
    int& t = slot_dtype_[size_t(input_slot_[k])];
    if (t == kInt8) t = in.dtype == "int8" ? kInt8 : kFloat32;
  }
  slot_buffer_.resize(size_t(tensor_count_));
  slot_shape_.assign(size_t(tensor_count_), TensorShape{});
}

int InferenceModel::num_classes() const {
  std::string lower = model_name_;
  for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  for (const char* family : {"resnet", "mobilenet", "vit"})
    if (lower.find(family) != std::string::npos) return 1000;
  return 0;
}

bool InferenceModel::is_stateful() const {
  for (const auto& layer : layers_)
    if (layer->is_stateful()) return true;
  return false;
}

void InferenceModel::reset_state(int64_t capacity) {
  if (capacity < 0 || capacity > INT32_MAX)
    throw std::runtime_error("cache capacity must lie in 0 .. 2^31 - 1, got " +
                             std::to_string(capacity));
  for (auto& layer : layers_)
    if (layer->is_stateful()) layer->reset_state(int32_t(capacity), *allocator_);
}

void InferenceModel::reset_profile() {
  op_profile_.clear();
  layer_profile_.clear();
}

void InferenceModel::set_speed(float speed) {
  if (!std::isfinite(speed) || !(speed > 0.0f))
    throw std::runtime_error("speed must be a positive finite value");
  speed_ = speed;
  const float inv = 1.0f / speed;
  const float scale = inv > 0.0f ? inv : 1.0f;
  // Through the node-to-layer table: a node without a layer must not shift the match.
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i].op != kLengthRegulateFp32) continue;
    if (auto* regulator = dynamic_cast<DurationScaled*>(node_layer_[i]))
      regulator->set_duration_scale(scale);
  }
}

}  // namespace mi
