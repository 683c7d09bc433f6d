// Linux: absolute sleeps on CLOCK_MONOTONIC, so a late wake-up does not shift later deadlines.
#include <time.h>

#include <cerrno>

#include "service_clock.h"

namespace quorvane {

namespace {
constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
}  // namespace

struct PeriodTimer::State {};

std::int64_t ServiceNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * kNanosecondsPerSecond + now.tv_nsec;
}

std::int64_t TimerResolutionNs() {
  timespec resolution{};
  clock_getres(CLOCK_MONOTONIC, &resolution);
  return resolution.tv_sec * kNanosecondsPerSecond + resolution.tv_nsec;
}

PeriodTimer::PeriodTimer() = default;
PeriodTimer::~PeriodTimer() = default;

void PeriodTimer::SleepUntil(std::int64_t deadline) {
  const timespec due{static_cast<time_t>(deadline / kNanosecondsPerSecond),
                     static_cast<long>(deadline % kNanosecondsPerSecond)};
  // A signal (the provider's SIGXCPU handler among them) cuts the sleep short: sleep on.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
  }
}

}  // namespace quorvane
