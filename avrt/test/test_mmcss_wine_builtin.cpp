// Wine's own avrt.dll (WINEDLLOVERRIDES=avrt=b): it loads but refuses every registration.
#include "avrt_test.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(MmcssClientWithWineAvrt, EveryEnabledPresetIsRefusedWithTheProvidersError) {
  MmcssClient client;
  EXPECT_EQ(MmcssClient::LoadCount(), 1);
  EXPECT_TRUE(MmcssClient::IsAvailable());
  for (const PresetRow& row : kPresetTable) {
    SCOPED_TRACE(row.name);
    SetLastError(999);
    EXPECT_EQ(client.SetThreadCharacteristics(*row.preset, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), row.expected.enabled ? ERROR_INVALID_TASK_NAME : 999u);
  }
}

}  // namespace
}  // namespace quorvane
