// NtQueryInformationThread reads the real scheduling state. Real-time priorities are checked
// with the avrt provider that grants them.
#include "privilege.h"
#include "proc_address.h"
#include "thread_basic_information.h"

#include <gtest/gtest.h>

#include <thread>

namespace compat::test {
namespace {

using QueryFunction = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, ULONG*);

// The calling thread's base and current priority, through the record the MMCSS inspector reads.
bool QueryThreadPriority(std::int32_t& base, std::int32_t& current) {
  ThreadBasicInformation record{};
  if (NtQueryInformationThread(GetCurrentThread(), kThreadBasicInformation, &record, sizeof(record),
                               nullptr) != 0) {
    return false;
  }
  base = record.basePriority;
  current = record.priority;
  return true;
}

void ReadsTheLayersPriorityLevels() {
  const bool mayRaise = MayRaisePriority();
  // Windows' priorities of the normal class: 8 plus the relative level, 1 and 15 at the ends.
  const std::pair<int, std::int32_t> kLevels[] = {
      {THREAD_PRIORITY_HIGHEST, 10},
      {THREAD_PRIORITY_NORMAL, 8},
      {THREAD_PRIORITY_LOWEST, 6},
      {THREAD_PRIORITY_IDLE, 1},
  };
  for (const auto& [level, expected] : kLevels) {
    std::thread([&, level = level, expected = expected] {
      std::int32_t base = -1;
      std::int32_t current = -1;
      ASSERT_TRUE(QueryThreadPriority(base, current));
      EXPECT_EQ(base, 8);
      const bool set = SetThreadPriority(GetCurrentThread(), level) != FALSE;
      EXPECT_EQ(set, mayRaise || level <= THREAD_PRIORITY_NORMAL) << level;
      ASSERT_TRUE(QueryThreadPriority(base, current));
      EXPECT_EQ(base, set ? expected : 8) << level;
      EXPECT_EQ(current, base);
    }).join();
  }
}

TEST(NativeQuery, ReadsTheLayersPriorityLevels) {
  ReadsTheLayersPriorityLevels();
}

TEST(NativeQueryDeathTest, ReadsThemUnprivilegedToo) {
  UseFreshDeathTestChildren();
  EXPECT_EXIT(RunUnprivileged(ReadsTheLayersPriorityLevels), ::testing::ExitedWithCode(0), "");
}

TEST(NativeQuery, OtherClassesLengthsAndHandlesFail) {
  auto query =
      compat::ProcAddress<QueryFunction>(GetModuleHandleA("NTDLL.DLL"), "NtQueryInformationThread");
  ASSERT_NE(query, nullptr);
  unsigned char record[64] = {};
  EXPECT_NE(query(GetCurrentThread(), 1, record, 48, nullptr), 0);
  EXPECT_NE(query(GetCurrentThread(), 0, record, 40, nullptr), 0);
  EXPECT_NE(query(GetCurrentThread(), 0, record, 64, nullptr), 0);
  EXPECT_NE(query(reinterpret_cast<HANDLE>(0x7FF0), 0, record, 48, nullptr), 0);
  ULONG length = 0;
  EXPECT_EQ(query(GetCurrentThread(), 0, record, 48, &length), 0);
  EXPECT_EQ(length, 48u);
}

}  // namespace
}  // namespace compat::test
