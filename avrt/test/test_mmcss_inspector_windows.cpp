// The priority query through the real NtQueryInformationThread.
#include "mmcss.h"
#include "proc_address.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace quorvane {
namespace {

using QueryFunction = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, ULONG*);

std::atomic<int> failingQueryCalls{0};

LONG WINAPI FailingQuery(HANDLE, ULONG, PVOID, ULONG, ULONG*) {
  ++failingQueryCalls;
  return static_cast<LONG>(0xC0000008);  // STATUS_INVALID_HANDLE
}

// Overwrites the start of a function with "mov rax, destination; jmp rax", as a debugger or a
// detour library does, and puts the original bytes back when destroyed.
class JumpPatch {
 public:
  JumpPatch(void* target, void* destination) : target(static_cast<unsigned char*>(target)) {
    unsigned char jump[sizeof(original)] = {0x48, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xE0};
    std::memcpy(jump + 2, &destination, sizeof(destination));
    std::memcpy(original, this->target, sizeof(original));
    Write(jump);
  }
  ~JumpPatch() { Write(original); }

 private:
  void Write(const unsigned char* bytes) {
    DWORD protection = 0;
    VirtualProtect(target, sizeof(original), PAGE_EXECUTE_READWRITE, &protection);
    std::memcpy(target, bytes, sizeof(original));
    VirtualProtect(target, sizeof(original), protection, &protection);
    FlushInstructionCache(GetCurrentProcess(), target, sizeof(original));
  }

  unsigned char* target;
  unsigned char original[12];
};

TEST(MmcssInspectorOnWindows, ReadsTheBasePriorityARaiseOfTwoMovesByTwo) {
  MmcssInspector inspector;
  std::int32_t base = 0;
  std::int32_t current = 0;
  ASSERT_TRUE(MmcssInspector::QueryThreadPriority(base, current));
  EXPECT_GE(current, base);

  // Windows reports 8 -> 10 in a normal-class process, Wine the relative value 0 -> 2.
  std::thread([&] {
    std::int32_t before = 0;
    std::int32_t after = 0;
    ASSERT_TRUE(MmcssInspector::QueryThreadPriority(before, current));
    ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    ASSERT_TRUE(MmcssInspector::QueryThreadPriority(after, current));
    EXPECT_EQ(after, before + 2);
    EXPECT_GE(current, after);
  }).join();
}

TEST(MmcssInspectorOnWindows, OneFailedQueryDisablesTheQueryForGood) {
  MmcssInspector inspector;
  auto query =
      compat::ProcAddress<QueryFunction>(GetModuleHandleA("NTDLL.DLL"), "NtQueryInformationThread");
  ASSERT_NE(query, nullptr);
  std::int32_t base = -99;
  std::int32_t current = -99;
  bool first = true;
  bool second = true;
  {
    // Nothing else in this window: the whole process sees the failing query.
    JumpPatch failing(reinterpret_cast<void*>(query), reinterpret_cast<void*>(&FailingQuery));
    first = MmcssInspector::QueryThreadPriority(base, current);
    second = MmcssInspector::QueryThreadPriority(base, current);
  }
  EXPECT_FALSE(first);
  EXPECT_FALSE(second);
  EXPECT_EQ(failingQueryCalls.load(), 1);
  EXPECT_EQ(base, -99);
  EXPECT_EQ(current, -99);

  // The platform answers again, but no thread of this process asks it any more.
  unsigned char record[48];
  EXPECT_EQ(query(GetCurrentThread(), 0, record, sizeof(record), nullptr), 0);
  std::thread([&] { EXPECT_FALSE(MmcssInspector::QueryThreadPriority(base, current)); }).join();
  EXPECT_FALSE(MmcssInspector::QueryThreadPriority(base, current));
}

}  // namespace
}  // namespace quorvane
