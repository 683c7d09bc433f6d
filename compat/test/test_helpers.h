// Threads for the layer's tests: a start routine that holds until released.
#pragma once

#include "test_support.h"

#include <windows.h>

namespace compat::test {

using quorvane::test::kMaskBits;
using quorvane::test::kWaitLimitMs;
using quorvane::test::ProcessMask;
using quorvane::test::Signal;

// What a held thread does: says it runs, waits for release, records its kernel id, ends with 5.
struct Held {
  Signal running;
  Signal release;
  DWORD idInThread = 0;
};

inline DWORD WINAPI HoldUntilReleased(LPVOID parameter) {
  auto* held = static_cast<Held*>(parameter);
  held->idInThread = GetCurrentThreadId();
  held->running.Raise();
  return held->release.Await() ? 5 : 1;
}

// A running held thread, released, awaited and closed at destruction.
class HeldThread {
 public:
  explicit HeldThread(DWORD flags = 0)
      : handle(CreateThread(nullptr, 0, HoldUntilReleased, &held, flags, &threadId)) {}
  ~HeldThread() {
    held.release.Raise();
    if (handle != nullptr) {
      ResumeThread(handle);
      WaitForSingleObject(handle, kWaitLimitMs);
      CloseHandle(handle);
    }
  }
  HeldThread(const HeldThread&) = delete;
  HeldThread& operator=(const HeldThread&) = delete;

  Held held;
  DWORD threadId = 0;
  HANDLE handle;
};

}  // namespace compat::test
