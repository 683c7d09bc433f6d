#include "test_threads.h"

#include <gtest/gtest.h>

namespace quorvane::test {
namespace {

// What each level gives, in a normal-class process and in any other class.
constexpr int kNormalClassPriority[] = {THREAD_PRIORITY_IDLE,    THREAD_PRIORITY_BELOW_NORMAL,
                                        THREAD_PRIORITY_NORMAL,  THREAD_PRIORITY_ABOVE_NORMAL,
                                        THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_TIME_CRITICAL};
constexpr int kOtherClassPriority[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                       THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                       THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_TIME_CRITICAL};

// Starts a thread at `level` and returns the priority its Run saw.
int PriorityInRun(std::int32_t level) {
  RecordingThread thread;
  EXPECT_TRUE(thread.SetPriority(level));
  EXPECT_EQ(thread.Start(), 1u);
  EXPECT_TRUE(thread.Wait(kWaitLimitMs));
  return thread.priorityInRun;
}

TEST(ThreadPriority, EveryLevelSetBeforeStartIsStoredAndAppliedByStart) {
  ASSERT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
  for (std::int32_t level = 0; level < 6; ++level) {
    RecordingThread thread;
    EXPECT_TRUE(thread.SetPriority(level));
    EXPECT_EQ(thread.Level(), level);
    EXPECT_EQ(thread.Start(), 1u);
    ASSERT_TRUE(thread.Wait(kWaitLimitMs));
    const int wanted = kNormalClassPriority[level];
    // Without the right to raise, a raising level is refused and the thread stays normal.
    const int expected =
        wanted > THREAD_PRIORITY_NORMAL && !MayRaisePriority() ? THREAD_PRIORITY_NORMAL : wanted;
    EXPECT_EQ(thread.priorityInRun, expected) << "level " << level;
  }
}

TEST(ThreadPriority, RejectedLevelsOnARunningThreadAreStoredButNotApplied) {
  HeldThread thread;
  ASSERT_TRUE(thread.SetPriority(1));
  ASSERT_EQ(thread.Start(), 1u);
  ASSERT_TRUE(thread.running.Await());
  for (std::int32_t level : {6, -1}) {
    EXPECT_FALSE(thread.SetPriority(level)) << level;
    EXPECT_EQ(thread.Level(), level);
    EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_BELOW_NORMAL);
  }
}

TEST(ThreadPriority, RejectedLevelsBeforeStartAreStoredAndStartKeepsTheDefault) {
  for (std::int32_t level : {6, -1}) {
    RecordingThread thread;
    EXPECT_TRUE(thread.SetPriority(level));
    EXPECT_EQ(thread.Level(), level);
    EXPECT_EQ(thread.Start(), 1u);
    ASSERT_TRUE(thread.Wait(kWaitLimitMs));
    EXPECT_EQ(thread.priorityInRun, THREAD_PRIORITY_NORMAL) << "level " << level;
  }
}

TEST(ThreadPriority, LevelsOnARunningThreadTakeEffectAtOnce) {
  HeldThread thread;
  ASSERT_EQ(thread.Start(), 1u);
  ASSERT_TRUE(thread.running.Await());
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_NORMAL);
  // Downwards first: every user may lower a thread, and on Linux only privilege raises it again.
  EXPECT_TRUE(thread.SetPriority(1));
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_BELOW_NORMAL);
  EXPECT_TRUE(thread.SetPriority(0));
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_IDLE);
  EXPECT_EQ(thread.SetPriority(4), MayRaisePriority());
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()),
            MayRaisePriority() ? THREAD_PRIORITY_HIGHEST : THREAD_PRIORITY_IDLE);
}

TEST(ProcessPriority, LevelTwoIsNormalInTheNormalClassAndBelowNormalInTheHighClass) {
  ASSERT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(PriorityInRun(2), THREAD_PRIORITY_NORMAL);

  SetHighPriorityClass(true);  // it always says true: its effect is what counts
  if (MayRaisePriority()) {
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), HIGH_PRIORITY_CLASS);
    EXPECT_EQ(PriorityInRun(2), THREAD_PRIORITY_BELOW_NORMAL);
  } else {
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(PriorityInRun(2), THREAD_PRIORITY_NORMAL);
  }

  SetHighPriorityClass(false);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(PriorityInRun(2), THREAD_PRIORITY_NORMAL);
}

void EveryLevelInTheBelowNormalClassTakesTheOtherColumn() {
  // Lowering the class needs no privilege; raising it again would.
  SetAboveNormalPriorityClass(false);
  ASSERT_EQ(GetPriorityClass(GetCurrentProcess()), BELOW_NORMAL_PRIORITY_CLASS);
  for (std::int32_t level = 0; level < 6; ++level) {
    const int wanted = kOtherClassPriority[level];
    const int expected =
        wanted > THREAD_PRIORITY_NORMAL && !MayRaisePriority() ? THREAD_PRIORITY_NORMAL : wanted;
    EXPECT_EQ(PriorityInRun(level), expected) << "level " << level;
  }
}

TEST(ProcessPriorityDeathTest, EveryLevelInTheBelowNormalClassTakesTheOtherColumn) {
  ExpectInChild(EveryLevelInTheBelowNormalClassTakesTheOtherColumn);
}

void AboveNormalClassNeedsTheRightToRaise() {
  SetAboveNormalPriorityClass(true);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()),
            MayRaisePriority() ? ABOVE_NORMAL_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS);
}

TEST(ProcessPriorityDeathTest, AboveNormalClassNeedsTheRightToRaise) {
  ExpectInChild(AboveNormalClassNeedsTheRightToRaise);
}

}  // namespace
}  // namespace quorvane::test
