// Threads for tests, with a bound on how long a test may wait for them: a barrier that never
// opens must fail the run, not hang it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace quorvane::test {

constexpr std::chrono::seconds kBound{30};

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
