// Thread subclasses and helpers shared by the thread library's tests.
#pragma once

#include "test_support.h"
#include "thread.h"

#include <objbase.h>

#include <cstdint>
#include <cstdlib>

namespace quorvane::test {

// True where this process may raise a thread above normal or the process to the high class.
bool MayRaisePriority();

// Waits until the system has no thread of id `threadId` left in this process; false when the
// bound passed first.
bool AwaitThreadGone(DWORD threadId);

// Runs `checks` in a child process, so that what they change in the process (its priority
// class, the nice value of its threads) goes with the child instead of reaching later tests.
inline void ExpectInChild(void (*checks)()) {
  EXPECT_EXIT(
      {
        checks();
        std::_Exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Shows the protected state that the tests check.
class Observed : public Thread {
 public:
  using Thread::Thread;
  std::int32_t Level() const { return priorityLevel; }
  std::int32_t Cpu() const { return cpu; }
  bool Started() const { return started; }
  DWORD Id() const { return threadId; }

 protected:
  ~Observed() = default;
};

// Records what Run sees of its own thread, then ends with exit code 7.
class RecordingThread final : public Observed {
 public:
  RecordingThread() : Observed("recording") {}
  DWORD Run() override {
    priorityInRun = GetThreadPriority(GetCurrentThread());
    currentInRun = IsCurrentThread();
    comInRun = CoInitialize(nullptr);
    CoUninitialize();
    return 7;
  }

  int priorityInRun = THREAD_PRIORITY_ERROR_RETURN;
  bool currentInRun = false;
  HRESULT comInRun = -1;
};

// Runs until released, so that the test can act on a live thread. Released and awaited at
// destruction, so that an early test failure never leaves it running on a destroyed object.
class HeldThread final : public Observed {
 public:
  HeldThread() : Observed("held") {}
  ~HeldThread() {
    release.Raise();
    Wait(kWaitLimitMs);
  }
  DWORD Run() override {
    running.Raise();
    return release.Await() ? 0 : 1;
  }

  Signal running;
  Signal release;
};

}  // namespace quorvane::test
