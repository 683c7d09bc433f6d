#include "pro_audio_thread.h"

namespace quorvane {

namespace {
constexpr int kBusyRounds = 1000000;
}  // namespace

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
  avrtHandle = mmcss.SetThreadCharacteristics(profile, avrtHandle);

  // Load while registered. The operand comes from, and the result goes to, a shared atomic, so
  // the compiler can neither fold nor drop the three million dependent divisions.
  double x = busySink.load(std::memory_order_relaxed);
  for (int i = 0; i < kBusyRounds; ++i) {
    x = x / x + 3e-05;
    x = x / x + 8.6e-05;
    x = x / x + 0.000159;
  }
  busySink.store(x, std::memory_order_relaxed);

  barrier->Arrive();
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
