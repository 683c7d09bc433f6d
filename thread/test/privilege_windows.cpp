// Windows lets every user raise its own threads up to time-critical and its process to the
// high class; the boost control exists.
#include "test_threads.h"

#include <gtest/gtest.h>

namespace quorvane::test {

bool MayRaisePriority() {
  return true;
}

bool AwaitThreadGone(DWORD threadId) {
  HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, threadId);
  if (thread == nullptr) return true;  // no such thread any more
  const bool gone = WaitForSingleObject(thread, kWaitLimitMs) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return gone;
}

namespace {

TEST(ProcessPriority, PriorityBoostIsFoundInKernel32) {
  EXPECT_TRUE(SetPriorityBoost(false));
  EXPECT_TRUE(SetPriorityBoost(true));
}

}  // namespace
}  // namespace quorvane::test
