// The three avrt.dll calls that the MMCSS client makes. A registration is real-time scheduling
// for the calling thread: granted by the kernel when the process may ask for it, otherwise by
// RealtimeKit; the reason for a refusal goes to the thread's last-error value.
#include "provider.h"

#include "explain.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <new>

namespace avrt {
namespace {

constexpr int kLowestAvrtPriority = -2;
constexpr int kHighestAvrtPriority = 2;

struct Registration {
  pid_t threadId;
  const Task* task;
  Scheduling before;   // put back by the revert
  Scheduling current;  // what the grant holds now
  int ceiling;         // the highest priority the grant allows
  bool fromRealtimeKit;
};

// Handles are small numbers, never addresses: one that is stale, invented or another
// thread's is refused, not followed.
class Registrations {
 public:
  HANDLE Add(const Registration& registration) {
    std::lock_guard<std::mutex> hold(lock);
    const std::uintptr_t value = nextValue++;
    table.emplace(value, registration);
    return reinterpret_cast<HANDLE>(value);
  }
  // The calling thread's registration behind `handle`, copied out.
  bool Find(HANDLE handle, Registration* registration) {
    std::lock_guard<std::mutex> hold(lock);
    auto found = table.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == table.end() || found->second.threadId != CurrentThreadId()) return false;
    *registration = found->second;
    return true;
  }
  void Update(HANDLE handle, Scheduling current) {
    std::lock_guard<std::mutex> hold(lock);
    auto found = table.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found != table.end()) found->second.current = current;
  }
  void Remove(HANDLE handle) {
    std::lock_guard<std::mutex> hold(lock);
    table.erase(reinterpret_cast<std::uintptr_t>(handle));
  }

  static Registrations& Instance() {
    // Never destroyed: threads may still revert while the process exits.
    static Registrations* instance = new Registrations;
    return *instance;
  }

 private:
  std::mutex lock;
  std::map<std::uintptr_t, Registration> table;
  std::uintptr_t nextValue = 1;
};

// A thread ended by TerminateThread inside these calls would leave a lock held.
class NoCancellation {
 public:
  NoCancellation() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous); }
  ~NoCancellation() { pthread_setcancelstate(previous, nullptr); }
  NoCancellation(const NoCancellation&) = delete;
  NoCancellation& operator=(const NoCancellation&) = delete;

 private:
  int previous = PTHREAD_CANCEL_ENABLE;
};

DWORD ErrorFromErrno(int error) {
  return error == EPERM || error == EACCES ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER;
}

// The grant, by the kernel first and RealtimeKit second. Starts the thread at the task's
// normal priority, or at the ceiling when that is lower.
bool Grant(pid_t threadId, const Task& task, Registration* registration, DWORD* error) {
  constexpr int kNormal = 0;
  const int normal = task.PriorityFor(kNormal);
  if (const int ceiling = GrantDirectly(threadId, task.Top())) {
    NoteGrantedByKernel();
    const Scheduling start{SCHED_FIFO | SCHED_RESET_ON_FORK, std::min(normal, ceiling)};
    // Lowering a grant is always allowed.
    WriteScheduling(threadId, start);
    *registration = {threadId, &task, {}, start, ceiling, false};
    return true;
  }
  NoteKernelRefused(errno);
  // RealtimeKit cannot raise a thread later without being asked again: ask for normal.
  if (const int granted = RealtimeKit::Instance().MakeRealtime(threadId, normal, error)) {
    NoteGrantedByRealtimeKit();
    *registration = {threadId, &task, {}, {SCHED_RR | SCHED_RESET_ON_FORK, granted}, granted, true};
    return true;
  }
  return false;
}

// Puts back the scheduling read before the grant; false, with errno set, when refused.
bool PutBack(const Registration& registration) {
  if (WriteScheduling(registration.threadId, registration.before)) return true;
  if ((registration.before.policy & ~SCHED_RESET_ON_FORK) != SCHED_OTHER) return false;
  // Only a privileged thread may drop reset-on-fork, which every grant sets.
  Scheduling normal = registration.before;
  normal.policy |= SCHED_RESET_ON_FORK;
  return WriteScheduling(registration.threadId, normal);
}

}  // namespace
}  // namespace avrt

using avrt::Registration;
using avrt::Registrations;

extern "C" {

HANDLE AvSetMmMaxThreadCharacteristicsA(LPCSTR firstTask, LPCSTR secondTask, LPDWORD taskIndex) {
  avrt::NoCancellation noCancellation;
  avrt::NoteCallBegins();
  if (firstTask == nullptr || secondTask == nullptr || taskIndex == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const avrt::Task* first = avrt::FindTask(firstTask);
  const avrt::Task* second = avrt::FindTask(secondTask);
  if (first == nullptr || second == nullptr) {
    SetLastError(avrt::ERROR_INVALID_TASK_NAME);
    return nullptr;
  }
  // The higher of the two tasks, as Windows takes it.
  const avrt::Task& task = second->normalPriority > first->normalPriority ? *second : *first;
  const pid_t threadId = avrt::CurrentThreadId();
  avrt::Scheduling before{};
  if (!avrt::ReadScheduling(threadId, &before)) {
    SetLastError(avrt::ErrorFromErrno(errno));
    return nullptr;
  }
  Registration registration{};
  DWORD error = ERROR_ACCESS_DENIED;
  if (!avrt::Grant(threadId, task, &registration, &error)) {
    SetLastError(error);
    return nullptr;
  }
  registration.before = before;
  try {
    HANDLE handle = Registrations::Instance().Add(registration);
    *taskIndex = avrt::TaskIndex(task);
    return handle;
  } catch (const std::bad_alloc&) {
    // A grant nobody holds a handle to could never be reverted.
    avrt::PutBack(registration);
    if (registration.fromRealtimeKit) avrt::RealtimeKit::Instance().Released();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL AvSetMmThreadPriority(HANDLE handle, std::int32_t priority) {
  avrt::NoCancellation noCancellation;
  Registration registration{};
  if (!Registrations::Instance().Find(handle, &registration)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (priority < avrt::kLowestAvrtPriority || priority > avrt::kHighestAvrtPriority) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  avrt::Scheduling wanted = registration.current;
  wanted.priority = std::min(registration.task->PriorityFor(priority), registration.ceiling);
  bool moved = avrt::WriteScheduling(registration.threadId, wanted);
  DWORD error = avrt::ErrorFromErrno(errno);
  // After RealtimeKit's grant the thread may go down on its own, but back up only through it.
  if (!moved && registration.fromRealtimeKit && wanted.priority > registration.current.priority) {
    moved = avrt::RealtimeKit::Instance().MakeRealtime(registration.threadId, wanted.priority,
                                                       &error) == wanted.priority;
  }
  if (!moved) {
    SetLastError(error);
    return FALSE;
  }
  Registrations::Instance().Update(handle, wanted);
  return TRUE;
}

BOOL AvRevertMmThreadCharacteristics(HANDLE handle) {
  avrt::NoCancellation noCancellation;
  Registration registration{};
  if (!Registrations::Instance().Find(handle, &registration)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const bool restored = avrt::PutBack(registration);
  const DWORD error = avrt::ErrorFromErrno(errno);
  Registrations::Instance().Remove(handle);
  if (registration.fromRealtimeKit) avrt::RealtimeKit::Instance().Released();
  if (!restored) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
