#include "console.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <new>

#include "paths.h"
#include "report.h"
#include "test_run.h"
#include "version.h"

namespace quorvane {

namespace {
constexpr const char* kRule =
    "############################## Quorvane ##############################";

constexpr const char* kHelp[] = {
    "Usage: quorvane [count] [--explain | --json] [--service[=SECONDS] [--period=US] [--work=US]]",
    "                [--via=LIST]",
    "       quorvane --help | --version",
    "Starts count probe threads (128 by default), has each register with the MMCSS task",
    "\"Pro Audio\" and hold the registration until all have met, then prints how many",
    "succeeded and how many failed, and waits for a key.",
    "  count      the number of probe threads, read as strtol reads it (12abc is 12, abc is 0)",
    "  --explain  after the results, a report: who granted which scheduling, whether it was",
    "             applied, why the rest were refused, this process's budget and what to change",
    "  --json     the results and the report as one JSON object, without banner and pause",
    "  --service[=SECONDS]  with every registration held, each thread runs a periodic loop",
    "             for SECONDS (0.1 to 60, 1 by default) and the results say which threads",
    "             missed a period and how late they woke, by what they held",
    "  --period=US  the loop's period in microseconds (100 to 1000000, 2667 by default)",
    "  --work=US  the work in each period in microseconds (0 to the period, 100 by default)",
    "  --via=LIST the ways to real-time scheduling to try, in the order given, separated by",
    "             commas: kernel, portal, realtimekit on Linux; mmcss on Windows",
    "  --help     this text",
    "  --version  the version",
};

// A run, without the check that its output arrived.
int RunCount(std::int32_t count, ReportMode mode, const ServiceSettings& service) {
  const bool json = mode == ReportMode::kJson;
  if (!json) std::cout << "starting " << count << " threads" << std::endl;
  if (count > kMaxThreadCount) {
    (json ? std::cerr << "quorvane: " : std::cout)
        << "too many threads: the largest count accepted is " << kMaxThreadCount << std::endl;
    return kStatusTooManyThreads;
  }
  TestRun run;
  run.mode = mode;
  // Calibrated before any worker starts, on a processor they do not compete for yet.
  if (service.enabled) run.service = std::make_unique<ServicePhase>(service);
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
// Output that never reached its reader must not end as a success.
int Written(int status) {
  if (!std::cout.flush()) {
    std::cerr << "quorvane: the results could not be written to standard output" << std::endl;
    return kStatusOutputLost;
  }
  return status;
}

// An option's value after "=": whole, in range, else false. Every value needs its "=": a
// separate word would be read as the count.
bool Microseconds(const std::string& text, std::int64_t low, std::int64_t high,
                  std::int64_t* value) {
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' ||
      parsed < low || parsed > high) {
    return false;
  }
  *value = parsed;
  return true;
}

bool Seconds(const std::string& text, double* value) {
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  // Written so that NaN fails too.
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' ||
      !(parsed >= kServiceSecondsMin && parsed <= kServiceSecondsMax)) {
    return false;
  }
  *value = parsed;
  return true;
}

// The value of `--name=value`, or false when the argument is another option.
bool ValueOf(const std::string& argument, const std::string& name, std::string* value) {
  const std::string prefix = "--" + name + "=";
  if (argument.rfind(prefix, 0) != 0) return false;
  *value = argument.substr(prefix.size());
  return true;
}

// Checks the service options together; the first fault found, or empty.
std::string CheckService(const CommandLine& line, bool periodGiven, bool workGiven) {
  if (!line.serviceError.empty()) return line.serviceError;
  if ((periodGiven || workGiven) && !line.service.enabled) {
    return std::string(periodGiven ? "--period" : "--work") + " needs --service";
  }
  if (line.service.workUs > line.service.periodUs) {
    return "--work=" + std::to_string(line.service.workUs) + " is longer than the period (" +
           std::to_string(line.service.periodUs) + " us)";
  }
  return "";
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

CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  bool periodGiven = false;
  bool workGiven = false;
  std::string value;
  for (int i = 0; i < argc; ++i) {
    const std::string argument = argv[i];
    if (i == 0 || argument.rfind("--", 0) != 0) {
      line.arguments.push_back(argv[i]);
    } else if (argument == "--explain") {
      if (line.mode == ReportMode::kPlain) line.mode = ReportMode::kExplain;
    } else if (argument == "--json") {
      line.mode = ReportMode::kJson;
    } else if (argument == "--help") {
      line.help = true;
    } else if (argument == "--version") {
      line.version = true;
    } else if (argument == "--service") {
      line.service.enabled = true;
    } else if (ValueOf(argument, "service", &value)) {
      line.service.enabled = true;
      if (!Seconds(value, &line.service.seconds) && line.serviceError.empty()) {
        line.serviceError = "--service=" + value + ": the phase lasts 0.1 to 60 seconds";
      }
    } else if (ValueOf(argument, "period", &value)) {
      periodGiven = true;
      if (!Microseconds(value, kServicePeriodMinUs, kServicePeriodMaxUs, &line.service.periodUs) &&
          line.serviceError.empty()) {
        line.serviceError = "--period=" + value + ": the period is 100 to 1000000 microseconds";
      }
    } else if (ValueOf(argument, "work", &value)) {
      workGiven = true;
      if (!Microseconds(value, 0, kServicePeriodMaxUs, &line.service.workUs) &&
          line.serviceError.empty()) {
        line.serviceError = "--work=" + value + ": the work is 0 microseconds to the period";
      }
    } else if ((argument == "--period" || argument == "--work") && line.serviceError.empty()) {
      line.serviceError = argument + " needs its value after \"=\": " + argument + "=US";
    } else if (argument.rfind("--via=", 0) == 0) {
      line.viaGiven = true;
      line.via = argument.substr(6);
    } else if (line.unknownOption.empty()) {
      line.unknownOption = argument;
    }
  }
  line.serviceError = CheckService(line, periodGiven, workGiven);
  return line;
}

int RunTest(int argc, char** argv, ReportMode mode, const ServiceSettings& service) {
  return Written(RunCount(ThreadCountFromArguments(argc, argv), mode, service));
}

int Main(int argc, char** argv) {
  CommandLine line = ParseCommandLine(argc, argv);
  if (!line.unknownOption.empty()) {
    std::cerr << "quorvane: unknown option " << Printable(line.unknownOption)
              << " (see quorvane --help)" << std::endl;
    return kStatusUnknownOption;
  }
  if (!line.serviceError.empty()) {
    std::cerr << "quorvane: " << Printable(line.serviceError) << " (see quorvane --help)"
              << std::endl;
    return kStatusUnknownOption;
  }
  std::string unknownPath;
  if (line.viaGiven && !ChoosePaths(line.via, &unknownPath)) {
    std::cerr << "quorvane: --via: unknown path \"" << Printable(unknownPath)
              << "\" (known: " << PathWords() << ")" << std::endl;
    return kStatusUnknownOption;
  }
  if (line.help) {
    for (const char* text : kHelp) std::cout << text << std::endl;
    return Written(0);
  }
  if (line.version) {
    std::cout << "quorvane " << kVersion << std::endl;
    return Written(0);
  }
  if (line.mode != ReportMode::kJson) PrintUsage();
  return RunTest(static_cast<int>(line.arguments.size()), line.arguments.data(), line.mode,
                 line.service);
}

}  // namespace quorvane
