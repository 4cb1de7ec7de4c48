// The CPU backend record. Each kernel family fills its own slots of the table.
#pragma once

#include "backend/backend.h"

namespace mi::cpu {

BackendOps& cpu_backend();

}  // namespace mi::cpu
