// What an avrt provider can tell beyond the three avrt.dll calls: who granted the calling
// thread's last registration, what refused it, and what the provider knows of RealtimeKit.
// Our Linux provider exports it; Windows' avrt.dll does not, so callers look it up at run time.
#pragma once

#include <windows.h>

#include <cstdint>

namespace quorvane {

constexpr const char* kAvrtExplainName = "QuorvaneAvrtExplain";

enum class AvrtGrantor : std::int32_t { kNone = 0, kKernel = 1, kRealtimeKit = 2 };

struct AvrtExplanation {
  DWORD size;  // set by the caller to sizeof(AvrtExplanation), so the layout can grow
  // The calling thread's last AvSetMmMaxThreadCharacteristicsA.
  AvrtGrantor grantedBy;
  std::int32_t kernelErrno;   // the kernel's refusal; 0 when it granted or was not asked
  char realtimeKitSaid[160];  // RealtimeKit's refusal ("name: message"); empty when none
  // The process's budget: filled only when asked for, which asks RealtimeKit on the bus.
  BOOL realtimeKitAnswers;
  std::int32_t maxRealtimePriority;  // RealtimeKit's MaxRealtimePriority, 0 when unknown
  std::int64_t rtTimeUSecMax;        // RealtimeKit's RTTimeUSecMax, 0 when unknown
  BOOL inLoginSession;               // a logind session, which RealtimeKit's polkit rules want
};

// Fills `explanation`; with `budget` false only the calling thread's part, which is cheap.
using AvrtExplainFunction = BOOL(WINAPI*)(AvrtExplanation* explanation, BOOL budget);

}  // namespace quorvane
