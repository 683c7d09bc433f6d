// What a new thread gets from the layer before its start routine runs, and what the process
// gets once it has threads.
#include "privilege.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
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
  std::size_t requestedStack = 0;  // what the layer asked glibc for
  std::size_t stackSize = 0;       // what the thread got: glibc may reuse a larger cached stack
};

thread_local std::size_t requestedStack = 0;

}  // namespace
}  // namespace compat::test

// Seen before glibc's own: the size the layer asks for, which the thread's reported size cannot
// show once glibc hands out a larger stack left by an ended thread.
extern "C" int pthread_attr_setstacksize(pthread_attr_t* attributes, std::size_t size) {
  using Real = int (*)(pthread_attr_t*, std::size_t);
  static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_attr_setstacksize"));
  compat::test::requestedStack = size;
  return real(attributes, size);
}

namespace compat::test {
namespace {

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
  requestedStack = 0;
  HANDLE thread = CreateThread(nullptr, stackSize, RecordStart, &start, flags, nullptr);
  EXPECT_NE(thread, nullptr);
  start.requestedStack = requestedStack;
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
  for (const auto& [asked, expected] : {std::pair<SIZE_T, std::size_t>{0, 2 * kMiB},
                                        {5 * kMiB, 5 * kMiB},
                                        {kMiB + 1, kMiB + 4096}}) {
    for (DWORD flags : {DWORD{0}, DWORD{CREATE_SUSPENDED}}) {
      const Start start = StartOf(asked, flags);
      EXPECT_EQ(start.requestedStack, expected) << asked;
      EXPECT_GE(start.stackSize, expected) << asked;
    }
  }
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
