#include "privilege.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace compat::test {
namespace {

const HANDLE kBadHandle = reinterpret_cast<HANDLE>(0x7FF0);

bool ThreadListed(DWORD threadId) {
  return access(("/proc/self/task/" + std::to_string(threadId)).c_str(), F_OK) == 0;
}

TEST(Threads, SuspendedThreadDoesNotRunBeforeResumeThread) {
  HeldThread thread(CREATE_SUSPENDED);
  ASSERT_NE(thread.handle, nullptr);
  // A suspended thread cannot end, so the bounded wait must run out.
  EXPECT_EQ(WaitForSingleObject(thread.handle, 50), WAIT_TIMEOUT);
  EXPECT_FALSE(thread.held.running.IsRaised());
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.handle, &exitCode));
  EXPECT_EQ(exitCode, STILL_ACTIVE);
  EXPECT_EQ(ResumeThread(thread.handle), 1u);
  EXPECT_TRUE(thread.held.running.Await());
}

TEST(Threads, ResumeThreadReturnsThePreviousSuspendCount) {
  HeldThread suspended(CREATE_SUSPENDED);
  EXPECT_EQ(ResumeThread(suspended.handle), 1u);
  EXPECT_EQ(ResumeThread(suspended.handle), 0u);
  HeldThread running;
  EXPECT_EQ(ResumeThread(running.handle), 0u);
  EXPECT_EQ(ResumeThread(GetCurrentThread()), 0u);
  for (HANDLE bad : {kBadHandle, static_cast<HANDLE>(nullptr)}) {
    SetLastError(0);
    EXPECT_EQ(ResumeThread(bad), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

TEST(Threads, ThreadIdIsTheKernelThreadIdAndKnownBeforeTheThreadRuns) {
  HeldThread thread(CREATE_SUSPENDED);
  ASSERT_NE(thread.threadId, 0u);
  // The kernel lists the id among this process's threads while the thread is still held.
  EXPECT_TRUE(ThreadListed(thread.threadId));
  EXPECT_NE(thread.threadId, GetCurrentThreadId());
  EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
  ResumeThread(thread.handle);
  ASSERT_TRUE(thread.held.running.Await());
  EXPECT_EQ(thread.held.idInThread, thread.threadId);
}

TEST(Threads, ClosingARunningThreadsHandleLeavesItRunning) {
  Held held;
  DWORD threadId = 0;
  HANDLE handle = CreateThread(nullptr, 0, HoldUntilReleased, &held, 0, &threadId);
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(held.running.Await());
  EXPECT_TRUE(CloseHandle(handle));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(handle));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
  EXPECT_TRUE(ThreadListed(threadId));
  // It finishes on its own reference; under AddressSanitizer a use of freed state fails here.
  held.release.Raise();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
  while (ThreadListed(threadId) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(ThreadListed(threadId));
}

TEST(Threads, WaitTimesOutWhileTheThreadRunsAndSucceedsOnceItEnded) {
  HeldThread thread;
  ASSERT_TRUE(thread.held.running.Await());
  EXPECT_EQ(WaitForSingleObject(thread.handle, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(thread.handle, 20), WAIT_TIMEOUT);
  thread.held.release.Raise();
  EXPECT_EQ(WaitForSingleObject(thread.handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread.handle, 0), WAIT_OBJECT_0);  // stays signalled
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.handle, &exitCode));
  EXPECT_EQ(exitCode, 5u);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(kBadHandle, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Spins without end; the flags outlive every thread of the test process.
std::atomic<bool> spinning{false};
std::atomic<bool> stopSpinning{false};

DWORD WINAPI Spin(LPVOID) {
  spinning = true;
  while (!stopSpinning) {
  }
  return 1;
}

TEST(Threads, TerminateThreadEndsASpinningThreadWithTheGivenExitCode) {
  HANDLE handle = CreateThread(nullptr, 0, Spin, nullptr, 0, nullptr);
  ASSERT_NE(handle, nullptr);
  while (!spinning) {
  }
  EXPECT_TRUE(TerminateThread(handle, 42));
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 42u);
  EXPECT_TRUE(TerminateThread(handle, 43));  // already ended: nothing changes
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 42u);
  EXPECT_TRUE(CloseHandle(handle));
  stopSpinning = true;
}

TEST(Threads, TerminateThreadOnASuspendedThreadEndsItBeforeItRuns) {
  Held held;
  HANDLE handle = CreateThread(nullptr, 0, HoldUntilReleased, &held, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(TerminateThread(handle, 9));
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_FALSE(held.running.IsRaised());
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 9u);
  EXPECT_TRUE(CloseHandle(handle));
}

TEST(Threads, CreationFailsWithNullAndALastError) {
  Held held;
  DWORD threadId = 77;
  SetLastError(0);
  // More stack than the address space holds.
  EXPECT_EQ(CreateThread(nullptr, SIZE_T{1} << 62, HoldUntilReleased, &held, 0, &threadId),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, HoldUntilReleased, &held, 0x80000000, &threadId), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(threadId, 77u);
  EXPECT_FALSE(held.running.IsRaised());
}

void CreationFailsAtTheThreadLimit() {
  const rlimit none{0, 0};
  ASSERT_EQ(setrlimit(RLIMIT_NPROC, &none), 0);
  Held held;
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, HoldUntilReleased, &held, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(Threads, CreationFailsAtTheUsersThreadLimit) {
  UseFreshDeathTestChildren();
  EXPECT_EXIT(RunUnprivileged(CreationFailsAtTheThreadLimit), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace compat::test
