// Windows: a high-resolution waitable timer. Its absolute due times are wall-clock UTC, which
// may be stepped, so each sleep is a relative one computed from QueryPerformanceCounter.
#include <windows.h>

#include <algorithm>

#include "service_clock.h"

namespace quorvane {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
constexpr std::int64_t kNanosecondsPerTick = 100;  // a waitable timer's unit
constexpr int kResolutionSamples = 8;

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

std::int64_t CounterFrequency() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER value{};
    QueryPerformanceFrequency(&value);
    return static_cast<std::int64_t>(value.QuadPart);
  }();
  return frequency;
}

// Windows before 10 1803 refuses the high-resolution flag; its ordinary timer then serves.
HANDLE CreatePeriodTimer() {
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
  if (timer == nullptr) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  return timer;
}

}  // namespace

struct PeriodTimer::State {
  HANDLE timer = nullptr;
};

std::int64_t ServiceNow() {
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  const std::int64_t ticks = counter.QuadPart;
  const std::int64_t frequency = CounterFrequency();
  // Split so that ticks times a billion cannot overflow after days of uptime.
  return ticks / frequency * kNanosecondsPerSecond +
         ticks % frequency * kNanosecondsPerSecond / frequency;
}

std::int64_t TimerResolutionNs() {
  PeriodTimer timer;
  std::int64_t shortest = INT64_MAX;
  for (int i = 0; i < kResolutionSamples; ++i) {
    const std::int64_t start = ServiceNow();
    timer.SleepUntil(start + 1);
    shortest = std::min(shortest, ServiceNow() - start);
  }
  return shortest;
}

PeriodTimer::PeriodTimer() : state(std::make_unique<State>()) {
  state->timer = CreatePeriodTimer();
}

PeriodTimer::~PeriodTimer() {
  if (state->timer != nullptr) CloseHandle(state->timer);
}

void PeriodTimer::SleepUntil(std::int64_t deadline) {
  for (;;) {
    const std::int64_t left = deadline - ServiceNow();
    if (left <= 0) return;
    // Negative due times are relative; round up so that one wait does not end early.
    LARGE_INTEGER due{};
    due.QuadPart = -((left + kNanosecondsPerTick - 1) / kNanosecondsPerTick);
    if (state->timer == nullptr ||
        !SetWaitableTimer(state->timer, &due, 0, nullptr, nullptr, FALSE)) {
      // Without a timer, a plain sleep of whole milliseconds, still never a spin.
      Sleep(static_cast<DWORD>(std::max<std::int64_t>(1, left / 1000000)));
      continue;
    }
    WaitForSingleObject(state->timer, INFINITE);
  }
}

}  // namespace quorvane
