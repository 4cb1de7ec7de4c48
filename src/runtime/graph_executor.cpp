#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include "backend/backend.h"
#include "layers/op_kind.h"
#include "runtime/inference_model.h"

namespace mi {

namespace {

constexpr int kMaxNodeInputs = 8;

[[noreturn]] void missing_tensor() { throw std::out_of_range("invalid unordered_map<K, T> key"); }

int slot_or_throw(int slot) {
  if (slot < 0) missing_tensor();
  return slot;
}

double now_ns() {
  return double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count());
}

int given_elem_type(const HostTensor& t) { return t.dtype == "int8" ? kInt8 : kFloat32; }

uint64_t given_bytes(const std::string& name, const HostTensor& t) {
  uint64_t n = 1;
  for (int32_t d : t.shape) {
    if (d < 0) throw std::runtime_error("input '" + name + "' has a negative dimension");
    if (d != 0 && n > kMaxTensorBytes / uint64_t(d))
      throw std::runtime_error("input '" + name + "' exceeds the 4 GiB tensor size limit");
    n *= uint64_t(d);
  }
  return n * element_bytes(given_elem_type(t));
}

}  // namespace

// An empty buffer gets memory even for zero bytes, so no layer is handed a null tensor.
void InferenceModel::grow(Buffer& b, uint64_t bytes, Allocator& from) {
  if (bytes > b.size || !b.data) b = from.make_buffer(size_t(bytes));
}

void InferenceModel::grow_scratch(ILayer& layer, const TensorShape& first_input) {
  WorkspaceRequest req;
  layer.plan_workspace(first_input, req);
  const bool on_backend = layer.output_device() == backend_device_;
  for (int j = 0; j < kScratchSlots; ++j) {
    if (req.bytes[j] == 0) continue;
    if (on_backend)
      grow(scratch_[size_t(j)], req.bytes[j], *allocator_);
    else
      grow(host_scratch_[size_t(j)], req.bytes[j], host_allocator());
  }
}

// Preparation: shapes from the declared dims (and the given ones), propagated through the
// graph, then slot and scratch buffers grown to fit the largest tensor each slot holds.
void InferenceModel::prepare(const std::map<std::string, HostTensor>& given) {
  std::unordered_map<std::string, TensorShape> shapes;
  std::vector<uint64_t> need(size_t(tensor_count_), 0);
  // Slots are sized for four bytes per element whatever their type: a float layer reading
  // a slot that holds int8 then reads stale bytes of its own slot, never past it.
  auto raise = [&](int slot, const TensorShape& s) {
    uint64_t& n = need[size_t(slot)];
    n = std::max(n, tensor_bytes(s, kFloat32));
  };

  for (size_t k = 0; k < inputs_.size(); ++k) {
    const InputSpec& in = inputs_[k];
    const auto g = given.find(in.name);
    const TensorShape s = list_to_shape(in.shape, g == given.end() ? nullptr : &g->second.shape);
    shapes[in.name] = s;
    raise(input_slot_[k], s);
  }

  auto shape_of = [&](const std::string& name) {
    const auto it = shapes.find(name);
    return it == shapes.end() ? TensorShape{} : it->second;
  };

  std::vector<TensorShape> in_shapes;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const Node& n = nodes_[i];
    in_shapes.clear();
    for (size_t j = 0; j < n.inputs.size() && j < size_t(kMaxNodeInputs); ++j)
      in_shapes.push_back(shape_of(n.inputs[j]));
    ILayer* layer = node_layer_[i];
    TensorShape out;
    if (layer)
      out = layer->output_shape_n(in_shapes.data(), int(in_shapes.size()));
    else if (!in_shapes.empty())
      out = in_shapes.front();
    if (n.outputs.empty()) continue;
    shapes[n.outputs.front()] = out;
    raise(node_out_slot_[i], out);
  }

  for (int s = 0; s < tensor_count_; ++s) {
    try {
      grow(slot_buffer_[size_t(s)], need[size_t(s)], *allocator_);
    } catch (const std::bad_alloc&) {
      // Declared sizes come from the file: name a tensor of the slot rather than fail blind.
      std::string name;
      for (const auto& [tensor, slot] : slot_of_)
        if (slot == s && (name.empty() || tensor < name)) name = tensor;
      throw std::runtime_error("cannot allocate " + std::to_string(need[size_t(s)]) +
                               " bytes for tensor '" + name + "'");
    }
  }

  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (!node_layer_[i]) continue;
    const TensorShape first =
        nodes_[i].inputs.empty() ? TensorShape{} : shape_of(nodes_[i].inputs.front());
    grow_scratch(*node_layer_[i], first);
  }
}

void InferenceModel::bind_inputs(const std::map<std::string, HostTensor>& given) {
  for (size_t k = 0; k < inputs_.size(); ++k) {
    const InputSpec& in = inputs_[k];
    const auto g = given.find(in.name);
    if (g == given.end()) continue;
    const HostTensor& t = g->second;
    const int slot = input_slot_[k];
    const uint64_t bytes = given_bytes(in.name, t);
    Buffer& buf = slot_buffer_[size_t(slot)];
    // Four bytes per element like every slot: dims other than the declared ones may make
    // the tensor larger than preparation planned, and a float layer may read an int8 one.
    grow(buf, bytes / element_bytes(given_elem_type(t)) * element_bytes(kFloat32), *allocator_);
    if (bytes > 0) {
      if (buf.on_device)
        allocator_->copy_to_device(buf.data, t.data, size_t(bytes));
      else
        std::memcpy(buf.data, t.data, size_t(bytes));
    }
    slot_shape_[size_t(slot)] = list_to_shape(t.shape);
  }
}

void InferenceModel::refresh_scratch_views(RunContext& ctx) const {
  for (int j = 0; j < kScratchSlots; ++j) ctx.scratch[j] = view_of(scratch_[size_t(j)]);
}

void InferenceModel::run_node(size_t i, RunContext& ctx) {
  const Node& n = nodes_[i];
  ILayer* layer = node_layer_[i];
  if (!layer) throw std::runtime_error("No layer for: " + n.name);
  if (n.outputs.empty()) missing_tensor();
  const int out_slot = slot_or_throw(node_out_slot_[i]);
  const int count = int(n.inputs.size());
  if (count > kMaxNodeInputs)
    throw std::runtime_error("node '" + n.name + "' has " + std::to_string(count) +
                             " inputs (max " + std::to_string(kMaxNodeInputs) + ")");
  int in_slot[kMaxNodeInputs];
  for (int j = 0; j < count; ++j) in_slot[j] = slot_or_throw(node_in_slot_[i][size_t(j)]);

  const bool staged = layer->output_device() != backend_device_;
  const void* addr[kMaxNodeInputs];
  TensorShape shape[kMaxNodeInputs];
  for (int j = 0; j < count; ++j) {
    const Buffer& src = slot_buffer_[size_t(in_slot[j])];
    shape[j] = slot_shape_[size_t(in_slot[j])];
    addr[j] = src.data;
    if (staged && src.data) {
      Buffer& stage = input_staging_[size_t(j)];
      grow(stage, src.size, host_allocator());
      allocator_->copy_to_host(stage.data, src.data, src.size);
      addr[j] = stage.data;
    }
  }

  const TensorShape planned = layer->output_shape_data(addr, shape, count);
  const int out_type = layer->output_dtype();
  grow(slot_buffer_[size_t(out_slot)], tensor_bytes(planned, kFloat32), *allocator_);

  grow_scratch(*layer, count > 0 ? shape[0] : TensorShape{});
  // A scratch buffer may have been replaced just now; never hand out views of freed memory.
  RunContext node_ctx = ctx;
  refresh_scratch_views(node_ctx);
  if (staged)
    for (int j = 0; j < kScratchSlots; ++j) node_ctx.scratch[j] = view_of(host_scratch_[size_t(j)]);

  TensorRef refs[kMaxNodeInputs];
  for (int j = 0; j < count; ++j) {
    const Buffer& src = staged && slot_buffer_[size_t(in_slot[j])].data
                            ? input_staging_[size_t(j)]
                            : slot_buffer_[size_t(in_slot[j])];
    refs[j] = TensorRef{src.data, src.on_device, src.size, shape[j]};
  }
  Buffer& out_buf = slot_buffer_[size_t(out_slot)];
  BufferView out_view = view_of(out_buf);
  if (staged) {
    grow(output_staging_, out_view.size, host_allocator());
    out_view = view_of(output_staging_);
  }

  const bool timed = profile_enabled_;
  const double t0 = timed ? now_ns() : 0.0;
  const TensorShape result = layer->forward(refs, count, out_view, node_ctx);
  if (staged) allocator_->copy_to_device(out_buf.data, output_staging_.data, out_buf.size);
  if (timed) {
    const double ms = now_ns() * 1e-6 - t0 * 1e-6;
    op_profile_[canonical_op_name(n.op)] += ms;
    layer_profile_[n.name] += ms;
  }

  if (result.c <= 0 || result.h <= 0 || result.w <= 0)
    throw std::runtime_error("node '" + n.name +
                             "' produced an output with a zero or negative dimension");
  if (tensor_bytes(result, out_type) > out_buf.size)
    throw std::runtime_error("node '" + n.name +
                             "' returned an output shape larger than its buffer");
  slot_shape_[size_t(out_slot)] = result;
}

std::map<std::string, HostTensor> InferenceModel::collect_results() const {
  std::map<std::string, HostTensor> results;
  for (const std::string& name : output_names_) {
    const auto it = slot_of_.find(name);
    if (it == slot_of_.end() || results.count(name)) continue;
    const int slot = it->second;
    const TensorShape& s = slot_shape_[size_t(slot)];
    const Buffer& buf = slot_buffer_[size_t(slot)];
    HostTensor t;
    t.shape = shape_to_list(s);
    t.dtype = slot_dtype_[size_t(slot)] == kInt8 ? "int8" : "float32";
    const uint64_t bytes = std::min<uint64_t>(tensor_bytes(s, slot_dtype_[size_t(slot)]), buf.size);
    if (buf.on_device) {
      t.storage.resize(size_t(bytes));
      if (bytes > 0) allocator_->copy_to_host(t.storage.data(), buf.data, size_t(bytes));
    } else {
      const auto* src = static_cast<const uint8_t*>(buf.data);
      t.storage.assign(src, src + bytes);
    }
    t.data = t.storage.data();
    results.emplace(name, std::move(t));
  }
  return results;
}

std::map<std::string, HostTensor> InferenceModel::run(
    const std::map<std::string, HostTensor>& inputs, int64_t seq_pos) {
  if (seq_pos < 0 || seq_pos > INT32_MAX)
    throw std::runtime_error("seq_pos must lie in 0 .. 2^31 - 1, got " + std::to_string(seq_pos));
  if (seq_pos > 0 && !is_stateful())
    throw std::runtime_error("seq_pos " + std::to_string(seq_pos) +
                             " needs a model that keeps a key/value cache; this one keeps none");
  prepare(inputs);
  bind_inputs(inputs);
  RunContext ctx;
  ctx.seq_pos = int32_t(seq_pos);
  refresh_scratch_views(ctx);
  for (size_t i = 0; i < nodes_.size(); ++i) run_node(i, ctx);
  return collect_results();
}

}  // namespace mi
