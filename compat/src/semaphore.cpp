#include "kernel_object.h"
#include "out_of_memory.h"
#include "thread_object.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace compat {
namespace {

class Semaphore final : public KernelObject {
 public:
  Semaphore(LONG initialCount, LONG maximumCount) : count(initialCount), maximum(maximumCount) {}

  DWORD Wait(DWORD milliseconds) override {
    std::unique_lock<std::mutex> hold(lock);
    const auto available = [this] { return count > 0; };
    if (milliseconds == INFINITE) {
      permitted.wait(hold, available);
    } else if (!permitted.wait_for(hold, std::chrono::milliseconds(milliseconds), available)) {
      return WAIT_TIMEOUT;
    }
    --count;
    return WAIT_OBJECT_0;
  }

  // Adds permits; a release that would pass the maximum changes nothing, as on Windows.
  bool Release(LONG releaseCount, LONG* previousCount) {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (releaseCount > maximum - count) return false;
      if (previousCount) *previousCount = count;
      count += releaseCount;
    }
    if (releaseCount == 1) {
      permitted.notify_one();
    } else {
      permitted.notify_all();
    }
    return true;
  }

 private:
  std::mutex lock;
  std::condition_variable permitted;
  LONG count;
  const LONG maximum;
};

}  // namespace
}  // namespace compat

extern "C" {

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCSTR name) {
  compat::NoCancellation noCancellation;
  // Named semaphores are shared between processes on Windows; nothing here needs them.
  if (name != nullptr || maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return compat::FailWhenOutOfMemory<HANDLE>(nullptr, [&] {
    return compat::InsertHandle(std::make_shared<compat::Semaphore>(initialCount, maximumCount));
  });
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
  compat::NoCancellation noCancellation;
  auto target = compat::LookUp<compat::Semaphore>(semaphore);
  if (!target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (releaseCount <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!target->Release(releaseCount, previousCount)) {
    SetLastError(ERROR_TOO_MANY_POSTS);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
