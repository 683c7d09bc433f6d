#include "kernel_object.h"
#include "out_of_memory.h"
#include "thread_object.h"

#include <cstdint>
#include <mutex>
#include <new>

namespace compat {
namespace {

class Semaphore final : public KernelObject {
 public:
  Semaphore(LONG initialCount, LONG maximumCount) : count(initialCount), maximum(maximumCount) {}

  DWORD Wait(DWORD milliseconds) override {
    const Deadline deadline(milliseconds);
    for (;;) {
      std::uint32_t seen = 0;
      {
        std::lock_guard<std::mutex> hold(lock);
        if (count > 0) {
          --count;
          return WAIT_OBJECT_0;
        }
        seen = permitted.Value();
      }
      const DWORD left = deadline.Left();
      if (left == 0) return WAIT_TIMEOUT;
      permitted.Block(seen, left);
    }
  }

  void RenewAfterFork(pid_t) override { new (&lock) std::mutex; }

  // Adds permits; a release that would pass the maximum changes nothing, as on Windows.
  bool Release(LONG releaseCount, LONG* previousCount) {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (releaseCount > maximum - count) return false;
      if (previousCount) *previousCount = count;
      count += releaseCount;
    }
    permitted.Wake(releaseCount);
    return true;
  }

 private:
  std::mutex lock;
  WaitWord permitted;
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
