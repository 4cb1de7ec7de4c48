// The interface every graph node's layer implements, and the records that cross it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backend/buffer.h"

namespace mi {

// Channels-last: element (y, x, ch) at (y*w + x)*c + ch. {0,0,0} stands for "no shape".
struct TensorShape {
  int32_t c = 0;
  int32_t h = 0;
  int32_t w = 0;
  int64_t count() const { return int64_t(c) * h * w; }
  bool operator==(const TensorShape& o) const { return c == o.c && h == o.h && w == o.w; }
};

struct BufferView {
  void* data = nullptr;
  uint8_t on_device = 0;
  uint64_t size = 0;
};

inline BufferView view_of(const Buffer& b) { return BufferView{b.data, b.on_device, b.size}; }

struct TensorRef {
  void* data = nullptr;
  uint8_t on_device = 0;
  uint64_t size = 0;
  TensorShape shape;
};

constexpr int kScratchSlots = 8;

struct RunContext {
  BufferView scratch[kScratchSlots];
  void* backend_handle = nullptr;
  int32_t seq_pos = 0;
  uint8_t seq_flag = 0;
};

struct WorkspaceRequest {
  uint64_t bytes[kScratchSlots] = {};
  void raise(int slot, uint64_t need) {
    if (need > bytes[slot]) bytes[slot] = need;
  }
};

enum ElemType : int { kFloat32 = 0, kInt8 = 1 };

// Offered to layers during the weights load: fills shape and bytes for a tensor of exactly
// that name and returns true, or returns false leaving both untouched.
using TensorLookup =
    std::function<bool(const std::string&, std::vector<int>&, std::vector<uint8_t>&)>;

// Constant arguments of one node, read by each layer class's constructor.
class LayerArgs {
 public:
  virtual ~LayerArgs() = default;
  virtual int get_int(const char* key, int def) const = 0;
  virtual float get_float(const char* key, float def) const = 0;
  virtual bool get_bool(const char* key, bool def) const = 0;
  virtual const std::string& node_name() const = 0;
  virtual int op_kind() const = 0;
};

class ILayer {
 public:
  std::string name;
  bool relu = false;

  virtual ~ILayer() = default;
  virtual void load_weights(const TensorLookup& lookup);
  virtual TensorShape forward(const TensorRef* inputs, int n_inputs, const BufferView& output,
                              const RunContext& ctx) = 0;
  virtual int output_dtype() const { return kFloat32; }
  virtual TensorShape output_shape_n(const TensorShape* shapes, int count);
  virtual TensorShape output_shape(const TensorShape& in) = 0;
  virtual TensorShape output_shape_data(const void* const* data, const TensorShape* shapes,
                                        int count);
  virtual void plan_workspace(const TensorShape& in, WorkspaceRequest& req);
  virtual void upload_weights(Allocator& allocator);
  virtual void release_caches() {}
  virtual bool is_stateful() const { return false; }
  virtual void reset_state(int32_t capacity, Allocator& allocator);
  virtual uint8_t output_device() const;
};

}  // namespace mi
