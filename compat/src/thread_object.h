// What the thread calls share: access to a thread's kernel id while the thread still runs.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <functional>

namespace compat {

// Calls `call` with the kernel thread id behind `thread` (a CreateThread handle or the
// GetCurrentThread pseudo handle) while that thread cannot end, so the id cannot be reused by
// another thread meanwhile. Without such a running thread: ERROR_INVALID_HANDLE and false.
bool WithRunningThread(HANDLE thread, const std::function<bool(pid_t)>& call);

// Disables cancellation (the means of TerminateThread) for the scope, so that a thread is never
// ended while it holds one of the layer's locks.
class NoCancellation {
 public:
  NoCancellation();
  ~NoCancellation();
  NoCancellation(const NoCancellation&) = delete;
  NoCancellation& operator=(const NoCancellation&) = delete;

 private:
  int previousState;
};

// Gives a new thread the nice value of THREAD_PRIORITY_NORMAL in the process's class, as
// Windows starts every thread at that priority (Linux would copy the creator's).
void ApplyNormalPriority(pid_t threadId);

}  // namespace compat
