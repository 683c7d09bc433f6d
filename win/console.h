// The tool's console text: the usage banner, the thread count and the start line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service.h"
#include "test_run.h"

namespace quorvane {

constexpr std::int32_t kDefaultThreadCount = 128;

void PrintUsage();

// The thread count from the command line: the first argument by strtol's rules (white space
// skipped, optional sign, stops at the first non-digit, no digits give 0), saturated to the
// signed 32-bit range whatever the width of long.
std::int32_t ThreadCountFromArguments(int argc, char** argv);

// The command line: arguments that start with "--" are options, the others keep their places
// (the first is the count).
struct CommandLine {
  ReportMode mode = ReportMode::kPlain;
  bool help = false;
  bool version = false;
  std::string unknownOption;  // the first option not known, if any
  ServiceSettings service;
  std::string serviceError;  // what is wrong with the service options, if anything
  bool viaGiven = false;     // --via=LIST, the last one given
  std::string via;
  std::vector<char*> arguments;  // the program's name and every argument that is no option
};
CommandLine ParseCommandLine(int argc, char** argv);

// Exit statuses other than 0. A closed pipe on standard output ends the tool by SIGPIPE, as
// it ends any filter.
constexpr int kStatusTooManyThreads = 1;  // the count is larger than a run accepts
constexpr int kStatusUnknownOption = 1;   // an option the tool does not know, or a bad value
constexpr int kStatusOutputLost = 2;      // standard output could not be written
constexpr int kStatusOutOfMemory = 3;     // the run's workers could not all be made
constexpr int kStatusNoBarrier = 4;       // the start barrier's semaphore could not be made

// Prints the start line, then runs the test, prints its results (and the report `mode` asks
// for) and waits for a key; in JSON mode only the report is printed. With `service` enabled
// the workers run the service phase after the barrier. Returns the exit status: 0, or one of
// the above.
int RunTest(int argc, char** argv, ReportMode mode, const ServiceSettings& service);

// The whole tool: options, banner, run. Returns the exit status.
int Main(int argc, char** argv);

}  // namespace quorvane
