// How the layer's calls fail: the kernel's errors and allocation failures as Win32 errors.
#pragma once

#include <windows.h>

#include <new>

namespace compat {

// The Win32 error for an errno value of the calls the layer makes, the same for every call.
DWORD ErrorFromErrno(int error);

// Runs `call` and returns its result; when it runs out of memory, answers as Win32 does, with
// the call's failure value and ERROR_NOT_ENOUGH_MEMORY. std::bad_alloc must not reach a caller
// written against Win32, which expects a failure value and never an exception.
template <typename Result, typename Call>
Result FailWhenOutOfMemory(Result failure, Call call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return failure;
  }
}

}  // namespace compat
