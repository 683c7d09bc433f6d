// What an avrt provider can tell beyond the three avrt.dll calls: who granted the calling
// thread's last registration, what refused it, and what the provider knows of RealtimeKit.
// Our Linux provider exports it; Windows' avrt.dll does not, so callers look it up at run time.
#pragma once

#include <windows.h>

#include <cstdint>

namespace quorvane {

constexpr const char* kAvrtExplainName = "QuorvaneAvrtExplain";

enum class AvrtGrantor : std::int32_t { kNone = 0, kKernel = 1, kRealtimeKit = 2 };

// Why the provider refused, beyond the kernel's errno; for RealtimeKit also how the process's
// last contact with it went. Values below 100 are the kernel's and RealtimeKit's paths.
enum class AvrtRefusal : std::int32_t {
  kNone = 0,                     // granted, not refused, or RealtimeKit answered
  kBusUnreachable = 1,           // no system bus at its address
  kBusTimedOut = 2,              // the bus or RealtimeKit did not answer in time; not asked again
  kRealtimeKitNotInstalled = 3,  // the bus knows no such service and cannot start one
  kRealtimeKitNotRunning = 4,    // the bus could start it (activatable) but it has no owner
  kRealtimeKitBusy = 5,          // its per-user or burst limit is reached
  kRealtimeKitBusyNotAsked = 6,  // the same answer to an earlier thread moments ago; not asked
  kRealtimeKitNotPermitted = 7,  // it refused the caller: polkit did not allow it
  kRealtimeKitRefused = 8,       // any other refusal of RealtimeKit's
  kTimeLimitTooShort = 9,        // the hard RLIMIT_RTTIME is too short to demote in time
  kTimeLimitNotLowered = 10,     // RLIMIT_RTTIME could not be lowered to RealtimeKit's maximum
};

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
  // Appended; the calling thread's last registration: why it was refused.
  AvrtRefusal refusal;
  // The budget: how the process's last contact with RealtimeKit went (kNone: it answered).
  AvrtRefusal realtimeKitContact;
};

// Fills `explanation`; with `budget` false only the calling thread's part, which is cheap.
using AvrtExplainFunction = BOOL(WINAPI*)(AvrtExplanation* explanation, BOOL budget);

}  // namespace quorvane
