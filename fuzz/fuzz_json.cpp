// The JSON reader on arbitrary bytes: parse, then walk the tree through the lookups and
// the number conversions the loaders use.
#include <stdexcept>

#include "io/json.h"

namespace {

void walk(const mi::JsonValue& v, int depth) {
  if (depth > mi::kJsonMaxDepth + 1) __builtin_trap();
  mi::truncate_to_int32(v.number);
  mi::narrow_to_float(v.number);
  if (mi::size(v) != v.array.size() + (v.object ? v.object->size() : 0)) __builtin_trap();
  for (const mi::JsonValue& e : v.array) walk(e, depth + 1);
  if (!v.object) return;
  for (const auto& [key, member] : *v.object) {
    if (!mi::has(v, key) || &mi::at(v, key) != &member) __builtin_trap();
    walk(member, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const mi::JsonValue root = mi::parse_json(reinterpret_cast<const char*>(data), size);
    walk(root, 0);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
