// What the test suites share: bounded signals between threads, and the process's processors.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quorvane::test {

// Every wait in the tests is bounded: a fault shows as a failure, not a hang.
constexpr DWORD kWaitLimitMs = 10000;

// Width of an affinity mask.
constexpr int kMaskBits = 64;

// A one-way signal between two threads.
class Signal {
 public:
  void Raise() {
    std::lock_guard<std::mutex> hold(lock);
    raised = true;
    changed.notify_all();
  }
  // False when the signal did not come within kWaitLimitMs.
  bool Await() {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::milliseconds(kWaitLimitMs),
                            [this] { return raised; });
  }
  bool IsRaised() {
    std::lock_guard<std::mutex> hold(lock);
    return raised;
  }

 private:
  std::mutex lock;
  std::condition_variable changed;
  bool raised = false;
};

// The processors this process may use, checked against the system's.
inline DWORD_PTR ProcessMask() {
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  EXPECT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
  EXPECT_NE(processMask, 0u);
  EXPECT_EQ(processMask & ~systemMask, 0u);
  return processMask;
}

}  // namespace quorvane::test
