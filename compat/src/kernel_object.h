// Kernel objects behind the layer's handles, and the table that maps handles to them.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <atomic>
#include <memory>

namespace compat {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Waits until the object is signalled (for a semaphore: takes one permit).
  // Returns WAIT_OBJECT_0 or WAIT_TIMEOUT.
  virtual DWORD Wait(DWORD milliseconds) = 0;
  // Makes the object usable in a child of fork(), where the only thread is the one that was
  // `forkedFrom` in the parent: the locks the parent's other threads held are free again.
  virtual void RenewAfterFork(pid_t forkedFrom) = 0;
  // The thread `threadId` was terminated: what it owned is abandoned, as Windows leaves it.
  virtual void OwnerTerminated(pid_t /*threadId*/) {}

  std::atomic<LONG> waiters{0};  // threads inside WaitForSingleObject on it now
};

// Handle values are small multiples of 4, as on Windows, so that a stale or invented handle is
// refused instead of dereferenced. Pseudo handles (-1, -2) are never in the table.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookUpHandle(HANDLE handle);
bool RemoveHandle(HANDLE handle);
// Tells every object in the table that the thread `threadId` was terminated.
void OwnerTerminated(pid_t threadId);

template <typename T>
std::shared_ptr<T> LookUp(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookUpHandle(handle));
}

// Pseudo handles of GetCurrentProcess and GetCurrentThread.
inline HANDLE CurrentProcessPseudoHandle() {
  return reinterpret_cast<HANDLE>(-1);
}
inline HANDLE CurrentThreadPseudoHandle() {
  return reinterpret_cast<HANDLE>(-2);
}

}  // namespace compat
