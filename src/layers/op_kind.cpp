#include "layers/op_kind.h"

namespace mi {

OpKind op_kind_of(const std::string& name) {
  for (const OpName& op : kOpTable)
    if (name == op.name) return op.kind;
  return kOpUnknown;
}

const char* canonical_op_name(int kind) {
  for (const OpName& op : kOpTable)
    if (op.kind == kind) return op.name;
  return "";
}

}  // namespace mi
