#include "start_barrier.h"

namespace quorvane {

namespace {
constexpr LONG kMaximumPermits = 0x7FFFFFFF;
}

StartBarrier::StartBarrier(std::int32_t participants)
    : arrived(0),
      semaphore(CreateSemaphoreA(nullptr, 0, kMaximumPermits, nullptr)),
      creationError(semaphore == nullptr ? GetLastError() : 0),
      total(participants) {}

StartBarrier::~StartBarrier() {
  if (semaphore) CloseHandle(semaphore);
}

bool StartBarrier::CountArrival() {
  arrived.fetch_add(1);
  // A fresh read, not the increment's result: an arrival just before the last may also see the
  // full count and pass; the waiters still get their permits, the surplus is never taken.
  if (arrived.load() != total) return false;
  // One participant asks for zero permits, which the platform refuses; nobody waits then.
  ReleaseSemaphore(semaphore, total - 1, nullptr);
  return true;
}

void StartBarrier::Arrive() {
  if (!CountArrival()) WaitForSingleObject(semaphore, INFINITE);
}

void StartBarrier::StandIn() {
  CountArrival();
}

}  // namespace quorvane
