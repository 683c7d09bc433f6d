#include "test_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <thread>

#include "pause.h"
#include "report.h"

namespace quorvane {

namespace {
constexpr DWORD kResumeFailed = 0xFFFFFFFF;
}  // namespace

void TestRun::Create(std::int32_t count) {
  tally.succeeded = 0;
  tally.failed = 0;
  // Every worker plus the main thread; a negative count leaves the main thread alone.
  barrier = std::make_unique<StartBarrier>(std::max<std::int32_t>(count, 0) + 1);
  resultsLock = std::make_unique<std::mutex>();
  const bool observed = mode != ReportMode::kPlain || service;
  if (observed) observations.resize(std::max<std::int32_t>(count, 0));
  for (std::int32_t i = 0; i < count; ++i) {
    char name[128];
    std::snprintf(name, sizeof name, "Pro Audio thread:%d", i);
    workers.push_back(std::make_unique<ProAudioThread>(name, kProAudioHigh, barrier.get(),
                                                       resultsLock.get(), &tally));
    if (observed) workers.back()->observation = &observations[i];
    workers.back()->service = service.get();
  }
}

void TestRun::StartWorkers() {
  for (const auto& worker : workers) {
    if (worker->Start() != kResumeFailed) continue;
    // This worker never runs: arrive in its place so the others are not held for ever.
    barrier->StandIn();
    std::lock_guard<std::mutex> hold(*resultsLock);
    ++tally.failed;
    ++notStarted;
  }
  barrier->Arrive();
}

void TestRun::WaitForCompletion() {
  // Every worker set `running` before it arrived at the barrier, which the main thread has
  // passed, so a worker found not running has finished.
  for (;;) {
    const bool anyRunning = std::any_of(workers.begin(), workers.end(),
                                        [](const auto& worker) { return worker->running.load(); });
    if (!anyRunning) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Closes each thread handle; the threads may still be on their way out.
  workers.clear();
  barrier.reset();
  {
    // Makes every update the workers made under the lock visible here.
    std::lock_guard<std::mutex> hold(*resultsLock);
  }
  PrintResults();
  if (mode != ReportMode::kJson) PauseForKeyPress();
  resultsLock.reset();
}

void TestRun::PrintResults() {
  if (mode != ReportMode::kJson) {
    std::cout << "threads with MMCSS priority: " << tally.succeeded << std::endl;
    std::cout << "threads failed to set MMCSS priority: " << tally.failed << std::endl;
    if (notStarted > 0) {
      std::cout << "threads that could not be started: " << notStarted << std::endl;
    }
  }
  std::optional<ServiceSummary> summary;
  if (service) summary = service->Summary();
  if (mode == ReportMode::kPlain) {
    if (summary) PrintService(*summary, std::cout);
    return;
  }
  // Workers that never ran observed nothing; they are counted as not started.
  std::vector<WorkerObservation> ran;
  for (WorkerObservation& observation : observations) {
    if (observation.ran) ran.push_back(std::move(observation));
  }
  // A run without workers has not loaded the avrt library yet; the budget says which it is.
  MmcssInspector::Instance();
  Report report = BuildReport(ran, tally.succeeded + tally.failed, notStarted);
  if (summary) report.service = &*summary;
  if (mode == ReportMode::kJson) {
    PrintJson(report, std::cout);
  } else {
    PrintReport(report, std::cout);
  }
}

}  // namespace quorvane
