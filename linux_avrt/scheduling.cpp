// The kernel's own real-time scheduling, for a thread named by its kernel id.
#include "provider.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <sched.h>

#include <cerrno>

namespace avrt {

pid_t CurrentThreadId() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

bool ReadScheduling(pid_t threadId, Scheduling* scheduling) {
  const int policy = sched_getscheduler(threadId);
  sched_param parameter{};
  if (policy < 0 || sched_getparam(threadId, &parameter) != 0) return false;
  *scheduling = {policy, parameter.sched_priority};
  return true;
}

bool WriteScheduling(pid_t threadId, Scheduling scheduling) {
  const sched_param parameter{scheduling.priority};
  return syscall(SYS_sched_setscheduler, threadId, scheduling.policy, &parameter) == 0;
}

bool IsRealtime(int policy) {
  const int plain = policy & ~SCHED_RESET_ON_FORK;
  return plain == SCHED_FIFO || plain == SCHED_RR;
}

int RealtimePriority(pid_t threadId) {
  Scheduling now{};
  return ReadScheduling(threadId, &now) && IsRealtime(now.policy) ? now.priority : 0;
}

int GrantDirectly(pid_t threadId, int priority) {
  // Children of a real-time thread start normal, so nothing inherits the grant unasked.
  constexpr int kPolicy = SCHED_FIFO | SCHED_RESET_ON_FORK;
  if (WriteScheduling(threadId, {kPolicy, priority})) return priority;
  if (errno != EPERM) return 0;
  // Without CAP_SYS_NICE the kernel allows up to RLIMIT_RTPRIO.
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur == 0 ||
      limit.rlim_cur >= static_cast<rlim_t>(priority)) {
    errno = EPERM;
    return 0;
  }
  const int allowed = static_cast<int>(limit.rlim_cur);
  return WriteScheduling(threadId, {kPolicy, allowed}) ? allowed : 0;
}

}  // namespace avrt
