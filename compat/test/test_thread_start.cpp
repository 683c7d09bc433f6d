// What a new thread gets from the layer before its start routine runs, and what the process
// gets once it has threads.
#include "privilege.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/prctl.h>

#include <cerrno>

namespace compat::test {
namespace {

constexpr int kFutexHash = 78;         // PR_FUTEX_HASH
constexpr int kFutexHashGetSlots = 2;  // PR_FUTEX_HASH_GET_SLOTS: 0 for the global hash
constexpr std::size_t kMiB = 1024 * 1024;

struct Start {
  int priority = THREAD_PRIORITY_ERROR_RETURN;
  std::size_t stackSize = 0;
};

DWORD WINAPI RecordStart(LPVOID parameter) {
  auto* start = static_cast<Start*>(parameter);
  start->priority = GetThreadPriority(GetCurrentThread());
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &start->stackSize);
    pthread_attr_destroy(&attributes);
  }
  return 0;
}

Start StartOf(SIZE_T stackSize, DWORD flags) {
  Start start;
  HANDLE thread = CreateThread(nullptr, stackSize, RecordStart, &start, flags, nullptr);
  EXPECT_NE(thread, nullptr);
  if (thread == nullptr) return start;
  if (flags & CREATE_SUSPENDED) ResumeThread(thread);
  EXPECT_EQ(WaitForSingleObject(thread, kWaitLimitMs), WAIT_OBJECT_0);
  CloseHandle(thread);
  return start;
}

TEST(ThreadStart, TheProcessUsesTheGlobalFutexHashOnceItHasThreads) {
  StartOf(0, 0);
  errno = 0;
  const int slots = prctl(kFutexHash, kFutexHashGetSlots, 0, 0, 0);
  // A private hash of a few slots would have come with the first thread; older kernels have
  // neither.
  if (slots == -1) {
    EXPECT_EQ(errno, EINVAL);
  } else {
    EXPECT_EQ(slots, 0);
  }
}

TEST(ThreadStart, WithoutAStackSizeAThreadReservesTwoMebibytesAsOnWindows) {
  EXPECT_EQ(StartOf(0, 0).stackSize, 2 * kMiB);
  EXPECT_EQ(StartOf(0, CREATE_SUSPENDED).stackSize, 2 * kMiB);
  EXPECT_EQ(StartOf(5 * kMiB, 0).stackSize, 5 * kMiB);
}

// A thread that is not created suspended may run before CreateThread returns: its first
// instruction already sees the normal priority, not its creator's.
void RunningThreadStartsAtNormalPriority() {
  ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(StartOf(0, 0).priority,
              MayRaisePriority() ? THREAD_PRIORITY_NORMAL : THREAD_PRIORITY_LOWEST);
  }
}

TEST(ThreadStart, ARunningThreadStartsAtNormalPriority) {
  UseFreshDeathTestChildren();
  // In a child, so that this process's main thread keeps its priority.
  EXPECT_EXIT(
      {
        RunningThreadStartsAtNormalPriority();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ThreadStart, ARunningThreadOfALowCreatorWithoutPrivilegeKeepsTheCreatorsPriority) {
  UseFreshDeathTestChildren();
  EXPECT_EXIT(RunUnprivileged(RunningThreadStartsAtNormalPriority), ::testing::ExitedWithCode(0),
              "");
}

}  // namespace
}  // namespace compat::test
