// A stand-in avrt.dll without AvSetMmThreadPriority.
#include "avrt_test.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(MmcssClientWithoutPriorityEntryPoint, LoadCountsAndRegistrationStillReturnsTheHandle) {
  MmcssClient client;
  EXPECT_EQ(MmcssClient::LoadCount(), 1);
  EXPECT_FALSE(MmcssClient::IsAvailable());
  EXPECT_NE(client.SetThreadCharacteristics(kProAudioHigh, nullptr), nullptr);
  EXPECT_EQ(FakeAvrtCalls(), RegisterLine(kProAudioHigh));
}

}  // namespace
}  // namespace quorvane
