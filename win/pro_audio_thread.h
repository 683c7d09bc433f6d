// The probe worker: registers its thread with MMCSS, works, meets the others at the start
// barrier so that every registration is held at once, then records whether it got one.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "mmcss.h"
#include "observation.h"
#include "service.h"
#include "start_barrier.h"
#include "thread.h"

namespace quorvane {

struct RunTally {
  std::int32_t succeeded = 0;
  std::int32_t failed = 0;
};

// Start value and destination of every worker's busy work; its value means nothing.
extern std::atomic<double> busySink;

class ProAudioThread final : public Thread {
 public:
  ProAudioThread(std::string name, const MmcssProfile& profile, StartBarrier* barrier,
                 std::mutex* resultsLock, RunTally* tally);

  DWORD Run() override;

  MmcssProfile profile;
  HANDLE avrtHandle = nullptr;
  StartBarrier* barrier;
  std::mutex* resultsLock;
  RunTally* tally;
  std::atomic<bool> running{false};
  // Where this worker records what it observes for the report; null when nobody asked.
  WorkerObservation* observation = nullptr;
  // The service phase this worker runs after the barrier, with `observation` set; null for none.
  ServicePhase* service = nullptr;
};

}  // namespace quorvane
