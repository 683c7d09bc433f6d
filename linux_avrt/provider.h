// avrt.dll for Linux: MMCSS registrations granted as real-time scheduling, by the kernel itself
// or by RealtimeKit. The pieces behind the three exported calls.
#pragma once

#include <windows.h>

#include "mmcss_errors.h"

#include <sys/types.h>

#include <cstdint>
#include <mutex>

struct sd_bus;

namespace avrt {

// A default MMCSS task and the real-time priorities its threads move within: one per
// AVRT_PRIORITY, very low (-2) to critical (2).
struct Task {
  const char* name;
  int normalPriority;  // AVRT_PRIORITY_NORMAL; the band is normal - 2 .. normal + 2

  constexpr int PriorityFor(int avrtPriority) const { return normalPriority + avrtPriority; }
  constexpr int Top() const { return PriorityFor(2); }
};

// The task named `name` (case-insensitive, as Windows matches task names), or null.
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

// Second step: RealtimeKit on the system bus. One connection for the process, opened on first
// need; a bus that cannot be reached is not asked again.
class RealtimeKit {
 public:
  // Asks for SCHED_RR at `priority` (clamped to 1..MaxRealtimePriority). Returns the
  // priority granted, or 0 with the Windows error that says why.
  int MakeRealtime(pid_t threadId, int priority, DWORD* error);
  // A registration that RealtimeKit granted has ended.
  void Released();

  static RealtimeKit& Instance();

 private:
  bool Connect(DWORD* error);
  bool LimitRealtimeTime(DWORD* error);

  std::mutex lock;  // one sd-bus connection must not be used by two threads at once
  sd_bus* bus = nullptr;
  bool absent = false;
  int maxPriority = 0;
  std::int64_t maxRealtimeMicroseconds = 0;
  // The process's RLIMIT_RTTIME before it was lowered for RealtimeKit, put back when no thread
  // holds a grant any more.
  bool limitLowered = false;
  std::uint64_t savedSoftLimit = 0;
  std::uint64_t savedHardLimit = 0;
  int holders = 0;
};

}  // namespace avrt
