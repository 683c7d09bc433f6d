// Threads: CreateThread and its handle, suspension, waiting, termination, identity.
#include "kernel_object.h"
#include "out_of_memory.h"
#include "thread_object.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace compat {
namespace {

class ThreadObject final : public KernelObject {
 public:
  ThreadObject(LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD suspendCount)
      : routine(routine), parameter(parameter), suspendCount(suspendCount) {}

  DWORD Wait(DWORD milliseconds) override {
    std::unique_lock<std::mutex> hold(lock);
    const auto isEnded = [this] { return ended; };
    if (milliseconds == INFINITE) {
      changed.wait(hold, isEnded);
      return WAIT_OBJECT_0;
    }
    const bool inTime = changed.wait_for(hold, std::chrono::milliseconds(milliseconds), isEnded);
    return inTime ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }

  const LPTHREAD_START_ROUTINE routine;
  const LPVOID parameter;
  std::mutex lock;
  std::condition_variable changed;
  // Guarded by lock.
  DWORD suspendCount;
  bool introduced = false;  // the creator has the id and has set the priority
  pid_t threadId = 0;
  pthread_t pthread{};
  bool terminated = false;
  bool ended = false;
  DWORD exitCode = STILL_ACTIVE;
};

// Marks the thread ended on every way out of its start routine: return or cancellation.
class EndOfThread {
 public:
  explicit EndOfThread(ThreadObject& thread) : thread(thread) {}
  ~EndOfThread() {
    std::lock_guard<std::mutex> hold(thread.lock);
    if (!thread.terminated) thread.exitCode = result;
    thread.ended = true;
    thread.changed.notify_all();
  }
  EndOfThread(const EndOfThread&) = delete;
  EndOfThread& operator=(const EndOfThread&) = delete;

  DWORD result = 0;

 private:
  ThreadObject& thread;
};

void* StartThread(void* start) {
  // The thread's own reference: its handle may be closed while it runs.
  std::shared_ptr<ThreadObject> self =
      std::move(*static_cast<std::shared_ptr<ThreadObject>*>(start));
  delete static_cast<std::shared_ptr<ThreadObject>*>(start);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  {
    std::unique_lock<std::mutex> hold(self->lock);
    // Not before the creator has introduced it (so not at its creator's priority), nor while
    // suspended. TerminateThread needs the handle, which exists only once it is introduced.
    self->changed.wait(
        hold, [&] { return (self->introduced && self->suspendCount == 0) || self->terminated; });
    if (self->terminated) {
      self->ended = true;
      self->changed.notify_all();
      return nullptr;
    }
  }
  EndOfThread end(*self);
  // TerminateThread cancels the thread wherever it is in its own code, as Windows ends it.
  pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  const DWORD result = self->routine(self->parameter);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  end.result = result;
  return nullptr;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EAGAIN:
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EPERM:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

// The kernel id of a thread that cannot end meanwhile, without waiting for it to run: the
// kernel stores the id in the thread's descriptor before pthread_create returns
// (CLONE_PARENT_SETTID), and the thread's CPU clock is made from it as the kernel defines
// per-thread clocks, ~id << 3 | CPUCLOCK_PERTHREAD_MASK | CPUCLOCK_SCHED.
pid_t KernelThreadId(pthread_t thread) {
  clockid_t clock = 0;
  pthread_getcpuclockid(thread, &clock);
  return static_cast<pid_t>(~(clock >> 3));
}

// What Windows reserves for a thread created with stack size 0: the executable's default,
// 2 MiB for the tool. glibc's 8 MiB would take 128 GiB of address space for 16384 threads.
constexpr SIZE_T kDefaultStackReserve = 2 * 1024 * 1024;

// Rounds a requested stack size up to what pthread_attr_setstacksize accepts.
std::size_t StackSize(SIZE_T requested) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t atLeast = std::max<std::size_t>(requested, PTHREAD_STACK_MIN);
  if (atLeast > SIZE_MAX - page) return atLeast;  // too large anyway: creation fails
  return (atLeast + page - 1) / page * page;
}

}  // namespace

NoCancellation::NoCancellation() {
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previousState);
}

NoCancellation::~NoCancellation() {
  pthread_setcancelstate(previousState, nullptr);
}

bool WithRunningThread(HANDLE thread, const std::function<bool(pid_t)>& call) {
  NoCancellation noCancellation;
  if (thread == CurrentThreadPseudoHandle()) return call(gettid());
  std::shared_ptr<ThreadObject> target = LookUp<ThreadObject>(thread);
  if (!target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // The thread marks itself ended under this lock before it exits.
  std::lock_guard<std::mutex> hold(target->lock);
  if (target->ended) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return call(target->threadId);
}

}  // namespace compat

using compat::ThreadObject;

extern "C" {

HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*attributes*/, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId) {
  compat::NoCancellation noCancellation;
  if ((creationFlags & ~CREATE_SUSPENDED) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<ThreadObject> thread;
  std::shared_ptr<ThreadObject>* start = nullptr;
  const bool made = compat::FailWhenOutOfMemory(false, [&] {
    thread = std::make_shared<ThreadObject>(startAddress, parameter,
                                            (creationFlags & CREATE_SUSPENDED) ? 1 : 0);
    start = new std::shared_ptr<ThreadObject>(thread);
    return true;
  });
  if (!made) return nullptr;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int error = pthread_attr_setstacksize(
      &attributes, compat::StackSize(stackSize == 0 ? compat::kDefaultStackReserve : stackSize));
  pthread_t pthread;
  if (error == 0) error = pthread_create(&pthread, &attributes, compat::StartThread, start);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete start;
    SetLastError(compat::ErrorFromErrno(error));
    return nullptr;
  }
  // The identifier is known before the caller can do anything with the thread.
  const pid_t id = compat::KernelThreadId(pthread);
  {
    std::lock_guard<std::mutex> hold(thread->lock);
    thread->threadId = id;
    thread->pthread = pthread;
  }
  // The thread waits to be introduced, so without a handle it can still end before it runs.
  HANDLE handle = compat::FailWhenOutOfMemory<HANDLE>(nullptr, [&] {
    compat::ApplyNormalPriority(id);
    return compat::InsertHandle(thread);
  });
  {
    std::lock_guard<std::mutex> hold(thread->lock);
    thread->introduced = handle != nullptr;
    thread->terminated = handle == nullptr;
  }
  thread->changed.notify_all();
  if (handle != nullptr && threadId != nullptr) *threadId = static_cast<DWORD>(id);
  return handle;
}

DWORD ResumeThread(HANDLE thread) {
  compat::NoCancellation noCancellation;
  if (thread == compat::CurrentThreadPseudoHandle()) return 0;  // the caller runs
  std::shared_ptr<ThreadObject> target = compat::LookUp<ThreadObject>(thread);
  if (!target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0xFFFFFFFF;
  }
  std::lock_guard<std::mutex> hold(target->lock);
  const DWORD previous = target->suspendCount;
  if (previous > 0 && --target->suspendCount == 0) target->changed.notify_all();
  return previous;
}

// Only for threads made by CreateThread. A running thread is cancelled asynchronously: it ends
// wherever it is in its own code, its destructors run during the unwind; inside a call into this
// layer it ends when that call returns. A suspended thread ends without running at all.
BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
  compat::NoCancellation noCancellation;
  std::shared_ptr<ThreadObject> target = compat::LookUp<ThreadObject>(thread);
  if (!target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> hold(target->lock);
  if (target->ended || target->terminated) return TRUE;
  target->terminated = true;
  target->exitCode = exitCode;
  if (target->suspendCount > 0) {
    target->changed.notify_all();
  } else {
    // Safe under the lock: the thread cannot pass its end, so its pthread_t stays valid.
    pthread_cancel(target->pthread);
  }
  return TRUE;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  compat::NoCancellation noCancellation;
  if (thread == compat::CurrentThreadPseudoHandle()) {
    *exitCode = STILL_ACTIVE;
    return TRUE;
  }
  std::shared_ptr<ThreadObject> target = compat::LookUp<ThreadObject>(thread);
  if (!target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> hold(target->lock);
  *exitCode = target->ended ? target->exitCode : STILL_ACTIVE;
  return TRUE;
}

HANDLE GetCurrentThread() {
  return compat::CurrentThreadPseudoHandle();
}

DWORD GetCurrentThreadId() {
  // The kernel's thread id, the one the scheduler calls take.
  return static_cast<DWORD>(gettid());
}

HANDLE GetCurrentProcess() {
  return compat::CurrentProcessPseudoHandle();
}

}  // extern "C"
