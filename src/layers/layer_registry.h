// Which layer class serves which op kind. A layer source registers its class with one line:
//   MI_REGISTER_LAYER(kAddFp32, AddFp32);
// and the build fails when the class is not the one layers/ops.def names for the kind.
#pragma once

#include <memory>

#include "layers/layer.h"
#include "layers/op_kind.h"

namespace mi {

using LayerCreator = std::unique_ptr<ILayer> (*)(const LayerArgs&);

bool register_layer_class(int kind, LayerCreator create);
// Null when no class serves the kind.
LayerCreator layer_creator(int kind);

template <class L>
std::unique_ptr<ILayer> create_layer_of(const LayerArgs& args) {
  return std::make_unique<L>(args);
}

}  // namespace mi

#define MI_REGISTER_LAYER(kind, Class)                                            \
  static_assert(::mi::detail::same_text(::mi::op_class_name(kind), #Class),       \
                #Class " is not the class that layers/ops.def names for " #kind); \
  [[maybe_unused]] static const bool mi_layer_registered_##kind =                 \
      ::mi::register_layer_class(kind, &::mi::create_layer_of<Class>)
