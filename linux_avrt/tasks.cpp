// Windows' default MMCSS tasks and where their threads run on Linux.
//
// Every band lies within 2..20: RealtimeKit hands out at most priority 20 by default, so a
// thread gets the same priority whoever grants it, and all stay below the kernel's threaded
// interrupt handlers (50), which feed the audio these threads process. "Pro Audio", in
// MMCSS's high category, takes the top band; the medium-category tasks sit below it in the
// order of their MMCSS priorities (Audio 6, Capture and Window Manager 5, Distribution 4,
// Playback 3, Games 2), two real-time steps per MMCSS step.
#include "provider.h"

#include <array>
#include <iterator>

namespace avrt {
namespace {

constexpr std::array<Task, 7> kTasks = {{
    {"Audio", 12},
    {"Capture", 10},
    {"Distribution", 8},
    {"Games", 4},
    {"Playback", 6},
    {"Pro Audio", 18},
    {"Window Manager", 10},
}};
static_assert(std::size(kTasks) == 7, "Windows has seven default tasks");

constexpr bool BandsFitRealtimeKitsDefaults() {
  for (const Task& task : kTasks) {
    if (task.PriorityFor(-2) < 1 || task.Top() > 20) return false;
  }
  return true;
}
static_assert(BandsFitRealtimeKitsDefaults(), "every band within 1..20");

// strcasecmp follows the locale, where a Turkish one folds 'I' to a dotless 'i'.
constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const char* known, const char* name) {
  for (; *known != '\0' && AsciiLower(*known) == AsciiLower(*name); ++known, ++name) {
  }
  return *known == '\0' && *name == '\0';
}

}  // namespace

const Task* FindTask(const char* name) {
  for (const Task& task : kTasks) {
    if (SameName(task.name, name)) return &task;
  }
  return nullptr;
}

DWORD TaskIndex(const Task& task) {
  return static_cast<DWORD>(&task - kTasks.data()) + 1;
}

}  // namespace avrt
