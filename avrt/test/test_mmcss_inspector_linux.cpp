// Linux has no NTDLL.DLL: the priority query is unavailable.
#include "mmcss.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(MmcssInspectorOnLinux, QueryIsUnavailableAndLeavesTheOutputsAlone) {
  MmcssInspector inspector;
  MmcssInspector::BindNtdll();
  std::int32_t basePriority = -99;
  std::int32_t priority = -99;
  EXPECT_FALSE(MmcssInspector::QueryThreadPriority(basePriority, priority));
  EXPECT_EQ(basePriority, -99);
  EXPECT_EQ(priority, -99);
}

}  // namespace
}  // namespace quorvane
