// Mutexes: CreateMutexA's objects, owned by one thread at a time.
#include "kernel_object.h"
#include "out_of_memory.h"
#include "thread_object.h"

#include <sched.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <new>

namespace compat {
namespace {

// Linux places a woken thread on the processor of the thread that woke it. Behind a releaser
// with real-time scheduling it waits there, as the kernel's balancer never takes a lone waiting
// thread from a processor busy with a real-time one, however idle another processor is. Of two
// woken, an idle processor takes one; the one that does not get the mutex waits again. Without
// real-time scheduling the second wake would only cost a context switch.
int WakesOnRelease() {
  const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
  return policy == SCHED_FIFO || policy == SCHED_RR ? 2 : 1;
}

class Mutex final : public KernelObject {
 public:
  explicit Mutex(bool owned) {
    if (owned) {
      owner = gettid();
      recursion = 1;
    }
  }

  DWORD Wait(DWORD milliseconds) override {
    const pid_t self = gettid();
    const Deadline deadline(milliseconds);
    for (;;) {
      std::uint32_t seen = 0;
      {
        std::lock_guard<std::mutex> hold(lock);
        if (owner == self) {
          ++recursion;
          return WAIT_OBJECT_0;
        }
        if (owner == 0) {
          owner = self;
          recursion = 1;
          const bool wasAbandoned = abandoned;
          abandoned = false;
          return wasAbandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
        }
        seen = released.Value();
      }
      const DWORD left = deadline.Left();
      if (left == 0) return WAIT_TIMEOUT;
      released.Block(seen, left);
    }
  }

  bool Release() {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (owner != gettid()) return false;
      if (--recursion > 0) return true;
      owner = 0;
    }
    released.Wake(WakesOnRelease());
    return true;
  }

  void OwnerTerminated(pid_t threadId) override {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (owner != threadId) return;
      owner = 0;
      recursion = 0;
      abandoned = true;
    }
    released.Wake(1);
  }

  // In the child only the forking thread is left, under a new id: what it owned it still owns,
  // what the parent's other threads owned is abandoned, as Windows leaves the mutex of a thread
  // that ended.
  void RenewAfterFork(pid_t forkedFrom) override {
    new (&lock) std::mutex;
    if (owner == forkedFrom) {
      owner = gettid();
    } else if (owner != 0) {
      owner = 0;
      recursion = 0;
      abandoned = true;
    }
  }

 private:
  std::mutex lock;
  WaitWord released;
  pid_t owner = 0;  // kernel thread id; 0 when free
  DWORD recursion = 0;
  bool abandoned = false;
};

}  // namespace
}  // namespace compat

extern "C" {

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
  compat::NoCancellation noCancellation;
  // Named mutexes are shared between processes on Windows; nothing here needs them.
  if (name != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return compat::FailWhenOutOfMemory<HANDLE>(nullptr, [&] {
    return compat::InsertHandle(std::make_shared<compat::Mutex>(initialOwner != FALSE));
  });
}

BOOL ReleaseMutex(HANDLE mutex) {
  compat::NoCancellation noCancellation;
  auto target = compat::LookUp<compat::Mutex>(mutex);
  if (!target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!target->Release()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
