// GetProcAddress's result as the function type the caller knows the export to have, for the
// code built on the layer and for its Windows build alike.
#pragma once

#include <windows.h>

namespace compat {

// Null when `module` is null or lacks the export.
template <typename Function>
Function ProcAddress(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  // Through void (*)(), which GCC accepts as "any function" under -Wcast-function-type.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace compat
