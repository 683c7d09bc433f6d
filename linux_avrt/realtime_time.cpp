// RLIMIT_RTTIME, the kernel's budget of CPU time a real-time thread may run without blocking,
// and the SIGXCPU guard that turns its soft limit into a demotion instead of a kill.
#include "provider.h"

#include <linux/futex.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace avrt {
namespace {

// The kernel compares a thread's real-time run time with the limits at its tick, 10 ms at the
// coarsest (HZ 100). The soft limit is seen at most two ticks after it is crossed, and the
// guard must run before the tick that reaches the hard limit: with the soft limit at half the
// hard one, a hard limit under four ticks could kill the process before the guard runs.
constexpr rlim_t kCoarsestTickMicroseconds = 10000;
constexpr rlim_t kShortestHardLimit = 4 * kCoarsestTickMicroseconds;

// The threads that hold the limit, by kernel id, for the guard's handler: the kernel signals
// the process, not the thread that crossed the limit, and that thread may block SIGXCPU, so
// the handler demotes every one of them. Written under the limit's lock, read by the handler
// without one; chunks are added and never freed.
constexpr int kSlotsPerChunk = 1024;
constexpr int kChunks = 256;
// A registration that ended with its thread: the thread may still run real-time on its way
// out, so its id stays recorded until the last holder has demoted it.
constexpr int kEnded = 1 << 30;
struct Chunk {
  std::atomic<int> ids[kSlotsPerChunk];
  int nextFree[kSlotsPerChunk];  // the free list, under the limit's lock
};
std::atomic<Chunk*> chunks[kChunks];

std::atomic<int>& IdAt(int slot) {
  return chunks[slot / kSlotsPerChunk].load()->ids[slot % kSlotsPerChunk];
}

int& NextFree(int slot) {
  return chunks[slot / kSlotsPerChunk].load()->nextFree[slot % kSlotsPerChunk];
}

// What the handler reads; written while it is not installed, or before it is told to act.
std::atomic<bool> guarding{false};
std::atomic<int> handlersRunning{0};  // also a futex word: the last handler out wakes waiters
std::atomic<rlim_t> guardedSoftLimit{RLIM_INFINITY};
std::atomic<bool> programIgnores{false};  // the program's own disposition was SIG_IGN
// Raises of the soft limit that a write of the provider's replaced before the handler saw
// them: each still has its signal on the way.
std::atomic<int> replacedRaises{0};

bool GetLimit(rlimit* limit) {
  return syscall(SYS_prlimit64, 0, RLIMIT_RTTIME, nullptr, limit) == 0;
}

bool SetLimit(const rlimit& limit) {
  return syscall(SYS_prlimit64, 0, RLIMIT_RTTIME, &limit, nullptr) == 0;
}

// Writes `limit` and reads what it replaced in one step, so that a raise by the kernel in
// between cannot be lost unseen.
bool SwapLimit(const rlimit& limit, rlimit* previous) {
  return syscall(SYS_prlimit64, 0, RLIMIT_RTTIME, &limit, previous) == 0;
}

// Async-signal-safe: raw system calls only. A thread id is acted on only while it names a
// thread of this process.
void DemoteIfRealtime(pid_t threadId) {
  if (syscall(SYS_tgkill, getpid(), threadId, 0) != 0) return;
  const long policy = syscall(SYS_sched_getscheduler, threadId);
  if (policy < 0 || !IsRealtime(static_cast<int>(policy))) return;
  const sched_param normal{};
  syscall(SYS_sched_setscheduler, threadId, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal);
}

// Every recorded thread, and the receiving one (which may be the one over the limit without
// holding a grant).
void DemoteEveryHolder() {
  DemoteIfRealtime(static_cast<pid_t>(syscall(SYS_gettid)));
  for (const std::atomic<Chunk*>& chunk : chunks) {
    Chunk* slots = chunk.load();
    if (slots == nullptr) break;
    for (const std::atomic<int>& id : slots->ids) {
      const int value = id.load();
      if (value > 0) DemoteIfRealtime(value & ~kEnded);
    }
  }
}

// Whether this SIGXCPU is the real-time limit's. At RLIMIT_RTTIME's soft limit the kernel also
// raises the process's soft limit by a second, which RLIMIT_CPU's signal never does: the
// handler puts it back (so the next crossing is signalled too) and reads in the same step
// whether the raise was still there for it to take.
bool TakeRaise() {
  const rlim_t soft = guardedSoftLimit.load();
  rlimit limit{};
  if (GetLimit(&limit) && limit.rlim_cur > soft) {
    rlimit previous{};
    if (SwapLimit({soft, limit.rlim_max}, &previous) && previous.rlim_cur > soft) return true;
  }
  for (int replaced = replacedRaises.load(); replaced > 0;) {
    if (replacedRaises.compare_exchange_weak(replaced, replaced - 1)) return true;
  }
  return false;
}

// Whichever thread the real-time limit's signal reaches, every holder still real-time gives
// up real-time scheduling (SCHED_OTHER | SCHED_RESET_ON_FORK) and runs on. Any other SIGXCPU
// gets what the program chose before the guard: ignored, or the default (the end).
void OnCpuTimeSignal(int) {
  const int savedErrno = errno;
  handlersRunning.fetch_add(1);
  // While the guard is being removed every holder is demoted already; a CPU-limit signal
  // comes again each second.
  bool realtimeTimeSignal = true;
  if (guarding.load()) {
    realtimeTimeSignal = TakeRaise();
    if (realtimeTimeSignal) DemoteEveryHolder();
  }
  if (handlersRunning.fetch_sub(1) == 1) {
    syscall(SYS_futex, &handlersRunning, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
  }
  if (!realtimeTimeSignal && !programIgnores.load()) {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(SIGXCPU, &standard, nullptr);
    raise(SIGXCPU);  // delivered, and the process ended, as this handler returns
  }
  errno = savedErrno;
}

bool GuardInstalled() {
  struct sigaction current {};
  return sigaction(SIGXCPU, nullptr, &current) == 0 && current.sa_handler == OnCpuTimeSignal;
}

// Only where the program has not put a handler of its own.
void InstallGuard() {
  struct sigaction current {};
  if (sigaction(SIGXCPU, nullptr, &current) != 0) return;
  if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN) return;
  programIgnores.store(current.sa_handler == SIG_IGN);
  struct sigaction guard {};
  guard.sa_handler = OnCpuTimeSignal;
  guard.sa_flags = SA_RESTART;
  sigemptyset(&guard.sa_mask);
  guarding.store(true);
  sigaction(SIGXCPU, &guard, nullptr);
}

// A crossing signalled just before the holders were demoted may still be pending for the
// process: unblocking SIGXCPU on this thread for a moment takes it here, with the guard on.
void TakePendingSignal() {
  sigset_t cpuTime;
  sigemptyset(&cpuTime);
  sigaddset(&cpuTime, SIGXCPU);
  sigset_t previous;
  if (pthread_sigmask(SIG_UNBLOCK, &cpuTime, &previous) == 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
}

// A handler that started before may still write the limit: the program's comes after it. The
// wait sleeps on the futex rather than spins: this thread may be real-time and the handler's
// thread a normal one on the same processor.
void RemoveGuard() {
  if (GuardInstalled()) TakePendingSignal();
  guarding.store(false);
  if (GuardInstalled()) {
    struct sigaction previous {};
    previous.sa_handler = programIgnores.load() ? SIG_IGN : SIG_DFL;
    sigemptyset(&previous.sa_mask);
    sigaction(SIGXCPU, &previous, nullptr);
  }
  for (int running = handlersRunning.load(); running != 0; running = handlersRunning.load()) {
    syscall(SYS_futex, &handlersRunning, FUTEX_WAIT_PRIVATE, running, nullptr, nullptr, 0);
  }
  replacedRaises.store(0);
}

}  // namespace

bool RealtimeTimeLimit::Record(pid_t threadId, int* slot) {
  // Looked over only where a new chunk would be needed: once per chunk's worth of holds.
  if (firstFree < 0 && ended > 0 && used % kSlotsPerChunk == 0) ReclaimEnded();
  if (firstFree < 0) {
    if (used == kChunks * kSlotsPerChunk) return false;
    std::atomic<Chunk*>& chunk = chunks[used / kSlotsPerChunk];
    if (chunk.load() == nullptr) {
      Chunk* added = new (std::nothrow) Chunk{};
      if (added == nullptr) return false;
      chunk.store(added);
    }
    *slot = used++;
  } else {
    *slot = firstFree;
    firstFree = NextFree(*slot);
  }
  IdAt(*slot).store(threadId);
  return true;
}

void RealtimeTimeLimit::Forget(int slot) {
  if ((IdAt(slot).load() & kEnded) != 0) --ended;
  IdAt(slot).store(0);
  NextFree(slot) = firstFree;
  firstFree = slot;
}

// Ended threads that have left, or run normal now, need no demotion any more.
void RealtimeTimeLimit::ReclaimEnded() {
  for (int slot = 0; slot < used; ++slot) {
    const int value = IdAt(slot).load();
    if ((value & kEnded) == 0) continue;
    const pid_t threadId = value & ~kEnded;
    const long policy = syscall(SYS_tgkill, getpid(), threadId, 0) == 0
                            ? syscall(SYS_sched_getscheduler, threadId)
                            : -1;
    if (policy < 0 || !IsRealtime(static_cast<int>(policy))) Forget(slot);
  }
}

bool RealtimeTimeLimit::Hold(pid_t threadId, int* slot, DWORD* error) {
  std::lock_guard<std::mutex> hold(lock);
  if (holders == 0 && !GetLimit(&saved)) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  // Recorded before the thread is real-time, so the guard covers it from the start.
  if (!Record(threadId, slot)) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  ++holders;
  if (!Keep(RLIM_INFINITY, error)) {
    Forget(*slot);
    if (--holders == 0) Restore();
    return false;
  }
  if (holders == 1) InstallGuard();
  return true;
}

bool RealtimeTimeLimit::Retain(pid_t threadId, int* slot) {
  std::lock_guard<std::mutex> hold(lock);
  if (holders == 0 || !Record(threadId, slot)) return false;
  ++holders;
  return true;
}

bool RealtimeTimeLimit::Tighten(rlim_t ceiling, DWORD* error) {
  std::lock_guard<std::mutex> hold(lock);
  return Keep(ceiling, error);
}

bool RealtimeTimeLimit::Keep(rlim_t ceiling, DWORD* error) {
  rlimit current{};
  if (!GetLimit(&current)) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  const rlim_t hard = std::min(current.rlim_max, ceiling);
  if (hard < kShortestHardLimit) {
    *error = ERROR_NOT_ENOUGH_QUOTA;
    return false;
  }
  // Without a hard limit nothing can kill the process: no soft limit either while granted.
  const rlimit wanted{hard == RLIM_INFINITY ? RLIM_INFINITY : hard / 2, hard};
  const rlim_t guardedBefore = guardedSoftLimit.load();
  // With the guard on, a soft limit above its own is the kernel's raise at a crossing, which
  // the handler on its way puts back: rewritten here, the handler would take the crossing's
  // signal for RLIMIT_CPU's.
  const bool raised = guarding.load() && current.rlim_cur > guardedBefore;
  if (wanted.rlim_max == current.rlim_max && (raised || wanted.rlim_cur == current.rlim_cur)) {
    return true;
  }
  guardedSoftLimit.store(wanted.rlim_cur);
  rlimit previous{};
  if (!SwapLimit(wanted, &previous)) {
    guardedSoftLimit.store(guardedBefore);
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  // Only a new hard limit gets here with the guard on; a raise it replaced still has its
  // signal to come, and the handler must know it for the real-time limit's.
  if (guarding.load() && previous.rlim_cur > guardedBefore) replacedRaises.fetch_add(1);
  return true;
}

void RealtimeTimeLimit::Release(int slot, bool threadEnds) {
  std::lock_guard<std::mutex> hold(lock);
  if (holders == 0) return;
  if (threadEnds) {
    IdAt(slot).fetch_or(kEnded);
    ++ended;
  } else {
    Forget(slot);
  }
  if (--holders == 0) Restore();
}

// With no grant held, every thread whose registration ended with it, the calling one among
// them, is made normal first: the program's soft limit may be far below what a thread that
// was real-time has run since it last slept.
void RealtimeTimeLimit::Restore() {
  for (int slot = 0; slot < used; ++slot) {
    const int value = IdAt(slot).load();
    if (value > 0) DemoteIfRealtime(value & ~kEnded);
    IdAt(slot).store(0);
  }
  used = 0;
  firstFree = -1;
  ended = 0;
  RemoveGuard();
  if (SetLimit(saved)) return;
  // Raising a hard limit needs CAP_SYS_RESOURCE: without it the lowered one stays.
  rlimit current{};
  if (GetLimit(&current)) SetLimit({std::min(saved.rlim_cur, current.rlim_max), current.rlim_max});
}

void RealtimeTimeLimit::RenewAfterFork() {
  RealtimeTimeLimit& inherited = Instance();
  const bool held = inherited.holders > 0;
  const rlimit saved = inherited.saved;
  // The parent's threads are not the child's: none of their ids may be acted on here.
  for (int slot = 0; slot < inherited.used; ++slot) IdAt(slot).store(0);
  new (&inherited) RealtimeTimeLimit;
  // Handlers the parent's threads were running are not the child's to wait for.
  handlersRunning.store(0);
  replacedRaises.store(0);
  // A child inherits the limits and the guard, but none of the grants: reset-on-fork.
  if (held) {
    inherited.saved = saved;
    inherited.Restore();
  }
}

}  // namespace avrt
