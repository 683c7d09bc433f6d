// What the start barrier relies on from the platform's counting semaphore.
#include <windows.h>

#include <gtest/gtest.h>

namespace {

class Semaphore : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(semaphore, nullptr); }
  void TearDown() override { EXPECT_TRUE(CloseHandle(semaphore)); }

  // Takes every permit without waiting and says how many there were.
  int Drain() {
    int taken = 0;
    while (WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++taken;
    return taken;
  }

  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 3, nullptr);
};

TEST_F(Semaphore, StartsEmptyAndTimesOut) {
  EXPECT_EQ(WaitForSingleObject(semaphore, 10), WAIT_TIMEOUT);
}

TEST_F(Semaphore, ReleasedPermitsAreTakenOneByOne) {
  LONG previous = -1;
  ASSERT_TRUE(ReleaseSemaphore(semaphore, 2, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_EQ(Drain(), 2);
}

TEST_F(Semaphore, RejectedReleasesChangeNothing) {
  ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
  // Windows and our POSIX layer refuse a release of zero; Wine accepts it as a no-op.
  // Either way it must add no permit: a one-participant barrier asks for it.
  ReleaseSemaphore(semaphore, 0, nullptr);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, -1, nullptr));
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 3, nullptr));  // 1 + 3 passes the maximum of 3
  EXPECT_EQ(Drain(), 1);
}

TEST(SemaphoreMaximum, TheLargestMaximumIsAccepted) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
  ASSERT_NE(semaphore, nullptr);
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 0x7FFFFFFE, nullptr));
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 2, nullptr));
  EXPECT_TRUE(CloseHandle(semaphore));
}

}  // namespace
