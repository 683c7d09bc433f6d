// avrt_probe N [SPIN_MS]: N threads register as "Pro Audio" at high priority through the MMCSS
// client, all at once, as the tool's workers do, and each runs SPIN_MS of CPU time without
// blocking; then each thread's scheduling is read back from the kernel by its id, and every
// registration is reverted. Prints one count per line:
//   granted G / refused <error> R / policy <policy> <priority> P / restored S
#include "mmcss.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto kBound = std::chrono::seconds(60);

struct Probe {
  HANDLE registration = nullptr;
  DWORD error = 0;
  pid_t threadId = 0;
  bool restored = false;
};

// The threads hold their registrations until the main thread has read them all.
struct Meeting {
  std::mutex lock;
  std::condition_variable changed;
  int registered = 0;
  bool read = false;
};

std::string PolicyName(int policy) {
  const char* reset = (policy & SCHED_RESET_ON_FORK) ? "|SCHED_RESET_ON_FORK" : "";
  switch (policy & ~SCHED_RESET_ON_FORK) {
    case SCHED_OTHER:
      return std::string("SCHED_OTHER") + reset;
    case SCHED_FIFO:
      return std::string("SCHED_FIFO") + reset;
    case SCHED_RR:
      return std::string("SCHED_RR") + reset;
    default:
      return std::to_string(policy);
  }
}

double ThreadCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

[[noreturn]] void GiveUp(const char* what) {
  std::fprintf(stderr, "avrt_probe: gave up waiting for %s\n", what);
  std::_Exit(3);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 128;
  const double spinMilliseconds = argc > 2 ? std::atof(argv[2]) : 0;
  std::vector<Probe> probes(static_cast<std::size_t>(count));
  Meeting meeting;
  std::vector<std::thread> threads;
  for (Probe& probe : probes) {
    threads.emplace_back([&probe, &meeting, count, spinMilliseconds] {
      quorvane::MmcssInspector& mmcss = quorvane::MmcssInspector::Instance();
      probe.threadId = static_cast<pid_t>(syscall(SYS_gettid));
      probe.registration = mmcss.SetThreadCharacteristics(quorvane::kProAudioHigh, nullptr);
      probe.error = GetLastError();
      const double start = ThreadCpuMilliseconds();
      while (ThreadCpuMilliseconds() - start < spinMilliseconds) {
      }
      std::unique_lock<std::mutex> hold(meeting.lock);
      if (++meeting.registered == count) meeting.changed.notify_all();
      if (!meeting.changed.wait_for(hold, kBound, [&] { return meeting.read; })) {
        GiveUp("the scheduling to be read");
      }
      hold.unlock();
      if (probe.registration == nullptr) return;
      mmcss.SetThreadCharacteristics(quorvane::kNoMmcss, probe.registration);  // reverts
      probe.restored = sched_getscheduler(0) == SCHED_OTHER ||
                       sched_getscheduler(0) == (SCHED_OTHER | SCHED_RESET_ON_FORK);
    });
  }
  std::map<std::string, int> lines;
  {
    std::unique_lock<std::mutex> hold(meeting.lock);
    if (!meeting.changed.wait_for(hold, kBound, [&] { return meeting.registered == count; })) {
      GiveUp("the registrations");
    }
    for (const Probe& probe : probes) {
      if (probe.registration == nullptr) {
        ++lines["refused " + std::to_string(probe.error)];
        continue;
      }
      ++lines["granted"];
      sched_param parameter{};
      sched_getparam(probe.threadId, &parameter);
      ++lines["policy " + PolicyName(sched_getscheduler(probe.threadId)) + " " +
              std::to_string(parameter.sched_priority)];
    }
    meeting.read = true;
    meeting.changed.notify_all();
  }
  for (std::thread& thread : threads) thread.join();
  for (const Probe& probe : probes) lines["restored"] += probe.restored ? 1 : 0;
  for (const auto& [line, number] : lines) std::printf("%s %d\n", line.c_str(), number);
  return 0;
}
