// Creates and terminates a spinning thread COUNT times (default 10000) and prints what the
// process's address space and mappings were before and after. Exit status 1 when they grew by
// more than 64 MiB or 100 mappings: a terminated thread that keeps its stack costs 2 MiB and 2
// mappings a cycle. The first cycles are counted from where the process started too, but
// measured from where they leave it: the C library caches a few stacks and gives threads a
// malloc arena (64 MiB of address space reserved), as for the first threads of any program.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr long kAllowedGrowthKiB = 64 * 1024;
constexpr long kAllowedMoreMappings = 100;

DWORD WINAPI Spin(LPVOID parameter) {
  static_cast<std::atomic<bool>*>(parameter)->store(true);
  for (;;) {
  }
}

long VmSizeKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::strtol(line.c_str() + 7, nullptr, 10);
  }
  return -1;
}

long Mappings() {
  std::ifstream maps("/proc/self/maps");
  long lines = 0;
  for (std::string line; std::getline(maps, line);) ++lines;
  return lines;
}

// One thread started, seen spinning, terminated and waited for. False when a call failed.
bool Cycle() {
  std::atomic<bool> spinning{false};
  HANDLE thread = CreateThread(nullptr, 0, Spin, &spinning, 0, nullptr);
  if (thread == nullptr) return false;
  while (!spinning) {
  }
  const bool ended =
      TerminateThread(thread, 0) && WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return ended;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
  constexpr long kFirstCycles = 10;
  const long sizeAtStart = VmSizeKiB();
  const long mappingsAtStart = Mappings();
  for (long cycle = 0; cycle < kFirstCycles; ++cycle) {
    if (!Cycle()) return 2;
  }
  const long sizeBefore = VmSizeKiB();
  const long mappingsBefore = Mappings();
  for (long cycle = kFirstCycles; cycle < count; ++cycle) {
    if (!Cycle()) {
      std::fprintf(stderr, "cycle %ld failed with error %u\n", cycle, GetLastError());
      return 2;
    }
  }
  const long sizeAfter = VmSizeKiB();
  const long mappingsAfter = Mappings();
  std::printf("at the start: VmSize %ld kB, %ld mappings\n", sizeAtStart, mappingsAtStart);
  std::printf("after %ld cycles: VmSize %ld kB, %ld mappings\n", kFirstCycles, sizeBefore,
              mappingsBefore);
  std::printf("after %ld cycles: VmSize %ld kB (%+ld kB), %ld mappings (%+ld)\n", count, sizeAfter,
              sizeAfter - sizeBefore, mappingsAfter, mappingsAfter - mappingsBefore);
  return sizeAfter - sizeBefore <= kAllowedGrowthKiB &&
                 mappingsAfter - mappingsBefore <= kAllowedMoreMappings
             ? 0
             : 1;
}
