// The plain reference for whole runs: the tool's chains of divisions and nothing else, on as
// many plain threads as there are processors, each taking the next chain until none is left.
// No run of the tool can be faster.
//   quorvane_reference CHAINS [THREADS]    (THREADS: default the processor count)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "busy_work.h"

int main(int argc, char** argv) {
  const long chains = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 128;
  const long threads = argc > 2 ? std::strtol(argv[2], nullptr, 10)
                                : std::max(1u, std::thread::hardware_concurrency());
  // The tool's start value and sink: every chain starts where the last one stored its end.
  std::atomic<double> sink{234.89244079589844};
  std::atomic<long> next{0};
  std::vector<std::thread> workers;
  for (long i = 0; i < threads; ++i) {
    workers.emplace_back([&] {
      while (next.fetch_add(1) < chains) {
        sink.store(quorvane::BusyWork(sink.load(std::memory_order_relaxed)),
                   std::memory_order_relaxed);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  std::printf("%ld chains on %ld threads\n", chains, threads);
  return 0;
}
