// Where the layer's semaphore is stricter than Wine, as Windows is: refusals and their errors.
#include <windows.h>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace compat::test
