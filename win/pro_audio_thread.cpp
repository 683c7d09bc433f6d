#include "pro_audio_thread.h"

#include "busy_work.h"

namespace quorvane {

// The single-precision 234.89244 widened to double.
std::atomic<double> busySink{234.89244079589844};

ProAudioThread::ProAudioThread(std::string name, const MmcssProfile& profile, StartBarrier* barrier,
                               std::mutex* resultsLock, RunTally* tally)
    : Thread(std::move(name)),
      profile(profile),
      barrier(barrier),
      resultsLock(resultsLock),
      tally(tally) {}

DWORD ProAudioThread::Run() {
  running.store(true);
  MmcssInspector& mmcss = MmcssInspector::Instance();
  if (observation) observation->before = ReadOwnScheduling();
  avrtHandle = mmcss.SetThreadCharacteristics(profile, avrtHandle);
  if (observation) observation->Registration(avrtHandle);

  // Work while registered. The chain starts from, and ends in, a shared atomic, so the
  // compiler can neither fold nor drop it.
  busySink.store(BusyWork(busySink.load(std::memory_order_relaxed)), std::memory_order_relaxed);

  barrier->Arrive();
  // Every registration is held now: what this thread really runs with.
  if (observation) observation->atBarrier = ReadOwnScheduling();
  // Still registered, with every other registration held too: what the grant gives.
  if (service) service->Serve(*observation);
  {
    std::lock_guard<std::mutex> hold(*resultsLock);
    if (avrtHandle) {
      ++tally->succeeded;
    } else {
      ++tally->failed;
    }
  }
  // The last use of this object: the main thread may destroy it as soon as it sees this.
  running.store(false);
  return 0;
}

}  // namespace quorvane
