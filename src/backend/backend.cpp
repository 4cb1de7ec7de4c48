#include "backend/backend.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace mi {

const char* const kNoBackendMessage =
    "No backend registered. Did you link cpu_backend (or another backend)?";

namespace {

struct Registry {
  std::vector<BackendOps*> records;
  BackendOps* active = nullptr;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

void register_backend(BackendOps& ops) {
  Registry& r = registry();
  r.records.push_back(&ops);
  std::stable_sort(
      r.records.begin(), r.records.end(),
      [](const BackendOps* a, const BackendOps* b) { return a->priority > b->priority; });
  r.active = r.records.front();
}

BackendOps& active_backend_or_throw() {
  BackendOps* a = registry().active;
  if (!a) throw std::runtime_error(kNoBackendMessage);
  return *a;
}

bool select_backend(const std::string& name) {
  Registry& r = registry();
  for (BackendOps* ops : r.records) {
    if (name == ops->name) {
      r.active = ops;
      return true;
    }
  }
  return false;
}

std::string active_backend_name() { return active_backend_or_throw().name; }

}  // namespace mi
