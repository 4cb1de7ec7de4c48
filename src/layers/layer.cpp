#include "layers/layer.h"

#include "backend/backend.h"

namespace mi {

void ILayer::load_weights(const TensorLookup&) {}

TensorShape ILayer::output_shape_n(const TensorShape* shapes, int count) {
  return output_shape(count >= 1 ? shapes[0] : TensorShape{});
}

TensorShape ILayer::output_shape_data(const void* const*, const TensorShape* shapes, int count) {
  return count >= 1 ? output_shape(shapes[0]) : TensorShape{};
}

void ILayer::plan_workspace(const TensorShape&, WorkspaceRequest&) {}

void ILayer::upload_weights(Allocator&) {}

void ILayer::reset_state(int32_t, Allocator&) {}

uint8_t ILayer::output_device() const { return active_backend_or_throw().device_kind; }

}  // namespace mi
