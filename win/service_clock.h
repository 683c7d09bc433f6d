// The service phase's clock and sleeps, in one file per platform chosen by the build.
#pragma once

#include <cstdint>
#include <memory>

namespace quorvane {

// A monotonic clock in nanoseconds, the one every deadline of the phase is set on.
std::int64_t ServiceNow();

// The resolution of the timer a period's sleep waits on, in nanoseconds: Linux's clock as the
// kernel states it; on Windows measured, as the shortest of a few of the shortest waits.
std::int64_t TimerResolutionNs();

// One worker's way to sleep to an absolute deadline; used by its own thread only.
class PeriodTimer {
 public:
  PeriodTimer();
  ~PeriodTimer();
  PeriodTimer(const PeriodTimer&) = delete;
  PeriodTimer& operator=(const PeriodTimer&) = delete;

  // Blocks until ServiceNow() reads `deadline` or later; returns at once when it has passed.
  void SleepUntil(std::int64_t deadline);

 private:
  struct State;
  std::unique_ptr<State> state;
};

}  // namespace quorvane
