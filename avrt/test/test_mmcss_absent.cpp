// No avrt.dll where this executable looks for it.
#include "avrt_test.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(MmcssClientWithoutAvrt, EveryPresetYieldsNoRegistration) {
  MmcssClient client;
  EXPECT_TRUE(MmcssClient::LoadFailed());
  EXPECT_EQ(MmcssClient::LoadCount(), 0);
  EXPECT_FALSE(MmcssClient::IsAvailable());
  for (const PresetRow& row : kPresetTable) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(client.SetThreadCharacteristics(*row.preset, reinterpret_cast<HANDLE>(1)), nullptr);
  }
}

TEST(MmcssClientWithoutAvrt, FailedLoadIsNotRetriedOnceTheLibraryCouldBeFound) {
  { MmcssClient failed; }
  ASSERT_TRUE(MmcssClient::LoadFailed());

  // Once a module named avrt.dll is loaded, LoadLibraryA("avrt.dll") finds it.
  HMODULE stand_in = LoadLibraryA(FAKE_AVRT_DIRECTORY "/avrt.dll");
  ASSERT_NE(stand_in, nullptr);
  HMODULE found = LoadLibraryA("avrt.dll");
  EXPECT_EQ(found, stand_in);

  MmcssClient client;
  EXPECT_EQ(MmcssClient::LoadCount(), 0);
  EXPECT_FALSE(MmcssClient::IsAvailable());
  EXPECT_EQ(client.SetThreadCharacteristics(kProAudioHigh, nullptr), nullptr);
  EXPECT_EQ(FakeAvrtCalls(), "");

  if (found != nullptr) FreeLibrary(found);
  FreeLibrary(stand_in);
}

}  // namespace
}  // namespace quorvane
