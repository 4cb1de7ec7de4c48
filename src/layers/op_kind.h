// Op kinds, their names in the architecture file and the layer class that serves each,
// all generated from layers/ops.def.
#pragma once

#include <string>

namespace mi {

enum OpKind : int {
  kOpUnknown = 0,
#define MI_OP(e, kind, name, cls) e = kind,
#include "layers/ops.def"
};

struct OpName {
  const char* name;
  OpKind kind;
};

constexpr OpName kOpTable[] = {
#define MI_OP(e, kind, name, cls) {name, e},
#include "layers/ops.def"
#define MI_OP_ALIAS(name, e) {name, e},
#include "layers/ops.def"
};
constexpr int kOpNameCount = int(sizeof(kOpTable) / sizeof(kOpTable[0]));

constexpr int kOpKindCount = 0
#define MI_OP(e, kind, name, cls) +1
#include "layers/ops.def"
    ;

// Layer class names by kind; "" for kind 0 and out-of-range kinds.
constexpr const char* op_class_name(int kind) {
  switch (kind) {
#define MI_OP(e, kind, name, cls) \
  case kind: return #cls;
#include "layers/ops.def"
    default: return "";
  }
}

// Exact, case-sensitive lookup; kOpUnknown when the name is not in the table.
OpKind op_kind_of(const std::string& name);
// The first table name of the kind ("conv_int8" for a node written "conv"); "" for kind 0.
const char* canonical_op_name(int kind);

namespace detail {
constexpr bool same_text(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}
}  // namespace detail

}  // namespace mi
