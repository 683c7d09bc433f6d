#include "privilege.h"
#include "test_helpers.h"
#include "thread_basic_information.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
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
  // Outlives the thread: nothing here waits for it through its handle.
  static Held held;
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

// Waits until the kernel no longer lists the thread; false when the bound passed first.
bool AwaitThreadGone(DWORD threadId) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
  while (ThreadListed(threadId)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// What a terminated thread leaves: its state outlives every thread of the test process.
struct Spinner {
  std::atomic<bool> spinning{false};
  std::atomic<bool> destroyed{false};
  std::atomic<bool> stop{false};
  std::mutex lock;
};

class SetOnDestruction {
 public:
  explicit SetOnDestruction(std::atomic<bool>& flag) : flag(flag) {}
  ~SetOnDestruction() { flag = true; }

 private:
  std::atomic<bool>& flag;
};

// Holds a lock and spins with a live destructor on its stack, outside any call of the layer.
DWORD WINAPI Spin(LPVOID parameter) {
  auto* spinner = static_cast<Spinner*>(parameter);
  SetOnDestruction guard(spinner->destroyed);
  std::lock_guard<std::mutex> hold(spinner->lock);
  spinner->spinning = true;
  while (!spinner->stop) {
  }
  return 1;
}

TEST(Threads, TerminateThreadStopsASpinningThreadWhereItIsAndTheProcessGoesOn) {
  static Spinner spinner;
  DWORD threadId = 0;
  HANDLE handle = CreateThread(nullptr, 0, Spin, &spinner, 0, &threadId);
  ASSERT_NE(handle, nullptr);
  quorvane::test::AwaitOrDie([] { return spinner.spinning.load(); }, "the spinner to start");
  EXPECT_TRUE(TerminateThread(handle, 42));
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(AwaitThreadGone(threadId));
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 42u);
  // Not unwound, as on Windows: no destructor ran and the lock it held stays held.
  EXPECT_FALSE(spinner.destroyed);
  EXPECT_FALSE(spinner.lock.try_lock());
  EXPECT_TRUE(TerminateThread(handle, 43));  // already ended: nothing changes
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 42u);
  EXPECT_TRUE(CloseHandle(handle));
  spinner.stop = true;  // should the thread have survived, it ends now
}

struct Waiter {
  HANDLE semaphore = nullptr;
  Signal waiting;
  std::atomic<bool> returned{false};
};

DWORD WINAPI WaitForThePermit(LPVOID parameter) {
  auto* waiter = static_cast<Waiter*>(parameter);
  waiter->waiting.Raise();
  const DWORD result = WaitForSingleObject(waiter->semaphore, INFINITE);
  waiter->returned = true;
  return result == WAIT_OBJECT_0 ? 0 : 1;
}

TEST(Threads, TerminateThreadStopsAThreadBlockedInAWaitAndTheObjectStaysUsable) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 2, nullptr);
  ASSERT_NE(semaphore, nullptr);
  Waiter blocked{semaphore, {}, {}};
  Waiter other{semaphore, {}, {}};
  DWORD blockedId = 0;
  HANDLE blockedThread = CreateThread(nullptr, 0, WaitForThePermit, &blocked, 0, &blockedId);
  HANDLE otherThread = CreateThread(nullptr, 0, WaitForThePermit, &other, 0, nullptr);
  ASSERT_NE(blockedThread, nullptr);
  ASSERT_NE(otherThread, nullptr);
  ASSERT_TRUE(blocked.waiting.Await());
  ASSERT_TRUE(other.waiting.Await());
  EXPECT_EQ(WaitForSingleObject(blockedThread, 20), WAIT_TIMEOUT);  // in the wait by now
  EXPECT_TRUE(TerminateThread(blockedThread, 7));
  EXPECT_EQ(WaitForSingleObject(blockedThread, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(AwaitThreadGone(blockedId));
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(blockedThread, &exitCode));
  EXPECT_EQ(exitCode, 7u);
  EXPECT_FALSE(blocked.returned);
  // The one permit goes to the waiter that is left, and no permit went to the ended one.
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
  EXPECT_EQ(WaitForSingleObject(otherThread, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(otherThread, &exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(blockedThread));
  EXPECT_TRUE(CloseHandle(otherThread));
  EXPECT_TRUE(CloseHandle(semaphore));
}

DWORD WINAPI TerminateItself(LPVOID parameter) {
  auto* waiter = static_cast<Waiter*>(parameter);
  waiter->waiting.Await();  // until the creator has stored the handle
  TerminateThread(waiter->semaphore, 11);
  waiter->returned = true;  // never reached: the thread ends as the call returns
  return 1;
}

TEST(Threads, AThreadThatTerminatesItselfEndsAsTheCallReturns) {
  Waiter self;
  HANDLE handle = CreateThread(nullptr, 0, TerminateItself, &self, 0, nullptr);
  ASSERT_NE(handle, nullptr);
  self.semaphore = handle;
  self.waiting.Raise();
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 11u);
  EXPECT_FALSE(self.returned);
  EXPECT_TRUE(CloseHandle(handle));
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

DWORD WINAPI EndAtOnce(LPVOID) {
  return 0;
}

LONG BasePriorityOf(HANDLE thread, NTSTATUS* status) {
  ThreadBasicInformation record{};
  *status =
      NtQueryInformationThread(thread, kThreadBasicInformation, &record, sizeof(record), nullptr);
  return record.basePriority;
}

TEST(Threads, AQueryRacingTheThreadsEndReadsItWhollyOrFails) {
  NTSTATUS status = 0;
  const LONG normal = BasePriorityOf(GetCurrentThread(), &status);
  ASSERT_EQ(status, 0);
  int wrong = 0;
  for (int round = 0; round < 300; ++round) {
    HANDLE thread = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // Until the thread has ended; each read meanwhile must be whole.
    for (LONG base = normal; status == 0; base = BasePriorityOf(thread, &status)) {
      if (base != normal) ++wrong;
    }
    EXPECT_EQ(status, static_cast<NTSTATUS>(0xC0000008));  // STATUS_INVALID_HANDLE
    EXPECT_EQ(WaitForSingleObject(thread, kWaitLimitMs), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    status = 0;
  }
  EXPECT_EQ(wrong, 0);
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
