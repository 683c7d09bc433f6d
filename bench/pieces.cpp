// Benchmarks of the pieces of a run: one worker's busy work against the same loop written
// plainly, the barrier's release, CreateThread + ResumeThread in the layer, and one refused
// registration through the MMCSS client (the refusing stand-in lies beside this executable).
#include <windows.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "busy_work.h"
#include "mmcss.h"
#include "start_barrier.h"

namespace {

constexpr double kStart = 234.89244079589844;

void BusyWork(benchmark::State& state) {
  double x = kStart;
  for (auto _ : state) {
    x = quorvane::BusyWork(x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BusyWork)->Unit(benchmark::kMillisecond);

void PlainLoop(benchmark::State& state) {
  double x = kStart;
  for (auto _ : state) {
    for (int i = 0; i < quorvane::kBusyRounds; ++i) {
      x = x / x + 3e-05;
      x = x / x + 8.6e-05;
      x = x / x + 0.000159;
    }
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(PlainLoop)->Unit(benchmark::kMillisecond);

// From the last arrival until every other participant has left the barrier.
void ArriveLast(benchmark::State& state) {
  const auto others = static_cast<std::int32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    quorvane::StartBarrier barrier(others + 1);
    std::atomic<std::int32_t> left{0};
    std::vector<std::thread> threads;
    for (std::int32_t i = 0; i < others; ++i) {
      threads.emplace_back([&] {
        barrier.Arrive();
        left.fetch_add(1);
      });
    }
    while (barrier.arrived.load() < others) std::this_thread::yield();
    // Time for the last of them to go from counting to sleeping in the semaphore.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    state.ResumeTiming();
    barrier.Arrive();
    while (left.load() < others) std::this_thread::yield();
    state.PauseTiming();
    for (std::thread& thread : threads) thread.join();
    state.ResumeTiming();
  }
}
BENCHMARK(ArriveLast)->Arg(16)->Arg(256)->Arg(4096)->Unit(benchmark::kMicrosecond)->UseRealTime();

DWORD WINAPI ReturnAtOnce(LPVOID) {
  return 0;
}

// Threads doing busy work meanwhile, as a run's workers do while the main thread creates more.
class BusyThreads {
 public:
  explicit BusyThreads(std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
      threads.emplace_back([this] {
        double x = kStart;
        while (!stop.load()) x = quorvane::BusyWork(x);
        benchmark::DoNotOptimize(x);
      });
    }
  }
  ~BusyThreads() {
    stop.store(true);
    for (std::thread& thread : threads) thread.join();
  }

 private:
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
};

// Argument: how many busy threads compete for the processors.
void CreateAndResumeThread(benchmark::State& state) {
  BusyThreads busy(state.range(0));
  for (auto _ : state) {
    HANDLE thread = CreateThread(nullptr, 0, ReturnAtOnce, nullptr, CREATE_SUSPENDED, nullptr);
    ResumeThread(thread);
    state.PauseTiming();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    state.ResumeTiming();
  }
}
BENCHMARK(CreateAndResumeThread)->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond)->UseRealTime();

void RefusedRegistration(benchmark::State& state) {
  quorvane::MmcssClient client;
  if (!quorvane::MmcssClient::IsAvailable()) state.SkipWithError("no avrt stand-in loaded");
  for (auto _ : state) {
    HANDLE registration = client.SetThreadCharacteristics(quorvane::kProAudioHigh, nullptr);
    benchmark::DoNotOptimize(registration);
  }
}
BENCHMARK(RefusedRegistration);

}  // namespace

BENCHMARK_MAIN();
