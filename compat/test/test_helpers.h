// Threads for the layer's tests: a start routine that holds until released.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace compat::test {

// Every wait in the tests is bounded: a fault shows as a failure, not a hang.
constexpr DWORD kWaitLimitMs = 10000;

class Signal {
 public:
  void Raise() {
    std::lock_guard<std::mutex> hold(lock);
    raised = true;
    changed.notify_all();
  }
  bool Await() {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::milliseconds(kWaitLimitMs),
                            [this] { return raised; });
  }
  bool IsRaised() {
    std::lock_guard<std::mutex> hold(lock);
    return raised;
  }

 private:
  std::mutex lock;
  std::condition_variable changed;
  bool raised = false;
};

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
