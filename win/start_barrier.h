// A one-shot meeting point: no participant leaves before every participant has arrived.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace quorvane {

class StartBarrier {
 public:
  explicit StartBarrier(std::int32_t participants);
  ~StartBarrier();
  StartBarrier(const StartBarrier&) = delete;
  StartBarrier& operator=(const StartBarrier&) = delete;

  // False when the semaphore could not be made (`creationError` says why): Arrive would then
  // hold nobody, so a run must not go on with this barrier.
  bool Ready() const { return semaphore != nullptr; }

  // Returns once every participant has arrived.
  void Arrive();
  // Counts an arrival for a participant that will never come (a thread that could not be
  // started), without waiting, so the others are not held for ever.
  void StandIn();

  std::atomic<std::int32_t> arrived;
  HANDLE semaphore;
  DWORD creationError;  // GetLastError of the failed CreateSemaphoreA, else 0
  std::int32_t total;

 private:
  // Counts one arrival; the arrival that completes the count lets every waiter go.
  // Returns whether the count was complete.
  bool CountArrival();
};

}  // namespace quorvane
