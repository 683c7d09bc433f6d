// RLIMIT_RTTIME, the kernel's budget of CPU time a real-time thread may run without blocking,
// and the SIGXCPU guard that turns its soft limit into a demotion instead of a kill.
#include "provider.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// What the handler reads; written while it is not installed, or before it is told to act.
std::atomic<bool> guarding{false};
std::atomic<int> handlersRunning{0};
std::atomic<rlim_t> guardedSoftLimit{RLIM_INFINITY};
std::atomic<bool> programIgnores{false};  // the program's own disposition was SIG_IGN

bool GetLimit(rlimit* limit) {
  return syscall(SYS_prlimit64, 0, RLIMIT_RTTIME, nullptr, limit) == 0;
}

bool SetLimit(const rlimit& limit) {
  return syscall(SYS_prlimit64, 0, RLIMIT_RTTIME, &limit, nullptr) == 0;
}

// SIGXCPU comes for two limits. At RLIMIT_RTTIME's soft limit the kernel also raises the
// process's soft limit by a second, which RLIMIT_CPU's signal never does: that tells them apart.
// The guard puts the soft limit back, so the next thread over it is signalled too, and demotes
// the receiving thread when it is the real-time one; a thread that is not real-time leaves it
// to the next tick, where the thread over the limit, running, takes the signal. Any other
// SIGXCPU gets what the program chose before the guard: ignored, or the default (the end).
void OnCpuTimeSignal(int) {
  const int savedErrno = errno;
  handlersRunning.fetch_add(1);
  bool realtimeTimeSignal = false;
  if (guarding.load()) {
    rlimit limit{};
    const rlim_t soft = guardedSoftLimit.load();
    if (GetLimit(&limit) && limit.rlim_cur > soft) {
      realtimeTimeSignal = true;
      SetLimit({soft, limit.rlim_max});
      if (IsRealtime(static_cast<int>(syscall(SYS_sched_getscheduler, 0)))) {
        const sched_param normal{};
        syscall(SYS_sched_setscheduler, 0, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal);
      }
    }
  } else {
    // The guard is being removed; a CPU-limit signal comes again each second.
    realtimeTimeSignal = true;
  }
  handlersRunning.fetch_sub(1);
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

void RemoveGuard() {
  guarding.store(false);
  if (GuardInstalled()) {
    struct sigaction previous {};
    previous.sa_handler = programIgnores.load() ? SIG_IGN : SIG_DFL;
    sigemptyset(&previous.sa_mask);
    sigaction(SIGXCPU, &previous, nullptr);
  }
  // A handler that started before may still write the limit: the program's comes after it.
  while (handlersRunning.load() != 0) sched_yield();
}

}  // namespace

bool RealtimeTimeLimit::Hold(DWORD* error) {
  std::lock_guard<std::mutex> hold(lock);
  if (holders == 0 && !GetLimit(&saved)) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  ++holders;
  if (!Keep(RLIM_INFINITY, error)) {
    if (--holders == 0) Restore();
    return false;
  }
  if (holders == 1) InstallGuard();
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
  if ((wanted.rlim_cur != current.rlim_cur || wanted.rlim_max != current.rlim_max) &&
      !SetLimit(wanted)) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  guardedSoftLimit.store(wanted.rlim_cur);
  return true;
}

void RealtimeTimeLimit::Release() {
  std::lock_guard<std::mutex> hold(lock);
  if (holders > 0 && --holders == 0) Restore();
}

void RealtimeTimeLimit::Restore() {
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
  new (&inherited) RealtimeTimeLimit;
  // Handlers the parent's threads were running are not the child's to wait for.
  handlersRunning.store(0);
  // A child inherits the limits and the guard, but none of the grants: reset-on-fork.
  if (held) {
    inherited.saved = saved;
    inherited.Restore();
  }
}

}  // namespace avrt
