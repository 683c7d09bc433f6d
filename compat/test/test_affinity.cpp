#include "test_helpers.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

namespace compat::test {
namespace {

DWORD_PTR KernelMask(pid_t threadId) {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(sched_getaffinity(threadId, sizeof(set), &set), 0);
  DWORD_PTR mask = 0;
  for (int cpu = 0; cpu < kMaskBits; ++cpu) {
    if (CPU_ISSET(cpu, &set)) mask |= DWORD_PTR{1} << cpu;
  }
  return mask;
}

DWORD_PTR LowestBit(DWORD_PTR mask) {
  return mask & (~mask + 1);
}

TEST(Affinity, ProcessMaskIsTheKernelsMaskOfTheProcess) {
  EXPECT_EQ(ProcessMask(), KernelMask(getpid()));
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  SetLastError(0);
  EXPECT_FALSE(GetProcessAffinityMask(reinterpret_cast<HANDLE>(0x7FF0), &processMask, &systemMask));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Affinity, ThreadMaskIsSetInTheKernelAndThePreviousOneReturned) {
  const DWORD_PTR processMask = ProcessMask();
  const DWORD_PTR lowest = LowestBit(processMask);
  HeldThread thread;
  ASSERT_TRUE(thread.held.running.Await());
  EXPECT_EQ(SetThreadAffinityMask(thread.handle, lowest), processMask);
  EXPECT_EQ(KernelMask(thread.threadId), lowest);
  EXPECT_EQ(SetThreadAffinityMask(thread.handle, processMask), lowest);
  EXPECT_EQ(KernelMask(thread.threadId), processMask);
}

TEST(Affinity, PinningTheCallingThreadLeavesTheProcessMask) {
  const DWORD_PTR processMask = ProcessMask();
  const DWORD_PTR lowest = LowestBit(processMask);
  EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), lowest), processMask);
  EXPECT_EQ(KernelMask(gettid()), lowest);
  EXPECT_EQ(ProcessMask(), processMask);
  EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), processMask), lowest);
}

TEST(Affinity, MasksOutsideTheProcessMaskAndBadHandlesAreRefused) {
  const DWORD_PTR processMask = ProcessMask();
  HeldThread thread;
  ASSERT_TRUE(thread.held.running.Await());
  SetLastError(0);
  EXPECT_EQ(SetThreadAffinityMask(thread.handle, 0), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  for (int cpu = 0; cpu < kMaskBits; ++cpu) {
    const DWORD_PTR bit = DWORD_PTR{1} << cpu;
    if (processMask & bit) continue;
    SetLastError(0);
    EXPECT_EQ(SetThreadAffinityMask(thread.handle, bit), 0u) << cpu;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(KernelMask(thread.threadId), processMask);
  SetLastError(0);
  EXPECT_EQ(SetThreadAffinityMask(reinterpret_cast<HANDLE>(0x7FF0), processMask), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace compat::test
