// What the test suites share: bounded waits for threads, and the process's processors.
// A fault must fail a run, not hang it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

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

// The same bound, for waits that poll.
constexpr std::chrono::milliseconds kBound{kWaitLimitMs};

// Polls until `done` holds; ends the process with a message when the bound passes first.
inline void AwaitOrDie(const std::function<bool()>& done, const char* what) {
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "gave up waiting: %s\n", what);
      std::_Exit(3);  // threads may still hold pointers into this test's stack
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Runs body(i) for i in [0, count) on threads of its own and joins them within the bound.
class ThreadGroup {
 public:
  ThreadGroup(int count, std::function<void(int)> body) : body(std::move(body)) {
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([this, i] {
        this->body(i);
        finished.fetch_add(1);
      });
    }
  }
  ~ThreadGroup() { Join(); }

  void Join() {
    const int count = static_cast<int>(threads.size());
    AwaitOrDie([&] { return finished.load() == count; }, "threads of a test to finish");
    for (std::thread& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  }

  int Finished() const { return finished.load(); }

 private:
  std::function<void(int)> body;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
};

}  // namespace quorvane::test
