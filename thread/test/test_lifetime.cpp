#include "test_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quorvane::test {
namespace {

TEST(ThreadLifetime, StartRunsRunOnTheNewThreadWithComInitialised) {
  RecordingThread thread;
  EXPECT_EQ(thread.Start(), 1u);  // the previous suspend count: created suspended
  EXPECT_TRUE(thread.Started());
  EXPECT_NE(thread.GetHandle(), nullptr);
  ASSERT_TRUE(thread.Wait(kWaitLimitMs));
  EXPECT_TRUE(thread.currentInRun);
  EXPECT_FALSE(thread.IsCurrentThread());
  // ThreadEntry initialised COM first, so Run's own CoInitialize finds it done.
  EXPECT_EQ(thread.comInRun, S_FALSE);
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.GetHandle(), &exitCode));
  EXPECT_EQ(exitCode, 7u);
}

TEST(ThreadLifetime, NeverStartedThreadIsNotCurrentAndWaitsAtOnce) {
  RecordingThread thread;
  EXPECT_FALSE(thread.IsCurrentThread());
  EXPECT_TRUE(thread.Wait(0));
}

TEST(ThreadLifetime, WaitTimesOutWhileTheThreadRuns) {
  HeldThread thread;
  ASSERT_EQ(thread.Start(), 1u);
  ASSERT_TRUE(thread.running.Await());
  EXPECT_FALSE(thread.Wait(0));
  EXPECT_FALSE(thread.Wait(20));
  thread.release.Raise();
  EXPECT_TRUE(thread.Wait(kWaitLimitMs));
  EXPECT_TRUE(thread.Wait(0));  // stays ended
}

TEST(ThreadLifetime, TerminateWithoutAHandleDoesNothing) {
  RecordingThread thread;
  thread.Terminate();
  EXPECT_FALSE(thread.Started());
  EXPECT_EQ(thread.GetHandle(), nullptr);
  EXPECT_TRUE(thread.SetPriority(4));
  EXPECT_EQ(thread.Level(), 4);
}

// Spins until told to stop, counting its rounds. Should Terminate fail to stop it, the loop
// touches only these process-lifetime flags after the test has destroyed the object.
std::atomic<bool> spinning{false};
std::atomic<bool> stopSpinning{false};
std::atomic<long> rounds{0};

class SpinningThread final : public Observed {
 public:
  SpinningThread() : Observed("spinning") {}
  DWORD Run() override {
    spinning = true;
    while (!stopSpinning) ++rounds;
    return 1;
  }
};

bool AwaitSpinning() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
  while (!spinning && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return spinning;
}

TEST(ThreadLifetime, AfterTerminateTheObjectHasNoHandleAndDefersPriorityButNotAffinity) {
  SpinningThread thread;
  ASSERT_EQ(thread.Start(), 1u);
  ASSERT_TRUE(AwaitSpinning());
  thread.Terminate();
  // Stopped when Terminate returns: once the system has let the thread go, the count is where
  // it was then.
  const long roundsAtTerminate = rounds;
  EXPECT_TRUE(AwaitThreadGone(thread.Id()));
  EXPECT_EQ(rounds, roundsAtTerminate);
  EXPECT_TRUE(thread.Started());
  EXPECT_EQ(thread.GetHandle(), nullptr);
  EXPECT_TRUE(thread.SetPriority(3));
  EXPECT_EQ(thread.Level(), 3);
  EXPECT_FALSE(thread.SetAffinity(0));
  EXPECT_EQ(thread.Cpu(), 0);
  thread.Terminate();  // a second time: no handle, nothing happens
  EXPECT_EQ(thread.GetHandle(), nullptr);
  stopSpinning = true;  // should the thread have survived, it ends now
}

}  // namespace
}  // namespace quorvane::test
