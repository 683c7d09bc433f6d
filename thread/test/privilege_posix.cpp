// Linux: raising a thread above normal takes CAP_SYS_NICE. Checked here in both states: as the
// test's own user, and in a child that drops to an unprivileged one.
#include "privilege.h"
#include "test_threads.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace quorvane::test {

bool MayRaisePriority() {
  return compat::test::MayRaisePriority();
}

bool AwaitThreadGone(DWORD threadId) {
  const std::string task = "/proc/self/task/" + std::to_string(threadId);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
  while (access(task.c_str(), F_OK) == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

namespace {

using compat::test::RunUnprivileged;

void RaisingLevelsAreRefused() {
  EXPECT_FALSE(MayRaisePriority());
  HeldThread thread;
  EXPECT_TRUE(thread.SetPriority(5));
  EXPECT_EQ(thread.Start(), 1u);
  EXPECT_TRUE(thread.running.Await());
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_NORMAL);
  for (std::int32_t level : {3, 4, 5}) EXPECT_FALSE(thread.SetPriority(level)) << level;
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_NORMAL);
  EXPECT_TRUE(thread.SetPriority(1));
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_BELOW_NORMAL);
  // Back up from idle lowers the nice value: refused too, whatever limit the user was given.
  const rlimit noNice{0, 0};
  EXPECT_EQ(setrlimit(RLIMIT_NICE, &noNice), 0);
  EXPECT_TRUE(thread.SetPriority(0));
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_IDLE);
  EXPECT_FALSE(thread.SetPriority(1));
  EXPECT_EQ(GetThreadPriority(thread.GetHandle()), THREAD_PRIORITY_IDLE);
}

void HighClassIsRefused() {
  EXPECT_TRUE(SetHighPriorityClass(true));
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
  RecordingThread thread;
  EXPECT_EQ(thread.Start(), 1u);
  EXPECT_TRUE(thread.Wait(kWaitLimitMs));
  EXPECT_EQ(thread.priorityInRun, THREAD_PRIORITY_NORMAL);
}

void StartFailsWithoutThreads() {
  // No more processes or threads for this user.
  const rlimit none{0, 0};
  EXPECT_EQ(setrlimit(RLIMIT_NPROC, &none), 0);
  RecordingThread thread;
  EXPECT_EQ(thread.Start(), 0xFFFFFFFFu);
  EXPECT_TRUE(thread.Started());
  EXPECT_EQ(thread.GetHandle(), nullptr);
  EXPECT_TRUE(thread.Wait(0));
  EXPECT_FALSE(thread.IsCurrentThread());
}

class WithoutPrivilege : public ::testing::Test {
 protected:
  void SetUp() override { compat::test::UseFreshDeathTestChildren(); }
};

TEST_F(WithoutPrivilege, RaisingLevelsAreRefusedAndTheThreadStaysNormal) {
  EXPECT_EXIT(RunUnprivileged(RaisingLevelsAreRefused), ::testing::ExitedWithCode(0), "");
}

TEST_F(WithoutPrivilege, TheHighClassIsRefusedAndLevelTwoStaysNormal) {
  EXPECT_EXIT(RunUnprivileged(HighClassIsRefused), ::testing::ExitedWithCode(0), "");
}

TEST_F(WithoutPrivilege, StartWithoutAThreadReturnsTheResumeFailure) {
  EXPECT_EXIT(RunUnprivileged(StartFailsWithoutThreads), ::testing::ExitedWithCode(0), "");
}

TEST(ProcessPriority, PriorityBoostIsUnavailableOnLinux) {
  // The layer has no SetProcessPriorityBoost: no boost to turn on or off.
  EXPECT_FALSE(SetPriorityBoost(true));
  EXPECT_FALSE(SetPriorityBoost(false));
}

}  // namespace
}  // namespace quorvane::test
