// Where the layer's semaphore is stricter than Wine, as Windows is: refusals and their errors.
#include <windows.h>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace compat::test
