// The Windows side of the report: no policies, and MMCSS's settings from the registry, read
// through advapi32 loaded at run time so that the executable imports nothing new.
#include <windows.h>

#include <cstring>
#include <string>

#include "mmcss_errors.h"
#include "proc_address.h"
#include "platform_explain.h"

namespace quorvane {

namespace {

constexpr const char* kSystemProfile =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Multimedia\\SystemProfile";
constexpr const char* kProAudioTask =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Multimedia\\SystemProfile\\Tasks\\Pro Audio";
// The values of a task that MMCSS reads; strings and numbers alike.
constexpr const char* kTaskValues[] = {"Affinity",     "Background Only", "Clock Rate",
                                       "GPU Priority", "Priority",        "Scheduling Category",
                                       "SFIO Priority"};
constexpr const char* kWindowsHint =
    "MMCSS allows 32 registrations per process unless the DWORD MaxThreadsPerProcess (8 to 128) "
    "under HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Multimedia\\SystemProfile says "
    "otherwise, and 256 in all unless MaxThreadsTotal (64 to 65535) does; restart after a change";

using RegGetValueFunction = LONG(WINAPI*)(HKEY, LPCSTR, LPCSTR, DWORD, LPDWORD, PVOID, LPDWORD);
using WineVersionFunction = const char*(CDECL*)();

// A registry value as JSON and as text, or null when it is not set.
struct Value {
  bool set = false;
  std::string json = kJsonNull;
  std::string text = "not set";
};

Value ReadValue(RegGetValueFunction regGetValue, const char* key, const char* name) {
  Value value;
  if (regGetValue == nullptr) return value;
  char data[512];
  DWORD type = 0;
  DWORD size = sizeof data - 1;
  if (regGetValue(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD | RRF_RT_REG_SZ, &type, data,
                  &size) != ERROR_SUCCESS) {
    return value;
  }
  value.set = true;
  if (type == REG_DWORD) {
    DWORD number = 0;
    std::memcpy(&number, data, sizeof number);
    value.json = JsonNumber(number);
    value.text = std::to_string(number);
  } else {
    data[size < sizeof data ? size : sizeof data - 1] = '\0';
    value.text = data;
    value.json = JsonString(value.text);
  }
  return value;
}

bool AnyRefusal(const Report& report, DWORD error) {
  for (const RefusalGroup& refusal : report.refusals) {
    if (refusal.error == error) return true;
  }
  return false;
}

}  // namespace

void ReadOwnPolicy(ThreadScheduling*) {}

std::string PolicyName(std::int32_t) {
  return "";
}

bool IsRealTime(const ThreadScheduling& scheduling) {
  constexpr std::int32_t kLowestRealtimePriority = 16;
  constexpr std::int32_t kHighestRealtimePriority = 31;
  return scheduling.read && scheduling.priority >= kLowestRealtimePriority &&
         scheduling.priority <= kHighestRealtimePriority;
}

const char* DefaultGrantor() {
  return "MMCSS";
}

void DescribeBudget(const Report& report, Budget* budget) {
  // Wine's own ntdll exports its version; Windows' does not.
  const auto wineVersion =
      compat::ProcAddress<WineVersionFunction>(GetModuleHandleA("ntdll.dll"), "wine_get_version");
  const auto regGetValue =
      compat::ProcAddress<RegGetValueFunction>(LoadLibraryA("advapi32.dll"), "RegGetValueA");
  auto& fields = budget->fields;
  fields.push_back({"platform", JsonString("windows"), "platform: Windows"});
  fields.push_back({"wine", wineVersion ? JsonString(wineVersion()) : kJsonNull,
                    wineVersion ? std::string("Wine ") + wineVersion() +
                                      ": the numbers describe the avrt.dll Wine loaded, not Windows"
                                : "Wine: no"});
  const bool loaded = !MmcssClient::LoadFailed();
  fields.push_back({"avrt_library", JsonString(loaded ? "loaded" : "absent"),
                    std::string("avrt.dll: ") + (loaded ? "loaded" : "not found")});
  const struct {
    const char* key;
    const char* name;
  } kProfileValues[] = {{"max_threads_per_process", "MaxThreadsPerProcess"},
                        {"max_threads_total", "MaxThreadsTotal"},
                        {"system_responsiveness", "SystemResponsiveness"}};
  for (const auto& entry : kProfileValues) {
    const Value value = ReadValue(regGetValue, kSystemProfile, entry.name);
    fields.push_back({entry.key, value.json, std::string(entry.name) + ": " + value.text});
  }
  std::string json = "{";
  std::string text = "\"Pro Audio\" task:";
  for (const char* name : kTaskValues) {
    const Value value = ReadValue(regGetValue, kProAudioTask, name);
    if (!value.set) continue;
    if (json.size() > 1) json += ",";
    json += JsonString(name) + ":" + value.json;
    text += std::string(" ") + name + " " + value.text + ";";
  }
  if (text.back() == ';') {
    text.pop_back();
  } else {
    text += " not set";
  }
  fields.push_back({"pro_audio_task", json + "}", text});

  auto& hints = budget->hints;
  if (wineVersion) {
    hints.push_back(
        "under Wine the count describes Wine's avrt.dll, or the one beside the tool, "
        "not Windows: run the tool on Windows for MMCSS's answer");
  }
  if (!loaded) hints.push_back("avrt.dll could not be loaded: MMCSS needs Windows Vista or later");
  if (report.verified.demoted > 0) {
    hints.push_back(
        "threads demoted during their work: " + std::to_string(report.verified.demoted) +
        "; MMCSS lowers threads that used their share (see SystemResponsiveness)");
  }
  if (AnyRefusal(report, ERROR_TOO_MANY_THREADS) && !wineVersion) hints.push_back(kWindowsHint);
}

}  // namespace quorvane
