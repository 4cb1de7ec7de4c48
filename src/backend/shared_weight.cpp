#include "backend/shared_weight.h"

#include <unordered_map>

#include "backend/backend.h"

namespace mi {

namespace {

std::unordered_map<std::string, std::weak_ptr<SharedPackedWeight>>& thread_registry() {
  thread_local std::unordered_map<std::string, std::weak_ptr<SharedPackedWeight>> r;
  return r;
}

Buffer view_of(const Buffer& b, size_t size) {
  return Buffer(b.data, b.on_device, size, [](void*) {});
}

}  // namespace

SharedPackedWeightView share_host_packed_weight(const std::string& key, Buffer&& packed) {
  const BackendOps& ops = active_backend_or_throw();
  SharedPackedWeightView view;
  if (ops.device_kind != 0) {
    view.buffer = std::move(packed);
    return view;
  }
  auto& reg = thread_registry();
  auto it = reg.find(key);
  if (it != reg.end()) {
    if (std::shared_ptr<SharedPackedWeight> live = it->second.lock()) {
      view.buffer = view_of(live->buffer, 0);
      view.owner = std::move(live);
      return view;
    }
  }
  auto s = std::make_shared<SharedPackedWeight>();
  s->buffer = std::move(packed);
  reg[key] = s;
  view.buffer = view_of(s->buffer, s->buffer.size);
  view.owner = std::move(s);
  return view;
}

void clear_shared_weight_registry() { thread_registry().clear(); }

}  // namespace mi
