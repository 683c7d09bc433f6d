// The layer's calls that allocate, each made to run out of memory: they answer as Win32 does,
// with their failure value and ERROR_NOT_ENOUGH_MEMORY, and change nothing.
#include "failing_allocation.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace compat::test {
namespace {

using quorvane::test::FailingAllocations;

int ThreadsOfProcess() {
  int threads = 0;
  if (DIR* directory = opendir("/proc/self/task")) {
    while (readdir(directory) != nullptr) ++threads;
    closedir(directory);
  }
  return threads - 2;  // "." and ".."
}

DWORD WINAPI CountRun(LPVOID runs) {
  ++*static_cast<std::atomic<int>*>(runs);
  return 0;
}

TEST(OutOfMemory, CreateThreadFailsAtEachAllocationAndNoThreadRuns) {
  std::atomic<int> runs{0};
  // ThreadSanitizer starts a thread of its own with the process's second thread: not counted.
  HANDLE first = CreateThread(nullptr, 0, CountRun, &runs, 0, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(WaitForSingleObject(first, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(first));
  const int threadsBefore = ThreadsOfProcess();
  int failures = 0;
  HANDLE handle = nullptr;
  // Allows one allocation more each round, until the call has all it needs.
  for (int allowed = 0; handle == nullptr && allowed < 50; ++allowed) {
    DWORD error = 0;
    {
      FailingAllocations failing(allowed);
      SetLastError(0);
      handle = CreateThread(nullptr, 0, CountRun, &runs, 0, nullptr);
      error = GetLastError();
    }
    if (handle == nullptr) {
      EXPECT_EQ(error, ERROR_NOT_ENOUGH_MEMORY) << allowed;
      ++failures;
    }
  }
  ASSERT_NE(handle, nullptr);
  // The thread's object and its handle; the last fails once the thread exists.
  EXPECT_GE(failures, 2);
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(handle));
  // A thread that was made before its handle failed ends without running.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
  while (ThreadsOfProcess() > threadsBefore && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_LE(ThreadsOfProcess(), threadsBefore);
  EXPECT_EQ(runs, 2);
}

TEST(OutOfMemory, EveryOtherCallThatAllocatesAnswersWithItsFailureValue) {
  const DWORD classBefore = GetPriorityClass(GetCurrentProcess());
  const DWORD otherClass =
      classBefore == IDLE_PRIORITY_CLASS ? NORMAL_PRIORITY_CLASS : IDLE_PRIORITY_CLASS;
  HANDLE semaphore = reinterpret_cast<HANDLE>(1);
  HMODULE loaded = reinterpret_cast<HMODULE>(1);
  HMODULE found = reinterpret_cast<HMODULE>(1);
  BOOL moved = TRUE;
  DWORD errors[4] = {};
  {
    FailingAllocations failing(0);
    SetLastError(0);
    semaphore = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    errors[0] = GetLastError();
    SetLastError(0);
    // Names longer than a short string's inline buffer, so that the name itself is allocated.
    loaded = LoadLibraryA("a-module-whose-name-does-not-fit-inline.dll");
    errors[1] = GetLastError();
    SetLastError(0);
    found = GetModuleHandleA("another-module-whose-name-does-not-fit-inline.dll");
    errors[2] = GetLastError();
    SetLastError(0);
    moved = SetPriorityClass(GetCurrentProcess(), otherClass);
    errors[3] = GetLastError();
  }
  EXPECT_EQ(semaphore, nullptr);
  EXPECT_EQ(loaded, nullptr);
  EXPECT_EQ(found, nullptr);
  EXPECT_FALSE(moved);
  for (DWORD error : errors) EXPECT_EQ(error, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), classBefore);
}

}  // namespace
}  // namespace compat::test
