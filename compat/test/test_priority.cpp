#include "privilege.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>

namespace compat::test {
namespace {

struct Expected {
  int priority;
  int niceInNormalClass;
  int niceInHighClass;
};

constexpr Expected kExpected[] = {
    {THREAD_PRIORITY_IDLE, 19, 19},
    {THREAD_PRIORITY_LOWEST, 4, -6},
    {THREAD_PRIORITY_BELOW_NORMAL, 2, -8},
    {THREAD_PRIORITY_NORMAL, 0, -10},
    {THREAD_PRIORITY_ABOVE_NORMAL, -2, -12},
    {THREAD_PRIORITY_HIGHEST, -4, -14},
    {THREAD_PRIORITY_TIME_CRITICAL, -20, -20},
};
static_assert(std::size(kExpected) == 7, "every relative thread priority");

int NiceOf(DWORD threadId) {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, threadId);
  EXPECT_EQ(errno, 0);
  return nice;
}

TEST(Priority, EveryThreadPriorityIsItsNiceValueInTheNormalClass) {
  ASSERT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
  for (const Expected& expected : kExpected) {
    HeldThread thread;  // fresh for each: without privilege a nice cannot come back down
    ASSERT_TRUE(thread.held.running.Await());
    EXPECT_EQ(NiceOf(thread.threadId), 0);
    const bool raises = expected.niceInNormalClass < 0;
    const bool allowed = !raises || MayRaisePriority();
    SetLastError(0);
    EXPECT_EQ(SetThreadPriority(thread.handle, expected.priority), allowed ? TRUE : FALSE);
    EXPECT_EQ(GetLastError(), allowed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    EXPECT_EQ(NiceOf(thread.threadId), allowed ? expected.niceInNormalClass : 0);
    EXPECT_EQ(GetThreadPriority(thread.handle),
              allowed ? expected.priority : THREAD_PRIORITY_NORMAL);
  }
}

TEST(Priority, InvalidPrioritiesClassesAndHandlesAreRefused) {
  for (int priority : {3, -3, 14, 16, THREAD_PRIORITY_ERROR_RETURN}) {
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), priority)) << priority;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  const HANDLE bad = reinterpret_cast<HANDLE>(0x7FF0);
  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(bad, THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetThreadPriority(bad), THREAD_PRIORITY_ERROR_RETURN);
  // There is no real-time class to give.
  SetLastError(0);
  EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), 0x1234));
  EXPECT_FALSE(SetPriorityClass(bad, NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(GetPriorityClass(bad), 0u);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
}

// Checked as the test's own user and again unprivileged.
void ClassChangeMovesEveryThread() {
  HeldThread thread;
  ASSERT_TRUE(thread.held.running.Await());
  ASSERT_TRUE(SetThreadPriority(thread.handle, THREAD_PRIORITY_BELOW_NORMAL));
  const DWORD self = GetCurrentThreadId();

  SetLastError(0);
  if (MayRaisePriority()) {
    EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS));
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), HIGH_PRIORITY_CLASS);
    EXPECT_EQ(NiceOf(self), -10);
    EXPECT_EQ(NiceOf(thread.threadId), -8);
  } else {
    EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(NiceOf(self), 0);
    EXPECT_EQ(NiceOf(thread.threadId), 2);
  }
  // Relative priorities stay what they were.
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
  EXPECT_EQ(GetThreadPriority(thread.handle), THREAD_PRIORITY_BELOW_NORMAL);

  // Lowering the class needs no privilege; coming back from it would.
  EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS));
  EXPECT_EQ(NiceOf(self), 10);
  EXPECT_EQ(NiceOf(thread.threadId), 12);
  EXPECT_EQ(GetThreadPriority(thread.handle), THREAD_PRIORITY_BELOW_NORMAL);
  EXPECT_EQ(SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS), MayRaisePriority());

  HeldThread later;  // starts at normal priority in whichever class holds now
  ASSERT_TRUE(later.held.running.Await());
  EXPECT_EQ(GetThreadPriority(later.handle), THREAD_PRIORITY_NORMAL);
}

TEST(Priority, ClassChangeMovesEveryThread) {
  // In a child: without privilege this process could not take its class back.
  UseFreshDeathTestChildren();
  EXPECT_EXIT(
      {
        ClassChangeMovesEveryThread();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Priority, ClassChangeMovesEveryThreadWithoutPrivilege) {
  UseFreshDeathTestChildren();
  EXPECT_EXIT(RunUnprivileged(ClassChangeMovesEveryThread), ::testing::ExitedWithCode(0), "");
}

// Windows starts every thread at normal priority whatever its creator's; Linux would copy the
// creator's nice, which only a privileged process may lower again.
void NewThreadStartsAtNormalPriority() {
  ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST));
  HeldThread thread(CREATE_SUSPENDED);
  EXPECT_EQ(GetThreadPriority(thread.handle),
            MayRaisePriority() ? THREAD_PRIORITY_NORMAL : THREAD_PRIORITY_LOWEST);
}

TEST(Priority, NewThreadStartsAtNormalPriority) {
  // On a thread of its own: without privilege the lowered creator could not come back.
  std::thread(NewThreadStartsAtNormalPriority).join();
}

TEST(Priority, NewThreadOfALowCreatorWithoutPrivilegeKeepsTheCreatorsPriority) {
  UseFreshDeathTestChildren();
  EXPECT_EXIT(RunUnprivileged(NewThreadStartsAtNormalPriority), ::testing::ExitedWithCode(0), "");
}

// Without /proc the layer cannot list the process's threads: no thread moves, and the call
// fails instead of saying the class changed. /proc is hidden in a user and mount namespace of
// the child's own, which any user may make where the kernel allows unprivileged namespaces.
// Returns the call that failed (errno says why), or nullptr once /proc is hidden. A root that
// is not a mount point (a chroot) has no propagation to make private.
const char* HideProc() {
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return "unshare";
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "private mounts";
  if (mount("none", "/proc", "tmpfs", 0, nullptr) != 0) return "mounting over /proc";
  return nullptr;
}

// Tried in a child of its own first, which is single-threaded as a user namespace needs:
// what refused it, or "" when /proc could be hidden.
std::string WhyProcCannotBeHidden() {
  int said[2];
  if (pipe(said) != 0) return std::string("pipe: ") + std::strerror(errno);
  const pid_t child = fork();
  if (child == 0) {
    const char* failed = HideProc();
    if (failed != nullptr) dprintf(said[1], "%s: %s", failed, std::strerror(errno));
    _exit(failed == nullptr ? 0 : 1);
  }
  close(said[1]);
  std::string reason;
  char text[256];
  for (ssize_t got; (got = read(said[0], text, sizeof text)) > 0;) reason.append(text, got);
  close(said[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return "fork: no child";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return reason.empty() ? "failed" : reason;
  return "";
}

void ClassChangeFailsWithoutProc() {
  if (HideProc() != nullptr) _exit(2);
  HeldThread thread;
  ASSERT_TRUE(thread.held.running.Await());
  SetLastError(0);
  EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(NiceOf(GetCurrentThreadId()), 0);
  EXPECT_EQ(NiceOf(thread.threadId), 0);
  _exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(Priority, ClassChangeWithoutProcFailsAndMovesNothing) {
  const std::string refused = WhyProcCannotBeHidden();
  if (!refused.empty()) {
    GTEST_SKIP() << "no user and mount namespace could be made for this process: " << refused;
  }
  UseFreshDeathTestChildren();
  EXPECT_EXIT(ClassChangeFailsWithoutProc(), ::testing::ExitedWithCode(0), "");
}

void ClassFollowsTheProcesssNice() {
  ASSERT_EQ(setpriority(PRIO_PROCESS, 0, 10), 0);  // as `nice -n 10` would start it
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), IDLE_PRIORITY_CLASS);
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
  _exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(Priority, ClassStartsAsTheOneOfTheProcesssNice) {
  UseFreshDeathTestChildren();
  EXPECT_EXIT(ClassFollowsTheProcesssNice(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace compat::test
