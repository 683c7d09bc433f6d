// What an avrt provider can tell beyond the three avrt.dll calls: who granted the calling
// thread's last registration, what refused it, and what the provider knows of RealtimeKit.
// Our Linux provider exports it; Windows' avrt.dll does not, so callers look it up at run time.
#pragma once

#include <windows.h>

#include <cstdint>

namespace quorvane {

constexpr const char* kAvrtExplainName = "QuorvaneAvrtExplain";

enum class AvrtGrantor : std::int32_t { kNone = 0, kKernel = 1, kRealtimeKit = 2, kPortal = 3 };

// Why the provider refused, beyond the kernel's errno; for RealtimeKit also how the process's
// last contact with it went. Values below 100 are the kernel's and RealtimeKit's paths, from 100
// the provider's own rules and the portal's.
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
  kBusAddressRefused = 11,       // the system bus address is of a kind that cannot be bounded
  // The provider's own rules and the desktop portal (org.freedesktop.portal.Realtime).
  kUnknownPath = 100,              // QUORVANE_VIA names a path the provider does not know
  kPortalNotChosen,                // the paths chosen leave the portal out
  kPortalUnreachable,              // no session bus, or no portal on it
  kPortalAddressRefused,           // the session bus address is of a kind that cannot be bounded
  kPortalTimedOut,                 // the portal or the session bus did not answer in time
  kPortalPermissionStore,          // the permission store says `no` for this application
  kPortalPidMappingUnsupported,    // the portal cannot map this sandbox's ids (Snap, others)
  kPortalPidMapping,               // the portal could not map this process's ids
  kPortalOtherUser,                // the ids it mapped belong to another user
  kPortalRealtimeKitBusy,          // RealtimeKit behind it: a per-user limit is reached
  kPortalRealtimeKitNotPermitted,  // RealtimeKit behind it: not permitted (polkit, limits)
  kPortalRefused,                  // another answer
  kPortalNotApplied,               // the portal said yes, the thread is not real-time
  kPortalTimeLimit,                // RLIMIT_RTTIME could not be kept for its RTTimeUSecMax
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
  // The desktop portal, after the fields above. The calling thread's last registration:
  AvrtRefusal pathRefusal;  // kUnknownPath, or kNone
  AvrtRefusal
      portalRefusal;     // why the portal did not grant; kNone when it granted or was not asked
  char portalSaid[160];  // the portal's refusal ("name: message"), or why it was not asked
  // The budget, filled only when asked for (which asks the portal on the session bus):
  BOOL sandboxed;  // /.flatpak-info, or SNAP, SNAP_NAME and SNAP_REVISION set
  char paths[40];  // the paths in the order tried: "kernel,realtimekit,portal"
  BOOL portalAnswers;
  std::uint32_t portalVersion;
  std::int32_t portalMaxRealtimePriority;  // as the portal reports them
  std::int32_t portalMinNiceLevel;
  std::int64_t portalRTTimeUSecMax;
  // 0, absent or negative values (a portal started before RealtimeKit): requests use
  // RealtimeKit's defaults instead
  BOOL portalValuesUnusable;
};

// Fills `explanation`; with `budget` false only the calling thread's part, which is cheap.
using AvrtExplainFunction = BOOL(WINAPI*)(AvrtExplanation* explanation, BOOL budget);

}  // namespace quorvane
