// The one native-API call the libraries make: NtQueryInformationThread's basic record, filled
// from the thread's real scheduling state so that a real-time grant can be seen.
#include "kernel_object.h"
#include "thread_basic_information.h"
#include "thread_object.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace compat {
namespace {

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008);

struct Scheduling {
  pid_t threadId = 0;
  int policy = SCHED_OTHER;
  int realtimePriority = 0;
  int nice = 0;
  DWORD_PTR affinity = 0;
};

// Windows' base priority of each class; a thread's relative priority is added to it.
struct ClassBase {
  DWORD priorityClass;
  LONG base;
};
constexpr ClassBase kClassBases[] = {
    {IDLE_PRIORITY_CLASS, 4},          {BELOW_NORMAL_PRIORITY_CLASS, 6}, {NORMAL_PRIORITY_CLASS, 8},
    {ABOVE_NORMAL_PRIORITY_CLASS, 10}, {HIGH_PRIORITY_CLASS, 13},
};

// A time-shared thread: its class and relative priority, as the layer reads them from nice.
LONG TimeSharedPriority(int nice) {
  DWORD priorityClass = NORMAL_PRIORITY_CLASS;
  const int relative = PriorityOfNice(nice, &priorityClass);
  if (relative == THREAD_PRIORITY_IDLE) return 1;
  if (relative == THREAD_PRIORITY_TIME_CRITICAL) return 15;
  LONG base = 8;
  for (const ClassBase& row : kClassBases) {
    if (row.priorityClass == priorityClass) base = row.base;
  }
  return std::clamp<LONG>(base + relative, 1, 15);
}

// A real-time thread lands in Windows' real-time range 16..31. Priorities 1..20, what
// RealtimeKit hands out by default, spread over 16..26, so the top five (the "Pro Audio" band
// of our avrt provider) read 23..26 as MMCSS's high category does; 21..99 share 27..31.
LONG RealtimePriority(int realtimePriority) {
  const int p = std::clamp(realtimePriority, 1, 99);
  if (p <= 20) return 16 + (p - 1) * 10 / 19;
  return 26 + ((p - 20) * 5 + 78) / 79;
}

bool ReadScheduling(HANDLE thread, Scheduling* scheduling) {
  return WithRunningThread(thread, [scheduling](pid_t threadId) {
    scheduling->threadId = threadId;
    const int policy = sched_getscheduler(threadId);
    sched_param parameter{};
    if (policy < 0 || sched_getparam(threadId, &parameter) != 0) return false;
    errno = 0;  // -1 is a valid nice value
    scheduling->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(threadId));
    if (scheduling->nice == -1 && errno != 0) return false;
    scheduling->policy = policy & ~SCHED_RESET_ON_FORK;
    scheduling->realtimePriority = parameter.sched_priority;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(threadId, sizeof(set), &set) == 0) {
      for (int cpu = 0; cpu < static_cast<int>(sizeof(DWORD_PTR) * 8); ++cpu) {
        if (CPU_ISSET(cpu, &set)) scheduling->affinity |= DWORD_PTR{1} << cpu;
      }
    }
    return true;
  });
}

}  // namespace
}  // namespace compat

extern "C" {

NTSTATUS NtQueryInformationThread(HANDLE thread, ULONG informationClass, PVOID information,
                                  ULONG length, ULONG* returnLength) {
  compat::NoCancellation noCancellation;
  if (informationClass != compat::kThreadBasicInformation) return compat::kStatusInvalidInfoClass;
  if (length != sizeof(compat::ThreadBasicInformation) || information == nullptr) {
    return compat::kStatusInfoLengthMismatch;
  }
  compat::Scheduling scheduling;
  if (!compat::ReadScheduling(thread, &scheduling)) return compat::kStatusInvalidHandle;
  compat::ThreadBasicInformation record{};
  record.exitStatus = static_cast<NTSTATUS>(STILL_ACTIVE);
  record.uniqueProcess = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(getpid()));
  record.uniqueThread = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(scheduling.threadId));
  record.affinityMask = scheduling.affinity;
  const bool realtime = scheduling.policy == SCHED_FIFO || scheduling.policy == SCHED_RR;
  if (scheduling.policy == SCHED_DEADLINE) {
    record.basePriority = 31;
  } else if (realtime) {
    record.basePriority = compat::RealtimePriority(scheduling.realtimePriority);
  } else if (scheduling.policy == SCHED_IDLE) {
    record.basePriority = 1;
  } else {
    record.basePriority = compat::TimeSharedPriority(scheduling.nice);
  }
  // Linux has no dynamic boosts: the current priority is the base one.
  record.priority = record.basePriority;
  std::memcpy(information, &record, sizeof(record));
  if (returnLength != nullptr) *returnLength = sizeof(record);
  return compat::kStatusSuccess;
}

}  // extern "C"
