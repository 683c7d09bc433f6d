// The tool's console text: the usage banner, the thread count and the start line.
#pragma once

#include <cstdint>

namespace quorvane {

constexpr std::int32_t kDefaultThreadCount = 128;

void PrintUsage();

// The thread count from the command line: the first argument by strtol's rules (white space
// skipped, optional sign, stops at the first non-digit, no digits give 0), saturated to the
// signed 32-bit range whatever the width of long.
std::int32_t ThreadCountFromArguments(int argc, char** argv);

// Exit statuses other than 0. A closed pipe on standard output ends the tool by SIGPIPE, as
// it ends any filter.
constexpr int kStatusTooManyThreads = 1;  // the count is larger than a run accepts
constexpr int kStatusOutputLost = 2;      // standard output could not be written
constexpr int kStatusOutOfMemory = 3;     // the run's workers could not all be made
constexpr int kStatusNoBarrier = 4;       // the start barrier's semaphore could not be made

// Prints the start line, then runs the test, prints its results and waits for a key.
// Returns the exit status: 0, or one of the above.
int RunTest(int argc, char** argv);

}  // namespace quorvane
