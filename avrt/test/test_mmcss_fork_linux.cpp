// Children forked while the parent's threads register and make handles: each child's one thread
// can register and make handles too, whatever lock a vanished thread of the parent's held.
#include "avrt_test.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

constexpr auto kChildrenBound = std::chrono::seconds(60);

// What the child does before it leaves: its exit status says how far it got.
int RegisterAndMakeHandles(MmcssClient& client) {
  SetLastError(0);
  HANDLE registration = client.SetThreadCharacteristics(kProAudioHigh, nullptr);
  if (registration == nullptr && GetLastError() != ERROR_TOO_MANY_THREADS) return 2;
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1, nullptr);
  if (semaphore == nullptr || !CloseHandle(semaphore)) return 3;
  // The priority state; no thread is made, which ThreadSanitizer does not allow after fork.
  if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL)) return 4;
  if (GetThreadPriority(GetCurrentThread()) != THREAD_PRIORITY_BELOW_NORMAL) return 5;
  return 0;
}

// The child's exit status, or -1 when it did not finish by `deadline` (it is killed then).
int AwaitChild(pid_t child, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(MmcssClientFork, ChildrenForkedWhileThreadsRegisterAndChurnHandlesAllFinish) {
  constexpr int kChildren = 100;
  MmcssClient client;
  ASSERT_TRUE(MmcssClient::IsAvailable());
  std::atomic<bool> stop{false};
  std::atomic<long> registrations{0};
  std::atomic<long> handles{0};
  std::vector<std::thread> busy;
  for (int i = 0; i < 3; ++i) {
    busy.emplace_back([&] {
      HANDLE previous = nullptr;
      while (!stop) {
        previous = client.SetThreadCharacteristics(kProAudioHigh, previous);
        ++registrations;
      }
      client.SetThreadCharacteristics(kNoMmcss, previous);
    });
    busy.emplace_back([&] {
      while (!stop) {
        CloseHandle(CreateSemaphoreA(nullptr, 0, 1, nullptr));
        ++handles;
      }
    });
  }
  std::vector<int> statuses;
  const auto deadline = std::chrono::steady_clock::now() + kChildrenBound;
  for (int i = 0; i < kChildren; ++i) {
    // Each fork lands somewhere in the others' work.
    const long registrationsBefore = registrations;
    const long handlesBefore = handles;
    while (registrations == registrationsBefore || handles == handlesBefore) {
      std::this_thread::yield();
    }
    const pid_t child = fork();
    if (child == 0) _exit(RegisterAndMakeHandles(client));
    ASSERT_GT(child, 0);
    statuses.push_back(AwaitChild(child, deadline));
  }
  stop = true;
  for (std::thread& thread : busy) thread.join();
  EXPECT_EQ(statuses, std::vector<int>(kChildren, 0)) << "-1: did not finish within the bound";
}

}  // namespace
}  // namespace quorvane
