// Packed weights shared between layers of one weights-file load on one thread.
#pragma once

#include <memory>
#include <string>

#include "backend/buffer.h"

namespace mi {

struct SharedPackedWeight {
  Buffer buffer;
};

struct SharedPackedWeightView {
  std::shared_ptr<SharedPackedWeight> owner;
  Buffer buffer;  // non-owning view for reading; `owner` keeps it alive
};

// On a host backend, returns the live weight already registered under `key` (leaving
// `packed` with the caller) or registers `packed` under it. On a device backend nothing is
// shared and the view takes `packed`.
SharedPackedWeightView share_host_packed_weight(const std::string& key, Buffer&& packed);

// Drops the calling thread's registry entries (weak references only).
void clear_shared_weight_registry();

}  // namespace mi
