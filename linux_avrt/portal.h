// The desktop portal's Realtime interface on the session bus: how a sandboxed process reaches
// RealtimeKit, which cannot see its thread ids. The portal maps them and forwards the request.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "avrt_explanation.h"
#include "provider.h"

struct sd_bus;

namespace avrt {

// What the portal reports of RealtimeKit, read once it answers.
struct PortalValues {
  std::uint32_t version = 0;
  std::int32_t maxRealtimePriority = 0;
  std::int32_t minNiceLevel = 0;
  std::int64_t rtTimeUSecMax = 0;
  // A portal started before RealtimeKit was reachable reports 0 for ever: a limit of 0 would
  // have the kernel kill the process at once, so requests use RealtimeKit's defaults instead.
  bool unusable = false;
};

// One connection for the process, opened on first need, waiting within the process's one budget
// for the buses; one that failed or timed out is not asked again (a forked child opens its own).
class Portal {
 public:
  // Asks for SCHED_RR at `priority` (clamped to 1..the portal's MaxRealtimePriority), with a
  // RealtimeTimeLimit held. Returns the priority the thread holds afterwards, read back from
  // it, or 0 with the Windows error and `*why` the reason.
  int MakeRealtime(pid_t threadId, int priority, DWORD* error, quorvane::AvrtRefusal* why);
  // The portal's values, as a request would read them: false when it cannot be asked now.
  bool Values(PortalValues* values);
  void GrantEnded() { busyUntil.store(0, std::memory_order_relaxed); }

  static Portal& Instance() { return Lasting<Portal>(); }
  // In a forked child: no connection (the parent's is left untouched).
  static void RenewAfterFork();

 private:
  friend Portal& Lasting<Portal>();
  Portal() = default;
  bool Reachable(DWORD* error, quorvane::AvrtRefusal* why);
  bool Connect();
  bool ReadValues();
  void GiveUp(quorvane::AvrtRefusal why);

  std::mutex lock;  // one sd-bus connection must not be used by two threads at once
  sd_bus* bus = nullptr;
  quorvane::AvrtRefusal refusal = quorvane::AvrtRefusal::kNone;  // once set, every answer
  char refusedBecause[192] = "";                                 // what the notes say for `refusal`
  bool valuesRead = false;
  PortalValues values;
  // As for RealtimeKit: after its "busy", threads within a second are not sent.
  std::atomic<std::uint64_t> busyUntil{0};
  char busySaid[320] = "";
};

}  // namespace avrt
