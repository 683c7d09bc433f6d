#include "test_threads.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace quorvane::test {
namespace {

int LowestProcessor(DWORD_PTR mask) {
  int index = 0;
  while (((mask >> index) & 1) == 0) ++index;
  return index;
}

TEST(ThreadAffinity, RequestsBeforeStartAreStoredAndRefused) {
  RecordingThread thread;
  EXPECT_FALSE(thread.SetAffinity(0));
  EXPECT_EQ(thread.Cpu(), 0);
  EXPECT_FALSE(thread.SetAffinity(-1));
  EXPECT_EQ(thread.Cpu(), -1);
}

TEST(ThreadAffinity, RunningThreadIsPinnedToOneProcessorOrGivenTheWholeProcessMask) {
  const DWORD_PTR processMask = ProcessMask();
  const int lowest = LowestProcessor(processMask);
  const DWORD_PTR lowestBit = DWORD_PTR{1} << lowest;
  HeldThread thread;
  ASSERT_EQ(thread.Start(), 1u);
  ASSERT_TRUE(thread.running.Await());

  EXPECT_TRUE(thread.SetAffinity(lowest));
  EXPECT_EQ(thread.Cpu(), lowest);
  // SetThreadAffinityMask returns the mask it replaces: that is what SetAffinity set.
  EXPECT_EQ(SetThreadAffinityMask(thread.GetHandle(), processMask), lowestBit);

  ASSERT_NE(SetThreadAffinityMask(thread.GetHandle(), lowestBit), 0u);
  EXPECT_TRUE(thread.SetAffinity(-1));
  EXPECT_EQ(thread.Cpu(), -1);
  EXPECT_EQ(SetThreadAffinityMask(thread.GetHandle(), processMask), processMask);
}

TEST(ThreadAffinity, IndicesOutsideTheProcessMaskAreStoredAndRefused) {
  const DWORD_PTR processMask = ProcessMask();
  HeldThread thread;
  ASSERT_EQ(thread.Start(), 1u);
  ASSERT_TRUE(thread.running.Await());
  for (std::int32_t index : {-2, -3, std::numeric_limits<std::int32_t>::min(), 64, 65, 1000}) {
    EXPECT_FALSE(thread.SetAffinity(index)) << index;
    EXPECT_EQ(thread.Cpu(), index);
  }
  for (int index = 0; index < kMaskBits; ++index) {
    if ((processMask >> index) & 1) continue;
    EXPECT_FALSE(thread.SetAffinity(index)) << index;
  }
  // None of that changed the thread's mask.
  EXPECT_EQ(SetThreadAffinityMask(thread.GetHandle(), processMask), processMask);
}

}  // namespace
}  // namespace quorvane::test
