// The three avrt.dll calls that the MMCSS client makes. A registration is real-time scheduling
// for the calling thread: granted by the kernel when the process may ask for it, otherwise by
// RealtimeKit; the reason for a refusal goes to the thread's last-error value.
#include "no_cancellation.h"
#include "provider.h"

#include "bus.h"
#include "explain.h"
#include "paths.h"
#include "portal.h"

#include <sched.h>
#include <unistd.h>

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
  bool fromPortal;
  int timeSlot;  // its hold of the real-time time limit
};

// Handles are small numbers, never addresses: one that is stale, invented or another
// thread's is refused, not followed. A thread holds at most one registration, and it ends with
// the thread: a later thread given the same id never inherits it.
class Registrations {
 public:
  // Throws std::bad_alloc when the registration or the watch on its thread's end cannot be
  // made.
  HANDLE Add(const Registration& registration) {
    std::lock_guard<std::mutex> hold(lock);
    const std::uintptr_t value = nextValue;
    auto added = byThread.emplace(registration.threadId, value).first;
    try {
      table.emplace(value, registration);
    } catch (const std::bad_alloc&) {
      byThread.erase(added);
      throw;
    }
    // The key's value is set only while the thread holds a registration.
    if (pthread_setspecific(threadEnd, this) != 0) {
      byThread.erase(added);
      table.erase(value);
      throw std::bad_alloc();
    }
    ++nextValue;
    return reinterpret_cast<HANDLE>(value);
  }
  bool HeldByCallingThread() {
    std::lock_guard<std::mutex> hold(lock);
    return byThread.count(CurrentThreadId()) != 0;
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
  // The registration has ended: its grant no longer holds the real-time limit. A thread that
  // is ending may still be real-time.
  void Remove(HANDLE handle, bool threadEnds) {
    bool fromRealtimeKit = false;
    bool fromPortal = false;
    int timeSlot = -1;
    {
      std::lock_guard<std::mutex> hold(lock);
      auto found = table.find(reinterpret_cast<std::uintptr_t>(handle));
      if (found == table.end()) return;
      fromRealtimeKit = found->second.fromRealtimeKit;
      fromPortal = found->second.fromPortal;
      timeSlot = found->second.timeSlot;
      byThread.erase(found->second.threadId);
      table.erase(found);
      pthread_setspecific(threadEnd, nullptr);
    }
    if (fromRealtimeKit) RealtimeKit::Instance().GrantEnded();
    if (fromPortal) Portal::Instance().GrantEnded();
    RealtimeTimeLimit::Instance().Release(timeSlot, threadEnds);
  }
  // RealtimeKit's late grant is dropped when the thread still holds exactly it and no
  // registration. A grant of the kernel's in the meantime is SCHED_FIFO, and RealtimeKit is not
  // asked again after a timeout, so the same state is the late grant; the check and the write
  // under the lock, so that a registration that is added meanwhile is seen.
  void UndoUnregistered(pid_t threadId, int priority) {
    std::lock_guard<std::mutex> hold(lock);
    Scheduling now{};
    if (byThread.count(threadId) != 0 || !ReadScheduling(threadId, &now) ||
        now.policy != (SCHED_RR | SCHED_RESET_ON_FORK) || now.priority != priority) {
      return;
    }
    WriteScheduling(threadId, {SCHED_OTHER | SCHED_RESET_ON_FORK, 0});
  }

  static Registrations& Instance() { return Lasting<Registrations>(); }

  // A forked child holds none of its parent's registrations: its one thread starts normal
  // (reset-on-fork). The key is the process's already, and a handle of the parent's is never
  // one of the child's.
  static void RenewAfterFork() {
    Registrations& inherited = Instance();
    const pthread_key_t key = inherited.threadEnd;
    const std::uintptr_t next = inherited.nextValue;
    new (&inherited) Registrations(key, next);
  }

 private:
  friend Registrations& Lasting<Registrations>();
  Registrations() { pthread_key_create(&threadEnd, OnThreadEnd); }
  Registrations(pthread_key_t key, std::uintptr_t next) : nextValue(next), threadEnd(key) {}

  // A thread that ends holding a registration, the tool's workers among them, ends it.
  static void OnThreadEnd(void* registrations) {
    Registrations* self = static_cast<Registrations*>(registrations);
    HANDLE handle = nullptr;
    {
      std::lock_guard<std::mutex> hold(self->lock);
      auto found = self->byThread.find(CurrentThreadId());
      if (found == self->byThread.end()) return;
      handle = reinterpret_cast<HANDLE>(found->second);
    }
    self->Remove(handle, true);
  }
  std::mutex lock;
  std::map<std::uintptr_t, Registration> table;
  std::map<pid_t, std::uintptr_t> byThread;  // the one registration each thread may hold
  std::uintptr_t nextValue = 1;
  pthread_key_t threadEnd{};
};

DWORD ErrorFromErrno(int error) {
  return error == EPERM || error == EACCES ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER;
}

// The grant, along the paths in their order, with the real-time limit held from before the
// thread is real-time. Starts the thread at the task's normal priority, or at the ceiling when
// that is lower. RealtimeKit cannot raise a thread later without being asked again: the
// services are asked for normal.
bool Grant(pid_t threadId, const Task& task, Registration* registration, DWORD* error) {
  const Paths& paths = ChosenPaths();
  if (paths.unknown[0] != '\0') {
    NotePathRefused(paths.unknown);
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  RealtimeTimeLimit& limit = RealtimeTimeLimit::Instance();
  int timeSlot = -1;
  if (!limit.Hold(threadId, &timeSlot, error)) {
    if (*error == ERROR_NOT_ENOUGH_QUOTA) NoteRefused(quorvane::AvrtRefusal::kTimeLimitTooShort);
    return false;
  }
  constexpr int kNormal = 0;
  const int normal = task.PriorityFor(kNormal);
  // The portal forwards to the RealtimeKit a direct request reaches: one of them answering
  // decides, unless the portal cannot map this sandbox's ids, which RealtimeKit need not.
  bool answered = false;
  // A service that could not be reached at all does not replace what one reached said.
  DWORD reachedSaid = ERROR_SUCCESS;
  for (int i = 0; i < paths.count; ++i) {
    switch (paths.order[i]) {
      case Path::kKernel:
        if (const int ceiling = GrantDirectly(threadId, task.Top())) {
          NoteGrantedByKernel();
          const Scheduling start{SCHED_FIFO | SCHED_RESET_ON_FORK, std::min(normal, ceiling)};
          // Lowering a grant is always allowed.
          WriteScheduling(threadId, start);
          *registration = {threadId, &task, {}, start, ceiling, false, false, timeSlot};
          return true;
        }
        NoteKernelRefused(errno);
        break;
      case Path::kRealtimeKit:
        if (answered) break;
        if (const int granted = RealtimeKit::Instance().MakeRealtime(threadId, normal, error)) {
          NoteGrantedByRealtimeKit();
          *registration = {threadId, &task, {},    {SCHED_RR | SCHED_RESET_ON_FORK, granted},
                           granted,  true,  false, timeSlot};
          return true;
        }
        answered = RealtimeKit::Instance().Reached();
        if (answered || *error != ERROR_ACCESS_DENIED) reachedSaid = *error;
        break;
      case Path::kPortal: {
        if (answered) break;
        quorvane::AvrtRefusal why = quorvane::AvrtRefusal::kNone;
        if (const int granted = Portal::Instance().MakeRealtime(threadId, normal, error, &why)) {
          NoteGrantedByPortal();
          *registration = {threadId, &task, {},   {SCHED_RR | SCHED_RESET_ON_FORK, granted},
                           granted,  false, true, timeSlot};
          return true;
        }
        answered = why != quorvane::AvrtRefusal::kPortalUnreachable &&
                   why != quorvane::AvrtRefusal::kPortalAddressRefused &&
                   why != quorvane::AvrtRefusal::kPortalTimedOut &&
                   why != quorvane::AvrtRefusal::kPortalPidMappingUnsupported &&
                   why != quorvane::AvrtRefusal::kNone;
        if (why != quorvane::AvrtRefusal::kPortalUnreachable &&
            why != quorvane::AvrtRefusal::kPortalAddressRefused) {
          reachedSaid = *error;
        }
        break;
      }
    }
  }
  if (reachedSaid != ERROR_SUCCESS) *error = reachedSaid;
  limit.Release(timeSlot, false);
  return false;
}

// Puts back the scheduling read before the grant; false, with errno set, when refused. Only a
// privileged thread may drop reset-on-fork, which every grant sets, so it stays where needed;
// where the old policy cannot come back at all, the thread is at least made normal.
bool PutBack(const Registration& registration) {
  Scheduling before = registration.before;
  if (WriteScheduling(registration.threadId, before)) return true;
  before.policy |= SCHED_RESET_ON_FORK;
  if (WriteScheduling(registration.threadId, before)) return true;
  const int refused = errno;
  WriteScheduling(registration.threadId, {SCHED_OTHER | SCHED_RESET_ON_FORK, 0});
  errno = refused;
  return false;
}

// The child of fork() has one thread, whatever the parent's others were doing inside these
// calls: before anything else runs in it, it gets the process-wide state afresh, its locks
// free. The parent's bus connection is left unused there, not closed.
void RenewAfterFork() {
  Registrations::RenewAfterFork();
  BusBudget::RenewAfterFork();
  RealtimeKit::RenewAfterFork();
  Portal::RenewAfterFork();
  RealtimeTimeLimit::RenewAfterFork();
}

// Built as the library loads, before any thread can be inside these calls, and renewed in every
// child. Only the child's handler: one run before fork() would wait for a thread's bus request.
[[maybe_unused]] const bool builtAtLoad = [] {
  Registrations::Instance();
  BusBudget::Instance();
  RealtimeKit::Instance();
  Portal::Instance();
  ChosenPaths();
  RealtimeTimeLimit::Instance();
  return pthread_atfork(nullptr, nullptr, RenewAfterFork) == 0;
}();

}  // namespace

void UndoLateGrant(pid_t threadId, int priority) {
  Registrations::Instance().UndoUnregistered(threadId, priority);
}

}  // namespace avrt

using avrt::Registration;
using avrt::Registrations;

extern "C" {

HANDLE AvSetMmMaxThreadCharacteristicsA(LPCSTR firstTask, LPCSTR secondTask, LPDWORD taskIndex) {
  compat::NoCancellation noCancellation;  // TerminateThread here would leave a lock held
  avrt::NoteCallBegins();
  if (firstTask == nullptr || secondTask == nullptr || taskIndex == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const avrt::Task* first = avrt::FindTask(firstTask);
  const avrt::Task* second = avrt::FindTask(secondTask);
  if (first == nullptr || second == nullptr) {
    SetLastError(ERROR_INVALID_TASK_NAME);
    return nullptr;
  }
  // The higher of the two tasks, as Windows takes it.
  const avrt::Task& task = second->normalPriority > first->normalPriority ? *second : *first;
  // A thread holds one registration at a time, as on Windows.
  if (Registrations::Instance().HeldByCallingThread()) {
    SetLastError(ERROR_THREAD_ALREADY_IN_TASK);
    return nullptr;
  }
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
    avrt::RealtimeTimeLimit::Instance().Release(registration.timeSlot, false);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL AvSetMmThreadPriority(HANDLE handle, std::int32_t priority) {
  compat::NoCancellation noCancellation;
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
  if (!moved && registration.fromPortal && wanted.priority > registration.current.priority) {
    quorvane::AvrtRefusal why = quorvane::AvrtRefusal::kNone;
    moved = avrt::Portal::Instance().MakeRealtime(registration.threadId, wanted.priority, &error,
                                                  &why) == wanted.priority;
  }
  if (!moved) {
    SetLastError(error);
    return FALSE;
  }
  Registrations::Instance().Update(handle, wanted);
  return TRUE;
}

BOOL AvRevertMmThreadCharacteristics(HANDLE handle) {
  compat::NoCancellation noCancellation;
  Registration registration{};
  if (!Registrations::Instance().Find(handle, &registration)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const bool restored = avrt::PutBack(registration);
  const DWORD error = avrt::ErrorFromErrno(errno);
  // A thread that is still real-time keeps its registration, so the revert can be tried again.
  avrt::Scheduling now{};
  if (restored || !avrt::ReadScheduling(registration.threadId, &now) ||
      !avrt::IsRealtime(now.policy)) {
    Registrations::Instance().Remove(handle, false);
  }
  if (!restored) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
