// What the avrt tests share: the preset table and access to the stand-in's records.
#pragma once

#include "mmcss.h"
#include "mmcss_errors.h"
#include "proc_address.h"

#include <windows.h>

#include <cstring>
#include <iterator>
#include <string>

namespace quorvane {

struct PresetRow {
  const char* name;
  const MmcssProfile* preset;
  MmcssProfile expected;
};

inline constexpr PresetRow kPresetTable[] = {
    {"kProAudioCritical", &kProAudioCritical, {true, true, true, "Pro Audio", 2, 26}},
    {"kProAudioHigh", &kProAudioHigh, {true, true, false, "Pro Audio", 1, 25}},
    {"kAudioLow", &kAudioLow, {true, false, false, "Audio", -1, 20}},
    {"kNoMmcss", &kNoMmcss, {false, false, false, "", -1, -1}},
};
static_assert(std::size(kPresetTable) == 4, "four presets");

// An export of the loaded stand-in; null when avrt.dll is not loaded.
template <typename Function>
Function FakeAvrtFunction(const char* name) {
  return compat::ProcAddress<Function>(GetModuleHandleA("avrt.dll"), name);
}

// The calls the stand-in received, one per line ("register <task>|<task>|<index>",
// "priority <value>", "revert <handle>").
inline std::string FakeAvrtCalls() {
  auto calls = FakeAvrtFunction<int (*)(char*, int)>("FakeAvrtCalls");
  if (calls == nullptr) return "<avrt.dll not loaded>";
  std::string text(1 << 16, '\0');
  calls(text.data(), static_cast<int>(text.size()));
  text.resize(std::strlen(text.c_str()));
  return text;
}

inline int FakeAvrtMostInside() {
  auto mostInside = FakeAvrtFunction<int (*)()>("FakeAvrtMostInside");
  return mostInside == nullptr ? -1 : mostInside();
}

inline std::string RegisterLine(const MmcssProfile& profile) {
  return std::string("register ") + profile.taskName + "|" + profile.taskName + "|0\n";
}

}  // namespace quorvane
