// Threads: CreateThread and its handle, suspension, waiting, termination, identity.
#include "kernel_object.h"
#include "out_of_memory.h"
#include "thread_object.h"
#include "wait_state.h"

#include <linux/futex.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>

namespace compat {
namespace {

class ThreadObject final : public KernelObject {
 public:
  ThreadObject(LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD suspendCount)
      : routine(routine), parameter(parameter), suspendCount(suspendCount) {}

  DWORD Wait(DWORD milliseconds) override {
    const Deadline deadline(milliseconds);
    for (;;) {
      std::uint32_t seen = 0;
      {
        std::lock_guard<std::mutex> hold(lock);
        if (ended) return WAIT_OBJECT_0;
        seen = endWord.Value();
      }
      const DWORD left = deadline.Left();
      if (left == 0) return WAIT_TIMEOUT;
      endWord.Block(seen, left);
    }
  }

  // The thread itself is not in the child; whoever held the lock for it is gone too.
  void RenewAfterFork(pid_t) override {
    new (&lock) std::mutex;
    new (&changed) std::condition_variable;
  }

  // Marks the thread ended and wakes every waiter. Called under `lock`.
  void MarkEnded(DWORD result) {
    if (!terminated) exitCode = result;
    ended = true;
    endWord.Wake(INT_MAX);
  }

  const LPTHREAD_START_ROUTINE routine;
  const LPVOID parameter;
  // Set by TerminateThread before its signal is sent: the handler acts on nothing else.
  std::atomic<bool> endRequested{false};
  std::mutex lock;
  std::condition_variable changed;  // introduced, resumed or terminated before it runs
  WaitWord endWord;
  // The thread's own reference while it runs: its handle may be closed meanwhile.
  std::shared_ptr<ThreadObject> self;
  // A thread ended inside a wait: the object it waited for, released once it is off the wait.
  std::shared_ptr<KernelObject> heldByWait;
  // Guarded by lock.
  DWORD suspendCount;
  bool introduced = false;  // the creator has the id and has set the priority
  pid_t threadId = 0;
  pthread_t pthread{};
  bool running = false;           // past the start: TerminateThread has to stop it where it is
  WaitWord* blockedOn = nullptr;  // the word it sleeps on in a wait of the layer
  bool terminated = false;
  bool ended = false;
  DWORD exitCode = STILL_ACTIVE;
};

// What the termination signal's handler needs of the thread it interrupts. Initial-exec TLS:
// a block allocated on first use would make the handler allocate.
struct CurrentThread {
  ThreadObject* object = nullptr;  // only threads made by CreateThread can be terminated
  int layerDepth = 0;              // open NoCancellation scopes
  volatile sig_atomic_t endPending = 0;
  // Set while sleeping on a word with no lock held, where the thread may end at once.
  std::atomic<WaitWord*> blockedOn{nullptr};
  std::shared_ptr<KernelObject>* waitedObject = nullptr;
  sigjmp_buf* entry = nullptr;  // where a terminated thread leaves its routine, in StartThread
};
thread_local CurrentThread current __attribute__((tls_model("initial-exec")));

// Leaves the routine where it is, as Windows' TerminateThread stops a thread: nothing on its
// stack is unwound, no destructor of it runs, what it holds stays held. It goes on in
// StartThread, which signals its handle and returns through the C library. Runs in the signal
// handler or where a deferred termination comes due, never while the thread holds a lock of
// the layer. `woken`: the word of a wait the thread may just have been woken from; that wake
// goes to another sleeper instead.
[[noreturn]] void EndHere(WaitWord* woken) {
  ThreadObject& thread = *current.object;
  if (woken != nullptr) woken->Wake(1);
  // The wait's frame is about to be overwritten: its reference is moved out first.
  if (current.waitedObject != nullptr) {
    thread.heldByWait = std::move(*current.waitedObject);
    current.waitedObject = nullptr;
  }
  current.blockedOn.store(nullptr);
  siglongjmp(*current.entry, 1);
}

// Closes a scope; at the outermost, a termination asked for meanwhile comes due.
void LeaveScope() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (--current.layerDepth == 0 && current.object != nullptr &&
      (current.endPending || current.object->endRequested.load())) {
    EndHere(nullptr);
  }
}

struct sigaction programsTerminateAction;  // what the program had installed before the layer

// A SIGRTMAX that no TerminateThread sent goes where it would have gone without the layer; by
// default it ends nothing.
void PassOn(int signal, siginfo_t* info, void* context) {
  const struct sigaction& before = programsTerminateAction;
  if (before.sa_flags & SA_SIGINFO) {
    if (before.sa_sigaction != nullptr) before.sa_sigaction(signal, info, context);
  } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
    before.sa_handler(signal);
  }
}

void OnTerminateSignal(int signal, siginfo_t* info, void* context) {
  ThreadObject* self = current.object;
  if (self == nullptr || !self->endRequested.load()) {
    PassOn(signal, info, context);
    return;
  }
  WaitWord* blocked = current.blockedOn.load();
  if (current.layerDepth > 0 && blocked == nullptr) {
    current.endPending = 1;  // inside the layer: ended where it leaves it
    return;
  }
  EndHere(blocked);
}

// TerminateThread's signal, the highest real-time one, installed when the layer is loaded.
class TerminateSignal {
 public:
  TerminateSignal() {
    struct sigaction action {};
    action.sa_sigaction = OnTerminateSignal;
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    sigfillset(&action.sa_mask);
    sigaction(SIGRTMAX, &action, &programsTerminateAction);
  }
};
const TerminateSignal terminateSignal;

// Whether a TerminateThread of `threadId` can reach it now: the layer's handler is still the
// signal's, and the thread does not block the signal (as /proc tells; without /proc, assumed).
bool Deliverable(pid_t threadId) {
  struct sigaction now {};
  if (sigaction(SIGRTMAX, nullptr, &now) != 0 || !(now.sa_flags & SA_SIGINFO) ||
      now.sa_sigaction != OnTerminateSignal) {
    return false;
  }
  const std::string path = "/proc/self/task/" + std::to_string(threadId) + "/status";
  std::FILE* status = std::fopen(path.c_str(), "re");
  if (status == nullptr) return true;
  unsigned long long blocked = 0;
  char line[256];
  while (std::fgets(line, sizeof(line), status) != nullptr) {
    if (std::sscanf(line, "SigBlk: %llx", &blocked) == 1) break;
  }
  std::fclose(status);
  return (blocked & (1ULL << (SIGRTMAX - 1))) == 0;
}

// Every thread of CreateThread's starts and ends here, a terminated one too: it returns through
// the C library, which frees its stack and descriptor and runs its thread-end handlers.
void* StartThread(void* start) {
  ThreadObject* self = static_cast<ThreadObject*>(start);
  sigjmp_buf entry;
  current.object = self;
  current.entry = &entry;
  ++current.layerDepth;  // closed only for the routine: after it, the thread is leaving anyway
  std::atomic_signal_fence(std::memory_order_seq_cst);
  {
    std::unique_lock<std::mutex> hold(self->lock);
    // Not before the creator has introduced it (so not at its creator's priority), nor while
    // suspended. TerminateThread needs the handle, which exists only once it is introduced.
    self->changed.wait(
        hold, [&] { return (self->introduced && self->suspendCount == 0) || self->terminated; });
    if (self->terminated) {
      self->MarkEnded(0);
      hold.unlock();
      std::shared_ptr<ThreadObject> last = std::move(self->self);
      return nullptr;
    }
    self->running = true;
  }
  if (sigsetjmp(entry, 1) == 0) {
    // A termination sent from here on is pending at least: it comes due as the scope closes.
    LeaveScope();
    const DWORD result = self->routine(self->parameter);
    ++current.layerDepth;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::lock_guard<std::mutex> hold(self->lock);
    self->MarkEnded(result);
  } else {
    // Terminated. Its handle is signalled before anything else: what follows may not finish
    // (a thread stopped inside the allocator holds its lock, and its end frees memory).
    current.object = nullptr;  // a later SIGRTMAX is no longer this thread's termination
    current.layerDepth = 1;
    // Out of the wait it was ended in before anyone who waits for its end can look: the count
    // is an atomic, and letting the object go may free memory, which comes after.
    if (self->heldByWait) --self->heldByWait->waiters;
    {
      std::lock_guard<std::mutex> hold(self->lock);
      self->blockedOn = nullptr;
      self->MarkEnded(0);
    }
    OwnerTerminated(gettid());
  }
  self->heldByWait.reset();
  std::shared_ptr<ThreadObject> last = std::move(self->self);
  return nullptr;
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

// The fences keep the count where the calls put it: the handler reads it on the same thread.
NoCancellation::NoCancellation() {
  ++current.layerDepth;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

NoCancellation::~NoCancellation() {
  LeaveScope();
}

// A terminated thread ends here without the signal too: where signals are delivered late (as
// under ThreadSanitizer, which holds them until its next intercepted call) a sleeping thread
// would not see it. TerminateThread wakes the word named under the thread's lock, and the thread
// sees `terminated` under the same lock before it sleeps.
void WaitWord::Block(std::uint32_t seen, DWORD milliseconds) {
  // Only the wait's own scope open: ended here at once. Inside a scope of a library's, the
  // termination waits for its end.
  ThreadObject* self = current.layerDepth == 1 ? current.object : nullptr;
  if (self != nullptr) {
    bool terminated = false;
    {
      std::lock_guard<std::mutex> hold(self->lock);
      self->blockedOn = this;
      terminated = self->terminated;
    }
    if (terminated) EndHere(nullptr);
  }
  timespec relative{static_cast<time_t>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000000};
  if (self != nullptr) {
    current.blockedOn.store(this);
    if (current.endPending) EndHere(nullptr);
  }
  syscall(SYS_futex, &value, FUTEX_WAIT_PRIVATE, seen,
          milliseconds == INFINITE ? nullptr : &relative, nullptr, 0);
  if (self != nullptr) current.blockedOn.store(nullptr);
  if (self != nullptr) {
    bool terminated = false;
    {
      std::lock_guard<std::mutex> hold(self->lock);
      self->blockedOn = nullptr;
      terminated = self->terminated;
    }
    if (terminated) EndHere(this);
  }
}

void WaitWord::Wake(int count) {
  value.fetch_add(1);
  syscall(SYS_futex, &value, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

Deadline::Deadline(DWORD milliseconds)
    : bounded(milliseconds != INFINITE),
      end(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds)) {}

DWORD Deadline::Left() const {
  if (!bounded) return INFINITE;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<DWORD>(left.count());
}

DWORD WaitFor(std::shared_ptr<KernelObject> object, DWORD milliseconds) {
  ++object->waiters;
  current.waitedObject = &object;
  const DWORD result = object->Wait(milliseconds);
  current.waitedObject = nullptr;
  --object->waiters;
  return result;
}

LONG WaitersOn(HANDLE object) {
  NoCancellation noCancellation;
  const std::shared_ptr<KernelObject> target = LookUpHandle(object);
  if (!target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return target->waiters.load();
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
  const bool made = compat::FailWhenOutOfMemory(false, [&] {
    thread = std::make_shared<ThreadObject>(startAddress, parameter,
                                            (creationFlags & CREATE_SUSPENDED) ? 1 : 0);
    return true;
  });
  if (!made) return nullptr;
  thread->self = thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int error = pthread_attr_setstacksize(
      &attributes, compat::StackSize(stackSize == 0 ? compat::kDefaultStackReserve : stackSize));
  pthread_t pthread;
  if (error == 0) error = pthread_create(&pthread, &attributes, compat::StartThread, thread.get());
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    thread->self.reset();
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

// Only for threads made by CreateThread. As on Windows, a running thread stops where it is: its
// stack is not unwound, its destructors do not run, locks it holds stay held. Inside a call into
// this layer it stops when that call returns or blocks. A suspended thread ends without running.
// Like Windows, this returns before the thread is gone; its handle is signalled once it is.
BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
  compat::NoCancellation noCancellation;
  if (thread == compat::CurrentThreadPseudoHandle()) {
    ThreadObject* self = compat::current.object;
    if (self == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);  // only CreateThread's threads can be ended
      return FALSE;
    }
    std::lock_guard<std::mutex> hold(self->lock);
    if (!self->terminated) {
      self->terminated = true;
      self->exitCode = exitCode;
      self->endRequested = true;
    }
    return TRUE;  // ends as the outermost scope closes, this call's own at the latest
  }
  std::shared_ptr<ThreadObject> target = compat::LookUp<ThreadObject>(thread);
  if (!target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> hold(target->lock);
  if (target->ended || target->terminated) return TRUE;
  if (!target->running) {
    target->terminated = true;
    target->exitCode = exitCode;
    target->changed.notify_all();
    return TRUE;
  }
  // A termination that cannot arrive is refused now, rather than left to wait for ever.
  if (!compat::Deliverable(target->threadId)) {
    SetLastError(ERROR_SIGNAL_REFUSED);
    return FALSE;
  }
  target->terminated = true;
  target->exitCode = exitCode;
  target->endRequested = true;
  // Safe under the lock: the thread cannot pass its end, so its pthread_t stays valid, nor
  // leave its wait, so the object it waits on stays alive.
  pthread_kill(target->pthread, SIGRTMAX);
  if (target->blockedOn != nullptr) target->blockedOn->Wake(INT_MAX);
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
