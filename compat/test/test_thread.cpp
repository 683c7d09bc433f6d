#include "privilege.h"
#include "test_helpers.h"
#include "thread_basic_information.h"
#include "wait_state.h"
#include "no_cancellation.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace compat::test {
namespace {

const HANDLE kBadHandle = reinterpret_cast<HANDLE>(0x7FF0);

bool ThreadListed(DWORD threadId) {
  return access(("/proc/self/task/" + std::to_string(threadId)).c_str(), F_OK) == 0;
}

TEST(Threads, SuspendedThreadDoesNotRunBeforeResumeThread) {
  HeldThread thread(CREATE_SUSPENDED);
  ASSERT_NE(thread.handle, nullptr);
  // A suspended thread cannot end, so the bounded wait must run out.
  EXPECT_EQ(WaitForSingleObject(thread.handle, 50), WAIT_TIMEOUT);
  EXPECT_FALSE(thread.held.running.IsRaised());
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.handle, &exitCode));
  EXPECT_EQ(exitCode, STILL_ACTIVE);
  EXPECT_EQ(ResumeThread(thread.handle), 1u);
  EXPECT_TRUE(thread.held.running.Await());
}

TEST(Threads, ResumeThreadReturnsThePreviousSuspendCount) {
  HeldThread suspended(CREATE_SUSPENDED);
  EXPECT_EQ(ResumeThread(suspended.handle), 1u);
  EXPECT_EQ(ResumeThread(suspended.handle), 0u);
  HeldThread running;
  EXPECT_EQ(ResumeThread(running.handle), 0u);
  EXPECT_EQ(ResumeThread(GetCurrentThread()), 0u);
  for (HANDLE bad : {kBadHandle, static_cast<HANDLE>(nullptr)}) {
    SetLastError(0);
    EXPECT_EQ(ResumeThread(bad), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

TEST(Threads, ThreadIdIsTheKernelThreadIdAndKnownBeforeTheThreadRuns) {
  HeldThread thread(CREATE_SUSPENDED);
  ASSERT_NE(thread.threadId, 0u);
  // The kernel lists the id among this process's threads while the thread is still held.
  EXPECT_TRUE(ThreadListed(thread.threadId));
  EXPECT_NE(thread.threadId, GetCurrentThreadId());
  EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(gettid()));
  ResumeThread(thread.handle);
  ASSERT_TRUE(thread.held.running.Await());
  EXPECT_EQ(thread.held.idInThread, thread.threadId);
}

TEST(Threads, ClosingARunningThreadsHandleLeavesItRunning) {
  // Outlives the thread: nothing here waits for it through its handle.
  static Held held;
  DWORD threadId = 0;
  HANDLE handle = CreateThread(nullptr, 0, HoldUntilReleased, &held, 0, &threadId);
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(held.running.Await());
  EXPECT_TRUE(CloseHandle(handle));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(handle));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
  EXPECT_TRUE(ThreadListed(threadId));
  // It finishes on its own reference; under AddressSanitizer a use of freed state fails here.
  held.release.Raise();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
  while (ThreadListed(threadId) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(ThreadListed(threadId));
}

TEST(Threads, WaitTimesOutWhileTheThreadRunsAndSucceedsOnceItEnded) {
  HeldThread thread;
  ASSERT_TRUE(thread.held.running.Await());
  EXPECT_EQ(WaitForSingleObject(thread.handle, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(thread.handle, 20), WAIT_TIMEOUT);
  thread.held.release.Raise();
  EXPECT_EQ(WaitForSingleObject(thread.handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread.handle, 0), WAIT_OBJECT_0);  // stays signalled
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.handle, &exitCode));
  EXPECT_EQ(exitCode, 5u);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(kBadHandle, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Waits until the kernel no longer lists the thread; false when the bound passed first.
bool AwaitThreadGone(DWORD threadId) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
  while (ThreadListed(threadId)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// What a terminated thread leaves: its state outlives every thread of the test process.
struct Spinner {
  std::atomic<bool> spinning{false};
  std::atomic<bool> destroyed{false};
  std::atomic<bool> stop{false};
  std::mutex lock;
};

class SetOnDestruction {
 public:
  explicit SetOnDestruction(std::atomic<bool>& flag) : flag(flag) {}
  ~SetOnDestruction() { flag = true; }

 private:
  std::atomic<bool>& flag;
};

// Holds a lock and spins with a live destructor on its stack, outside any call of the layer.
DWORD WINAPI Spin(LPVOID parameter) {
  auto* spinner = static_cast<Spinner*>(parameter);
  SetOnDestruction guard(spinner->destroyed);
  std::lock_guard<std::mutex> hold(spinner->lock);
  spinner->spinning = true;
  while (!spinner->stop) {
  }
  return 1;
}

TEST(Threads, TerminateThreadStopsASpinningThreadWhereItIsAndTheProcessGoesOn) {
  static Spinner spinner;
  DWORD threadId = 0;
  HANDLE handle = CreateThread(nullptr, 0, Spin, &spinner, 0, &threadId);
  ASSERT_NE(handle, nullptr);
  quorvane::test::AwaitOrDie([] { return spinner.spinning.load(); }, "the spinner to start");
  EXPECT_TRUE(TerminateThread(handle, 42));
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(AwaitThreadGone(threadId));
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 42u);
  // Not unwound, as on Windows: no destructor ran and the lock it held stays held.
  EXPECT_FALSE(spinner.destroyed);
  EXPECT_FALSE(spinner.lock.try_lock());
  EXPECT_TRUE(TerminateThread(handle, 43));  // already ended: nothing changes
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 42u);
  EXPECT_TRUE(CloseHandle(handle));
  spinner.stop = true;  // should the thread have survived, it ends now
}

struct Waiter {
  HANDLE semaphore = nullptr;
  Signal waiting;
  std::atomic<bool> returned{false};
};

DWORD WINAPI WaitForThePermit(LPVOID parameter) {
  auto* waiter = static_cast<Waiter*>(parameter);
  waiter->waiting.Raise();
  const DWORD result = WaitForSingleObject(waiter->semaphore, INFINITE);
  waiter->returned = true;
  return result == WAIT_OBJECT_0 ? 0 : 1;
}

TEST(Threads, TerminateThreadStopsAThreadBlockedInAWaitAndTheObjectStaysUsable) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 2, nullptr);
  ASSERT_NE(semaphore, nullptr);
  Waiter blocked{semaphore, {}, {}};
  Waiter other{semaphore, {}, {}};
  DWORD blockedId = 0;
  HANDLE blockedThread = CreateThread(nullptr, 0, WaitForThePermit, &blocked, 0, &blockedId);
  HANDLE otherThread = CreateThread(nullptr, 0, WaitForThePermit, &other, 0, nullptr);
  ASSERT_NE(blockedThread, nullptr);
  ASSERT_NE(otherThread, nullptr);
  ASSERT_TRUE(blocked.waiting.Await());
  ASSERT_TRUE(other.waiting.Await());
  quorvane::test::AwaitOrDie([&] { return WaitersOn(semaphore) == 2; }, "both in the wait");
  EXPECT_TRUE(TerminateThread(blockedThread, 7));
  EXPECT_EQ(WaitForSingleObject(blockedThread, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(AwaitThreadGone(blockedId));
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(blockedThread, &exitCode));
  EXPECT_EQ(exitCode, 7u);
  EXPECT_FALSE(blocked.returned);
  // The one permit goes to the waiter that is left, and no permit went to the ended one.
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, nullptr));
  EXPECT_EQ(WaitForSingleObject(otherThread, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(otherThread, &exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(blockedThread));
  EXPECT_TRUE(CloseHandle(otherThread));
  EXPECT_TRUE(CloseHandle(semaphore));
}

DWORD WINAPI TerminateItself(LPVOID parameter) {
  auto* waiter = static_cast<Waiter*>(parameter);
  waiter->waiting.Await();  // until the creator has stored the handle
  TerminateThread(waiter->semaphore, 11);
  waiter->returned = true;  // never reached: the thread ends as the call returns
  return 1;
}

TEST(Threads, AThreadThatTerminatesItselfEndsAsTheCallReturns) {
  for (const bool byPseudoHandle : {false, true}) {
    Waiter self;
    HANDLE handle = CreateThread(nullptr, 0, TerminateItself, &self, 0, nullptr);
    ASSERT_NE(handle, nullptr);
    self.semaphore = byPseudoHandle ? GetCurrentThread() : handle;
    self.waiting.Raise();
    EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
    EXPECT_EQ(exitCode, 11u);
    EXPECT_FALSE(self.returned);
    EXPECT_TRUE(CloseHandle(handle));
  }
  // A thread the layer did not make has no entry to end through.
  SetLastError(0);
  EXPECT_FALSE(TerminateThread(GetCurrentThread(), 12));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Threads, TerminateThreadOnASuspendedThreadEndsItBeforeItRuns) {
  Held held;
  HANDLE handle = CreateThread(nullptr, 0, HoldUntilReleased, &held, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(TerminateThread(handle, 9));
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_FALSE(held.running.IsRaised());
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 9u);
  EXPECT_TRUE(CloseHandle(handle));
}

DWORD WINAPI EndAtOnce(LPVOID) {
  return 0;
}

LONG BasePriorityOf(HANDLE thread, NTSTATUS* status) {
  ThreadBasicInformation record{};
  *status =
      NtQueryInformationThread(thread, kThreadBasicInformation, &record, sizeof(record), nullptr);
  return record.basePriority;
}

TEST(Threads, AQueryRacingTheThreadsEndReadsItWhollyOrFails) {
  NTSTATUS status = 0;
  const LONG normal = BasePriorityOf(GetCurrentThread(), &status);
  ASSERT_EQ(status, 0);
  int wrong = 0;
  for (int round = 0; round < 300; ++round) {
    HANDLE thread = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // Until the thread has ended; each read meanwhile must be whole.
    for (LONG base = normal; status == 0; base = BasePriorityOf(thread, &status)) {
      if (base != normal) ++wrong;
    }
    EXPECT_EQ(status, static_cast<NTSTATUS>(0xC0000008));  // STATUS_INVALID_HANDLE
    EXPECT_EQ(WaitForSingleObject(thread, kWaitLimitMs), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    status = 0;
  }
  EXPECT_EQ(wrong, 0);
}

TEST(Threads, CreationFailsWithNullAndALastError) {
  Held held;
  DWORD threadId = 77;
  SetLastError(0);
  // More stack than the address space holds.
  EXPECT_EQ(CreateThread(nullptr, SIZE_T{1} << 62, HoldUntilReleased, &held, 0, &threadId),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, HoldUntilReleased, &held, 0x80000000, &threadId), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(threadId, 77u);
  EXPECT_FALSE(held.running.IsRaised());
}

void CreationFailsAtTheThreadLimit() {
  const rlimit none{0, 0};
  ASSERT_EQ(setrlimit(RLIMIT_NPROC, &none), 0);
  Held held;
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, HoldUntilReleased, &held, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(Threads, CreationFailsAtTheUsersThreadLimit) {
  UseFreshDeathTestChildren();
  EXPECT_EXIT(RunUnprivileged(CreationFailsAtTheThreadLimit), ::testing::ExitedWithCode(0), "");
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The process's mappings, as the kernel lists them.
int Mappings() {
  std::ifstream maps("/proc/self/maps");
  int lines = 0;
  for (std::string line; std::getline(maps, line);) ++lines;
  return lines;
}

std::atomic<int> keyDestructorRuns{0};
pthread_key_t endKey;

// Spins outside the layer with a pthread key set, until terminated (or told to stop).
DWORD WINAPI SpinWithAKey(LPVOID parameter) {
  auto* spinner = static_cast<Spinner*>(parameter);
  pthread_setspecific(endKey, spinner);
  spinner->spinning = true;
  while (!spinner->stop) {
  }
  return 1;
}

// Runs `routine` on a thread of CreateThread's until it ends on its own; false past the bound.
bool RunToItsEnd(LPTHREAD_START_ROUTINE routine, LPVOID parameter) {
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, routine, parameter, 0, &threadId);
  const bool ended = thread != nullptr &&
                     WaitForSingleObject(thread, kWaitLimitMs) == WAIT_OBJECT_0 &&
                     AwaitThreadGone(threadId);
  if (thread != nullptr) CloseHandle(thread);
  return ended;
}

TEST(Threads, ATerminatedThreadGivesItsStackBackAndItsKeysEndAsForAThreadThatReturns) {
  ASSERT_EQ(pthread_key_create(&endKey, [](void*) { ++keyDestructorRuns; }), 0);
  // One thread made and ended first, so that the C library's cache holds a stack.
  ASSERT_TRUE(RunToItsEnd(EndAtOnce, nullptr));
  const int mappingsBefore = Mappings();
  static Spinner spinner;
  DWORD threadId = 0;
  HANDLE handle = CreateThread(nullptr, 0, SpinWithAKey, &spinner, 0, &threadId);
  ASSERT_NE(handle, nullptr);
  quorvane::test::AwaitOrDie([] { return spinner.spinning.load(); }, "the spinner to start");
  EXPECT_TRUE(TerminateThread(handle, 8));
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(AwaitThreadGone(threadId));
  EXPECT_EQ(keyDestructorRuns, 1);
  EXPECT_TRUE(CloseHandle(handle));
  // The next thread runs on the stack the terminated one gave back: no mapping is added.
  // Sanitizers map state of their own for every thread.
  ASSERT_TRUE(RunToItsEnd(EndAtOnce, nullptr));
  if (!kSanitized) {
    EXPECT_EQ(Mappings(), mappingsBefore);
  }
  pthread_key_delete(endKey);
}

TEST(Threads, MainsPthreadExitAfterATerminationExitsTheProcess) {
  if (kThreadSanitizer) {
    GTEST_SKIP() << "ThreadSanitizer's own background thread keeps such a process alive";
  }
  // Bounded: a process whose last thread never ends would keep the pipe open.
  std::FILE* program = popen("timeout -s KILL 60 " EXIT_AFTER_TERMINATE, "r");
  ASSERT_NE(program, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof(buffer), program) != nullptr) output += buffer;
  EXPECT_EQ(pclose(program), 0);
  EXPECT_EQ(output, "main leaves\natexit ran\n");
}

// What the kernel has pending for a thread and for the whole process, from /proc.
bool NothingPending(DWORD threadId) {
  std::ifstream status("/proc/self/task/" + std::to_string(threadId) + "/status");
  unsigned long long thread = 1;
  unsigned long long shared = 1;
  for (std::string line; std::getline(status, line);) {
    std::sscanf(line.c_str(), "SigPnd: %llx", &thread);
    std::sscanf(line.c_str(), "ShdPnd: %llx", &shared);
  }
  return thread == 0 && shared == 0;
}

// Spins with every signal blocked.
DWORD WINAPI SpinBlockingSignals(LPVOID parameter) {
  auto* spinner = static_cast<Spinner*>(parameter);
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  spinner->spinning = true;
  while (!spinner->stop) {
  }
  return 1;
}

TEST(Threads, AStraySignalEndsNothingAndATerminationThatCannotArriveIsRefusedAtOnce) {
  static Spinner spinner;
  DWORD threadId = 0;
  HANDLE handle = CreateThread(nullptr, 0, Spin, &spinner, 0, &threadId);
  ASSERT_NE(handle, nullptr);
  quorvane::test::AwaitOrDie([] { return spinner.spinning.load(); }, "the spinner to start");
  ASSERT_EQ(syscall(SYS_tgkill, getpid(), threadId, SIGRTMAX), 0);
  ASSERT_EQ(kill(getpid(), SIGRTMAX), 0);
  quorvane::test::AwaitOrDie([&] { return NothingPending(threadId); }, "the signals to arrive");
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, STILL_ACTIVE);

  // A program that took the signal over: the layer cannot end the thread.
  struct sigaction program {};
  program.sa_handler = [](int) {};
  struct sigaction layer {};
  ASSERT_EQ(sigaction(SIGRTMAX, &program, &layer), 0);
  SetLastError(0);
  EXPECT_FALSE(TerminateThread(handle, 4));
  EXPECT_EQ(GetLastError(), ERROR_SIGNAL_REFUSED);
  ASSERT_EQ(sigaction(SIGRTMAX, &layer, nullptr), 0);
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, STILL_ACTIVE);
  EXPECT_TRUE(TerminateThread(handle, 4));
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 4u);
  EXPECT_TRUE(CloseHandle(handle));

  // A thread that blocks the signal.
  Spinner blocking;
  handle = CreateThread(nullptr, 0, SpinBlockingSignals, &blocking, 0, nullptr);
  ASSERT_NE(handle, nullptr);
  quorvane::test::AwaitOrDie([&] { return blocking.spinning.load(); }, "the spinner to start");
  SetLastError(0);
  EXPECT_FALSE(TerminateThread(handle, 4));
  EXPECT_EQ(GetLastError(), ERROR_SIGNAL_REFUSED);
  blocking.stop = true;
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 1u);
  EXPECT_TRUE(CloseHandle(handle));
}

std::atomic<bool> stopStarters{false};

DWORD WINAPI SpinUntilTheTestEnds(LPVOID) {
  while (!stopStarters) {
  }
  return 1;
}

TEST(Threads, ATerminationSentAsTheThreadStartsIsNeverLost) {
  for (int round = 0; round < 200; ++round) {
    HANDLE handle = CreateThread(nullptr, 0, SpinUntilTheTestEnds, nullptr, 0, nullptr);
    ASSERT_NE(handle, nullptr);
    if (round % 2 == 1) std::this_thread::yield();  // now and then a little later
    EXPECT_TRUE(TerminateThread(handle, 6));
    ASSERT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0) << "round " << round;
    EXPECT_TRUE(CloseHandle(handle));
  }
  stopStarters = true;
}

struct ScopedWaiter {
  HANDLE semaphore = nullptr;
  std::atomic<bool> outOfTheWait{false};
  std::atomic<bool> pastTheScope{false};
};

// Waits inside a library's scope of its own, nested in another.
DWORD WINAPI WaitInsideNestedScopes(LPVOID parameter) {
  auto* waiter = static_cast<ScopedWaiter*>(parameter);
  {
    NoCancellation outer;
    {
      NoCancellation inner;
      WaitForSingleObject(waiter->semaphore, INFINITE);
      waiter->outOfTheWait = true;
    }
    GetCurrentThreadId();
  }
  waiter->pastTheScope = true;
  return 1;
}

TEST(Threads, InsideNestedScopesTheEndWaitsForTheOutermost) {
  ScopedWaiter waiter;
  waiter.semaphore = CreateSemaphoreA(nullptr, 0, 1, nullptr);
  ASSERT_NE(waiter.semaphore, nullptr);
  HANDLE handle = CreateThread(nullptr, 0, WaitInsideNestedScopes, &waiter, 0, nullptr);
  ASSERT_NE(handle, nullptr);
  quorvane::test::AwaitOrDie([&] { return WaitersOn(waiter.semaphore) == 1; }, "the wait");
  EXPECT_TRUE(TerminateThread(handle, 13));
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseSemaphore(waiter.semaphore, 1, nullptr));
  EXPECT_EQ(WaitForSingleObject(handle, kWaitLimitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(waiter.outOfTheWait);
  EXPECT_FALSE(waiter.pastTheScope);
  EXPECT_EQ(WaitForSingleObject(waiter.semaphore, 0), WAIT_TIMEOUT);  // the permit was taken
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
  EXPECT_EQ(exitCode, 13u);
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_TRUE(CloseHandle(waiter.semaphore));
}

// Stopped inside the allocator or stdio, the thread holds their locks, and its end, which
// frees memory, may never finish; its handle is signalled first. In a child of its own, as
// the locks stay held.
DWORD WINAPI AllocateForEver(LPVOID parameter) {
  static_cast<std::atomic<bool>*>(parameter)->store(true);
  for (;;) std::free(std::malloc(64 + static_cast<std::size_t>(std::rand() % 4096)));
}

DWORD WINAPI PrintForEver(LPVOID parameter) {
  std::FILE* sink = std::fopen("/dev/null", "w");
  static_cast<std::atomic<bool>*>(parameter)->store(true);
  for (int line = 0;; ++line) std::fprintf(sink, "line %d\n", line);
}

void EndInsideTheAllocatorAndStdio() {
  for (LPTHREAD_START_ROUTINE routine : {AllocateForEver, PrintForEver}) {
    std::atomic<bool> started{false};
    HANDLE handle = CreateThread(nullptr, 0, routine, &started, 0, nullptr);
    quorvane::test::AwaitOrDie([&] { return started.load(); }, "the thread to start");
    if (!TerminateThread(handle, 2)) std::_Exit(1);
    if (WaitForSingleObject(handle, kWaitLimitMs) != WAIT_OBJECT_0) std::_Exit(2);
  }
  std::_Exit(0);
}

TEST(ThreadsDeathTest, ATargetStoppedInsideTheAllocatorOrStdioStillSignalsItsHandle) {
  UseFreshDeathTestChildren();
  EXPECT_EXIT(EndInsideTheAllocatorAndStdio(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace compat::test
