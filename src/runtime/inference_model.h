// A loaded model: graph, layers, weights, execution plan and run options.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "backend/buffer.h"
#include "io/model_records.h"
#include "layers/layer.h"
#include "runtime/host_tensor.h"

namespace mi {

class InferenceModel {
 public:
  InferenceModel(const std::string& arch_path, const std::string& weights_path);
  InferenceModel(const InferenceModel&) = delete;
  InferenceModel& operator=(const InferenceModel&) = delete;

  const std::string& model_name() const { return model_name_; }
  const std::vector<InputSpec>& inputs() const { return inputs_; }
  size_t input_count() const { return inputs_.size(); }
  const std::vector<std::string>& output_names() const { return output_names_; }
  int num_classes() const;

  // Runs the graph on tokens placed from position `seq_pos` on; stateful layers attend to
  // the rows earlier runs left in their caches below it. 0 recomputes from the start.
  std::map<std::string, HostTensor> run(const std::map<std::string, HostTensor>& inputs,
                                        int64_t seq_pos = 0);
  // True when some layer keeps state from one run to the next (a key/value cache).
  bool is_stateful() const;
  // Empties every cache; a positive capacity reserves that many positions in each.
  void reset_state(int64_t capacity);

  void set_profile_enabled(bool enabled) { profile_enabled_ = enabled; }
  bool profile_enabled() const { return profile_enabled_; }
  std::map<std::string, double> op_profile() const { return op_profile_; }
  std::map<std::string, double> layer_profile() const { return layer_profile_; }
  void reset_profile();
  void set_speed(float speed);
  float speed() const { return speed_; }

  // The execution plan, exposed for inspection.
  int tensor_count() const { return tensor_count_; }
  const std::unordered_map<std::string, int>& slot_of() const { return slot_of_; }
  const std::vector<int>& slot_dtype() const { return slot_dtype_; }
  uint64_t slot_capacity(int slot) const { return slot_buffer_[size_t(slot)].size; }

 private:
  void assign_slots();
  void build_plan();
  void prepare(const std::map<std::string, HostTensor>& given);
  void bind_inputs(const std::map<std::string, HostTensor>& given);
  void run_node(size_t i, RunContext& ctx);
  void grow_scratch(ILayer& layer, const TensorShape& first_input);
  void refresh_scratch_views(RunContext& ctx) const;
  std::map<std::string, HostTensor> collect_results() const;
  void grow(Buffer& b, uint64_t bytes, Allocator& from);

  std::string model_name_;
  std::vector<InputSpec> inputs_;
  std::vector<std::string> output_names_;
  std::vector<Node> nodes_;
  std::vector<std::unique_ptr<ILayer>> layers_;

  int tensor_count_ = 0;
  std::unordered_map<std::string, int> slot_of_;
  // Slots resolved when the plan is made, in graph order: a name that two nodes produce
  // then means the latest producer before each reader, and the final map cannot send a
  // node's output into the slot of its own input. -1: the name had no producer yet.
  std::vector<int> input_slot_;
  std::vector<int> node_out_slot_;
  std::vector<std::vector<int>> node_in_slot_;
  std::unordered_map<std::string, size_t> last_use_;
  std::vector<int> slot_dtype_;
  std::vector<ILayer*> node_layer_;
  std::vector<Buffer> slot_buffer_;
  std::vector<TensorShape> slot_shape_;

  std::array<Buffer, kScratchSlots> scratch_;
  std::array<Buffer, kScratchSlots> host_scratch_;
  std::array<Buffer, kScratchSlots> input_staging_;
  Buffer output_staging_;
  uint8_t backend_device_ = 0;
  Allocator* allocator_ = nullptr;

  bool profile_enabled_ = false;
  std::map<std::string, double> op_profile_;
  std::map<std::string, double> layer_profile_;
  float speed_ = 1.0f;
};

}  // namespace mi
