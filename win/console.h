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

// Prints the start line, then runs the test, prints its results and waits for a key.
// Returns the exit status: 1 when the count is larger than a run accepts, otherwise 0.
int RunTest(int argc, char** argv);

}  // namespace quorvane
