#include <sched.h>
#include <sys/resource.h>

#include "starting_scheduling.h"

namespace quorvane {
namespace {

// Above every worker (the grants stay within 1..20, RealtimeKit's default maximum) and below
// the kernel's threaded interrupt handlers (50).
constexpr int kStartingPriority = 21;

}  // namespace

StartingScheduling::StartingScheduling() {
  // Under a limit on real-time CPU time (a soft one, never above the hard) the thread keeps its
  // scheduling: running past it before any grant's guard is in place would end the process,
  // and on one processor the workers cannot even start before the main thread is done.
  rlimit realtimeTime{};
  if (getrlimit(RLIMIT_RTTIME, &realtimeTime) != 0 || realtimeTime.rlim_cur != RLIM_INFINITY) {
    return;
  }
  sched_param before{};
  const int current = sched_getscheduler(0);
  // A thread started with a policy of its own (chrt) keeps it.
  if (current < 0 || (current & ~SCHED_RESET_ON_FORK) != SCHED_OTHER ||
      sched_getparam(0, &before) != 0) {
    return;
  }
  // Reset-on-fork: the threads created meanwhile start with normal scheduling, not this.
  const sched_param raisedTo{kStartingPriority};
  if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &raisedTo) != 0) return;
  raised = true;
  policy = current;
  priority = before.sched_priority;
}

StartingScheduling::~StartingScheduling() {
  if (!raised) return;
  const sched_param back{priority};
  // Only a privileged thread may drop reset-on-fork once set; normal scheduling comes back
  // either way.
  if (sched_setscheduler(0, policy, &back) != 0) {
    sched_setscheduler(0, policy | SCHED_RESET_ON_FORK, &back);
  }
}

}  // namespace quorvane
