// The main thread's scheduling while it starts workers, against the real kernel.
#include "starting_scheduling.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/resource.h>

#include <thread>

#include "privilege.h"

namespace quorvane {
namespace {

struct Policy {
  int policy;
  int priority;
  bool operator==(const Policy& other) const {
    return policy == other.policy && priority == other.priority;
  }
};

Policy OwnPolicy() {
  sched_param param{};
  sched_getparam(0, &param);
  return {sched_getscheduler(0), param.sched_priority};
}

void ExpectKeptAsItIs() {
  const Policy before = OwnPolicy();
  StartingScheduling ahead;
  EXPECT_FALSE(ahead.Raised());
  EXPECT_EQ(OwnPolicy(), before);
}

bool MayTakeRealtimePriority(int priority) {
  rlimit allowed{};
  return compat::test::MayRaisePriority() ||
         (getrlimit(RLIMIT_RTPRIO, &allowed) == 0 && allowed.rlim_cur >= rlim_t(priority));
}

TEST(StartingScheduling, RunsAheadOnlyWhileStartingAndItsThreadsStartNormal) {
  const Policy before = OwnPolicy();
  ASSERT_EQ(before, (Policy{SCHED_OTHER, 0}));
  if (!MayTakeRealtimePriority(21)) {
    ExpectKeptAsItIs();
    return;
  }
  {
    StartingScheduling ahead;
    ASSERT_TRUE(ahead.Raised());
    EXPECT_EQ(OwnPolicy(), (Policy{SCHED_FIFO | SCHED_RESET_ON_FORK, 21}));
    Policy started{};
    std::thread([&] { started = OwnPolicy(); }).join();
    EXPECT_EQ(started, (Policy{SCHED_OTHER, 0}));
  }
  EXPECT_EQ(OwnPolicy(), before);

  // A real-time CPU limit would end the process if the main thread outran it.
  rlimit unlimited{};
  getrlimit(RLIMIT_RTTIME, &unlimited);
  const rlimit limited{200000, unlimited.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_RTTIME, &limited), 0);
  ExpectKeptAsItIs();
  setrlimit(RLIMIT_RTTIME, &unlimited);
}

TEST(StartingSchedulingDeathTest, AUserWithoutRightsKeepsNormalScheduling) {
  compat::test::UseFreshDeathTestChildren();
  EXPECT_EXIT(compat::test::RunUnprivileged(ExpectKeptAsItIs), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quorvane
