// avrt.dll for Linux: MMCSS registrations granted as real-time scheduling, by the kernel itself
// or by RealtimeKit. The pieces behind the three exported calls.
#pragma once

#include <windows.h>

#include "avrt_explanation.h"
#include "mmcss_errors.h"

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

struct sd_bus;

namespace avrt {

// A process-wide object, built without allocating (a call that runs out of memory says so
// instead of throwing) and never destroyed: threads may still use it while the process exits.
// A forked child builds it again in place, over the parent's copy, whose locks another thread
// may have held.
template <typename T>
T& Lasting() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* instance = new (storage) T;
  return *instance;
}

// A default MMCSS task and the real-time priorities its threads move within: one per
// AVRT_PRIORITY, very low (-2) to critical (2).
struct Task {
  const char* name;
  int normalPriority;  // AVRT_PRIORITY_NORMAL; the band is normal - 2 .. normal + 2

  constexpr int PriorityFor(int avrtPriority) const { return normalPriority + avrtPriority; }
  constexpr int Top() const { return PriorityFor(2); }
};

// The task named `name` (case-insensitive in ASCII, as Windows matches task names, whatever the
// locale), or null.
const Task* FindTask(const char* name);
// 1-based position of `task` in the table: the task index Windows hands out is never 0.
DWORD TaskIndex(const Task& task);

// A thread's policy (reset-on-fork included) and real-time priority.
struct Scheduling {
  int policy;
  int priority;
};

// The calling thread's kernel id. The scheduler calls take this, never a pthread_t.
pid_t CurrentThreadId();
bool ReadScheduling(pid_t threadId, Scheduling* scheduling);
// sched_setscheduler through the raw system call: glibc's wrapper may refuse a thread id.
bool WriteScheduling(pid_t threadId, Scheduling scheduling);

// First step of a grant: SCHED_FIFO from the kernel at `priority`, or at RLIMIT_RTPRIO when
// that is lower and the first try was refused. Returns the priority held, or 0 (errno set).
int GrantDirectly(pid_t threadId, int priority);

// Whether the policy, reset-on-fork aside, is SCHED_FIFO or SCHED_RR.
bool IsRealtime(int policy);
// The thread's real-time priority when it holds real-time scheduling, else 0.
int RealtimePriority(pid_t threadId);
// Drops real-time scheduling that RealtimeKit applied after its call gave up: only the grant it
// was asked for (`threadId` at SCHED_RR `priority`, as RealtimeKit sets it), and only while the
// thread holds no registration.
void UndoLateGrant(pid_t threadId, int priority);

// The process's RLIMIT_RTTIME while any grant is held, on both paths. A real-time thread that
// runs past the hard limit without blocking gets the whole process killed; the soft limit, at
// half of it, comes first and the SIGXCPU guard demotes every holder instead. The kernel checks
// at its tick, so a hard limit too short to demote in time refuses the grant.
class RealtimeTimeLimit {
 public:
  // Before a grant of `threadId`, on either path: records the thread for the guard and
  // installs it. False, with the Windows error that says why, when the limit in force leaves
  // no safe grant. `slot` names the hold for Release.
  bool Hold(pid_t threadId, int* slot, DWORD* error);
  // One more hold while one is held: for a grant that may still arrive after its call gave up.
  bool Retain(pid_t threadId, int* slot);
  // For a held grant that RealtimeKit makes: the hard limit at most `ceiling`, as it requires.
  bool Tighten(rlim_t ceiling, DWORD* error);
  // A hold has ended: its grant was reverted or not made, or its thread is ending (and may
  // still be real-time until it has left). The last one makes every ended holder normal, then
  // puts the program's limits and its SIGXCPU disposition back.
  void Release(int slot, bool threadEnds);

  static RealtimeTimeLimit& Instance() { return Lasting<RealtimeTimeLimit>(); }
  // In a forked child: no grants held, the program's limits and disposition back.
  static void RenewAfterFork();

 private:
  bool Keep(rlim_t ceiling, DWORD* error);
  void Restore();
  bool Record(pid_t threadId, int* slot);
  void Forget(int slot);
  void ReclaimEnded();

  std::mutex lock;
  int holders = 0;
  rlimit saved{};  // the program's own limits, before the first hold
  int used = 0;    // slots of the thread record handed out so far
  int firstFree = -1;
  int ended = 0;  // slots of threads that ended holding the limit
};

// Second step: RealtimeKit on the system bus. One connection for the process, opened on first
// need; all its waiting shares the process's one budget for the buses (bus.h), and a bus that
// failed or timed out is not asked again by this process (a forked child opens its own).
class RealtimeKit {
 public:
  // Asks for SCHED_RR at `priority` (clamped to 1..MaxRealtimePriority), with a
  // RealtimeTimeLimit held. Returns the priority granted, or 0 with the Windows error that says
  // why.
  int MakeRealtime(pid_t threadId, int priority, DWORD* error);
  // RealtimeKit's MaxRealtimePriority and RTTimeUSecMax, read as a request would read them:
  // false when it cannot be asked now. `contact` says how the last contact with it went: limits
  // read before are not given once a later contact failed.
  bool Limits(int* priority, std::int64_t* microseconds, quorvane::AvrtRefusal* contact);
  // Whether RealtimeKit itself answers now: connected, its limits read, not given up. Its
  // refusal then stands; the portal would forward to the same RealtimeKit.
  bool Reached();
  // A grant RealtimeKit made has ended: its per-user limit may have room again.
  void GrantEnded() { busyUntil.store(0, std::memory_order_relaxed); }

  static RealtimeKit& Instance() { return Lasting<RealtimeKit>(); }
  // In a forked child: no connection (the parent's is left untouched).
  static void RenewAfterFork();

 private:
  friend RealtimeKit& Lasting<RealtimeKit>();
  bool Connect(DWORD* error);
  bool ReadLimits(DWORD* error);
  bool Reachable(DWORD* error);
  int Ask(pid_t threadId, int priority, DWORD* error);
  void GiveUp(DWORD error, quorvane::AvrtRefusal why, const char* said = nullptr);
  void ContactFailed(quorvane::AvrtRefusal why, const char* said);

  std::mutex lock;  // one sd-bus connection must not be used by two threads at once
  sd_bus* bus = nullptr;
  DWORD refusal = ERROR_SUCCESS;  // once set, the answer to every later request
  // How the last contact with RealtimeKit went, and what the bus said when it failed.
  quorvane::AvrtRefusal contact = quorvane::AvrtRefusal::kNone;
  char contactSaid[160] = "";
  bool answeredBefore = false;
  int maxPriority = 0;
  std::int64_t maxRealtimeMicroseconds = 0;
  // After RealtimeKit said its limits are reached: until when it is not asked again, and what
  // it said. Cleared without the lock by a thread whose grant ends.
  std::atomic<std::uint64_t> busyUntil{0};
  char busySaid[320] = "";

  RealtimeKit();
};

}  // namespace avrt
