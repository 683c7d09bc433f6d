// One run of the probe: the workers, their start barrier and the tally of their results.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "observation.h"
#include "pro_audio_thread.h"
#include "service.h"
#include "start_barrier.h"

namespace quorvane {

// The largest count a run accepts. Far above any platform's MMCSS limit, and small enough that
// the workers' stacks (2 MiB reserved each on Windows) fit in a 64-bit address space.
constexpr std::int32_t kMaxThreadCount = 65536;

// What a run prints after it: the two result lines, the same and the report, or only the
// report as JSON.
enum class ReportMode { kPlain, kExplain, kJson };

class TestRun {
 public:
  // Builds the barrier, the results lock and `count` workers; starts no thread.
  // A count of 0 or less makes no worker; count must not exceed kMaxThreadCount.
  // Outside the plain mode, and with a service phase, every worker also records what it
  // observes.
  void Create(std::int32_t count);
  // Starts every worker in order, then waits at the barrier until every worker has arrived.
  void StartWorkers();
  // Waits until no worker runs, tears down, prints the results and waits for a key.
  void WaitForCompletion();

  RunTally tally;
  std::vector<std::unique_ptr<ProAudioThread>> workers;
  std::unique_ptr<StartBarrier> barrier;
  std::unique_ptr<std::mutex> resultsLock;
  // Workers whose thread could not be created or resumed; counted as failed too.
  std::int32_t notStarted = 0;
  ReportMode mode = ReportMode::kPlain;
  // One per worker, written by its worker alone; empty in the plain mode.
  std::vector<WorkerObservation> observations;
  // The phase every worker runs after the barrier, when asked for; set before Create.
  std::unique_ptr<ServicePhase> service;

 private:
  void PrintResults();
};

}  // namespace quorvane
