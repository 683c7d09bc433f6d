#include "console.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <new>

#include "test_run.h"

namespace quorvane {

namespace {
constexpr const char* kRule =
    "############################## Quorvane ##############################";

// A run, without the check that its output arrived.
int RunCount(std::int32_t count) {
  std::cout << "starting " << count << " threads" << std::endl;
  if (count > kMaxThreadCount) {
    std::cout << "too many threads: the largest count accepted is " << kMaxThreadCount << std::endl;
    return kStatusTooManyThreads;
  }
  TestRun run;
  try {
    run.Create(count);
  } catch (const std::bad_alloc&) {
    // No thread has started yet, so returning tears down only what was made.
    std::cerr << "quorvane: out of memory: made " << run.workers.size() << " of the " << count
              << " workers of the run" << std::endl;
    return kStatusOutOfMemory;
  }
  if (!run.barrier->Ready()) {
    // Without the barrier the registrations would not be held at once: counts would mislead.
    std::cerr << "quorvane: the start barrier could not be made (error "
              << run.barrier->creationError << "); no thread was started" << std::endl;
    return kStatusNoBarrier;
  }
  run.StartWorkers();
  run.WaitForCompletion();
  return 0;
}
}  // namespace

void PrintUsage() {
  // Some lines end in a space: it is part of the text, and tests compare it byte for byte.
  std::cout << kRule << std::endl;
  std::cout << std::endl;
  std::cout << "This tool checks how many threads can run with MMCSS priority in a single process."
            << std::endl;
  std::cout << "By default it will create and start 128 threads with MMCSS priority." << std::endl;
  std::cout << "It will display the amount of threads which has been running with MMCSS "
            << std::endl;
  std::cout << "priority successfully and the amount of threads which has failed to run "
            << std::endl;
  std::cout << "with MMCSS priority." << std::endl;
  std::cout << std::endl;
  std::cout << "By default Windows 10 will succeed with 32 threads and fail with 96 threads. "
            << std::endl;
  std::cout << "Windows versions prior to Windows 10 should allow any amount of threads to succeed."
            << std::endl;
  std::cout << "To change the amount of threads run quorvane.exe <amount>" << std::endl;
  std::cout << std::endl;
  std::cout << kRule << std::endl;
  std::cout << std::endl;
}

std::int32_t ThreadCountFromArguments(int argc, char** argv) {
  if (argc < 2) return kDefaultThreadCount;
  // long is 32 bits on Windows and 64 on Linux: saturate the same way on both.
  const long parsed = std::strtol(argv[1], nullptr, 10);
  return static_cast<std::int32_t>(std::clamp<long>(
      parsed, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

int RunTest(int argc, char** argv) {
  const int status = RunCount(ThreadCountFromArguments(argc, argv));
  // Results that never reached their reader must not end as a success.
  if (!std::cout.flush()) {
    std::cerr << "quorvane: the results could not be written to standard output" << std::endl;
    return kStatusOutputLost;
  }
  return status;
}

}  // namespace quorvane
