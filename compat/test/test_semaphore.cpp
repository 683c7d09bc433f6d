// Where the layer's semaphore is stricter than Wine, as Windows is: refusals and their errors.
// Mutexes: ownership, and what a forked child finds of them.
#include "test_helpers.h"

#include <windows.h>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_support.h"
#include "wait_state.h"

namespace compat::test {
namespace {

TEST(Semaphores, InvalidCountsAndNamesAreRefusedAtCreation) {
  const struct {
    LONG initial;
    LONG maximum;
    const char* name;
  } refused[] = {{0, 0, nullptr}, {-1, 5, nullptr}, {6, 5, nullptr}, {0, 5, "shared"}};
  for (const auto& attempt : refused) {
    SetLastError(0);
    EXPECT_EQ(CreateSemaphoreA(nullptr, attempt.initial, attempt.maximum, attempt.name), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

TEST(Semaphores, ReleasesOfZeroOrPastTheMaximumAreRefusedWithTheirErrors) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 2, nullptr);
  ASSERT_NE(semaphore, nullptr);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 2, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(previous, 1);  // the refusals added nothing
  EXPECT_TRUE(CloseHandle(semaphore));
}

TEST(Semaphores, AClosedSemaphoreIsAnInvalidHandle) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 1, nullptr);
  ASSERT_NE(semaphore, nullptr);
  ASSERT_TRUE(CloseHandle(semaphore));
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, nullptr));
  EXPECT_FALSE(CloseHandle(semaphore));
}

DWORD WINAPI TakeAPermit(LPVOID semaphore) {
  return WaitForSingleObject(semaphore, INFINITE);
}

// The count the tests of code built on the layer read: waiters blocked now, whether they leave
// with a permit or end in the wait.
TEST(Semaphores, WaitersAreCountedWhileBlockedAndNoLonger) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 2, nullptr);
  ASSERT_NE(semaphore, nullptr);
  EXPECT_EQ(WaitersOn(semaphore), 0);
  HANDLE threads[2];
  for (HANDLE& thread : threads) {
    thread = CreateThread(nullptr, 0, TakeAPermit, semaphore, 0, nullptr);
    ASSERT_NE(thread, nullptr);
  }
  quorvane::test::AwaitOrDie([&] { return WaitersOn(semaphore) == 2; }, "two waiters");
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
  auto ended = [&](HANDLE thread) { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; };
  quorvane::test::AwaitOrDie([&] { return ended(threads[0]) || ended(threads[1]); },
                             "the permitted waiter to end");
  EXPECT_EQ(WaitersOn(semaphore), 1);
  const HANDLE stillWaiting = ended(threads[0]) ? threads[1] : threads[0];
  EXPECT_EQ(WaitersOn(stillWaiting), 0);  // nobody waits for the thread itself
  EXPECT_TRUE(TerminateThread(stillWaiting, 7));
  EXPECT_EQ(WaitForSingleObject(stillWaiting, quorvane::test::kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_EQ(WaitersOn(semaphore), 0);
  for (HANDLE thread : threads) EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(semaphore));
  SetLastError(0);
  EXPECT_EQ(WaitersOn(semaphore), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

std::atomic<bool> holding{false};

// Takes the mutex and holds it until terminated.
DWORD WINAPI TakeAndHold(LPVOID mutex) {
  WaitForSingleObject(mutex, INFINITE);
  holding = true;
  for (;;) pause();
}

// Each of the three mutexes' states as a forked child finds them: owned by the forking thread,
// by another thread of the parent's, by nobody.
int MutexesInTheChild(HANDLE mine, HANDLE others, HANDLE free) {
  if (!ReleaseMutex(mine) || !ReleaseMutex(mine) || ReleaseMutex(mine)) return 1;
  if (WaitForSingleObject(others, 0) != WAIT_ABANDONED) return 2;
  if (WaitForSingleObject(others, 0) != WAIT_OBJECT_0) return 3;  // now the child's, twice
  if (WaitForSingleObject(free, 0) != WAIT_OBJECT_0) return 4;
  return 0;
}

TEST(Mutexes, OwnershipIsRecursiveAndPerThreadAndAForkedChildFindsItsOwnersGoneAbandoned) {
  HANDLE mine = CreateMutexA(nullptr, TRUE, nullptr);
  HANDLE others = CreateMutexA(nullptr, FALSE, nullptr);
  HANDLE free = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(mine, nullptr);
  ASSERT_NE(others, nullptr);
  ASSERT_NE(free, nullptr);
  EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0);  // a second time
  Signal owned;
  Signal release;
  std::thread owner([&] {
    EXPECT_EQ(WaitForSingleObject(others, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_TIMEOUT);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mine));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    owned.Raise();
    release.Await();
    EXPECT_TRUE(ReleaseMutex(others));
  });
  ASSERT_TRUE(owned.Await());
  const pid_t child = fork();
  if (child == 0) _exit(MutexesInTheChild(mine, others, free));
  int status = -1;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << "the child's step that failed, times 256";
  release.Raise();
  owner.join();
  EXPECT_TRUE(ReleaseMutex(mine));
  EXPECT_TRUE(ReleaseMutex(mine));
  EXPECT_FALSE(ReleaseMutex(mine));
  EXPECT_EQ(WaitForSingleObject(others, 0), WAIT_OBJECT_0);  // released, not abandoned, here
  // A terminated owner leaves it abandoned.
  EXPECT_TRUE(ReleaseMutex(others));
  holding = false;
  HANDLE holder = CreateThread(nullptr, 0, TakeAndHold, others, 0, nullptr);
  ASSERT_NE(holder, nullptr);
  quorvane::test::AwaitOrDie([] { return holding.load(); }, "the holder to take the mutex");
  EXPECT_TRUE(TerminateThread(holder, 1));
  EXPECT_EQ(WaitForSingleObject(holder, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(others, kWaitLimitMs), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(others));
  EXPECT_TRUE(CloseHandle(holder));
  EXPECT_FALSE(CreateMutexA(nullptr, FALSE, "shared"));
  for (HANDLE mutex : {mine, others, free}) EXPECT_TRUE(CloseHandle(mutex));
}

}  // namespace
}  // namespace compat::test
