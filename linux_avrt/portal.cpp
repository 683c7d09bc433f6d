// The desktop portal's Realtime interface, reached through sd-bus on the session bus named by
// DBUS_SESSION_BUS_ADDRESS, or $XDG_RUNTIME_DIR/bus. It forwards to RealtimeKit, whose
// per-user limits it shares with direct callers, and passes RealtimeKit's answers on.
#include "portal.h"

#include "bus.h"
#include "explain.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace avrt {
namespace {

using quorvane::AvrtRefusal;

constexpr RealtimeService kService = {"org.freedesktop.portal.Desktop",
                                      "/org/freedesktop/portal/desktop",
                                      "org.freedesktop.portal.Realtime"};
// What RealtimeKit grants as it ships: asked for when the portal's own values are unusable.
constexpr int kRealtimeKitDefaultPriority = 20;
constexpr std::int64_t kRealtimeKitDefaultRTTimeUSec = 200000;

bool Says(const RealtimeAnswer& answer, const char* text) {
  return std::strstr(answer.message, text) != nullptr;
}

// The portal's refusals by its own fixed texts and error names, RealtimeKit's passed on by
// RealtimeKit's own (never the caller's locale).
AvrtRefusal Classify(const RealtimeAnswer& answer) {
  if (Says(answer, "Mapping pids is not supported"))
    return AvrtRefusal::kPortalPidMappingUnsupported;
  if (Says(answer, "doesn't belong to the target user")) return AvrtRefusal::kPortalOtherUser;
  if (Says(answer, "Could not map") || Says(answer, "Process ids could not be found") ||
      Says(answer, "instance-id") || Says(answer, "pid namespace")) {
    return AvrtRefusal::kPortalPidMapping;
  }
  if (std::strcmp(answer.name, "org.freedesktop.portal.Error.NotAllowed") == 0) {
    return AvrtRefusal::kPortalPermissionStore;
  }
  if (Says(answer, "Device or resource busy")) return AvrtRefusal::kPortalRealtimeKitBusy;
  if (Says(answer, "Operation not permitted")) return AvrtRefusal::kPortalRealtimeKitNotPermitted;
  return AvrtRefusal::kPortalRefused;
}

}  // namespace

void Portal::GiveUp(AvrtRefusal why) {
  refusal = why;
  sd_bus_close_unref(bus);
  bus = nullptr;
}

void Portal::RenewAfterFork() {
  new (&Instance()) Portal;
}

bool Portal::Connect() {
  if (bus != nullptr) return true;
  char standard[4096];
  const char* address = secure_getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr) {
    const char* runtime = secure_getenv("XDG_RUNTIME_DIR");
    char path[sizeof standard];
    if (runtime == nullptr ||
        std::snprintf(path, sizeof path, "%s/bus", runtime) >= static_cast<int>(sizeof path) ||
        !UnixPathAddress(path, standard, sizeof standard)) {
      std::snprintf(refusedBecause, sizeof refusedBecause,
                    "no session bus (neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set)");
      GiveUp(AvrtRefusal::kPortalUnreachable);
      return false;
    }
    address = standard;
  }
  const OpenedBus opened = OpenBus(address);
  bus = opened.bus;
  if (opened.result == BusOpened::kReady) return true;
  const bool timedOut = opened.result == BusOpened::kTimedOut;
  std::snprintf(
      refusedBecause, sizeof refusedBecause, "%s%s%s%s",
      timedOut ? "no answer on the session bus in time" : "the session bus could not be reached",
      opened.refusedBecause[0] != '\0' ? " (" : "", opened.refusedBecause,
      opened.refusedBecause[0] != '\0' ? ")" : "");
  GiveUp(timedOut                                      ? AvrtRefusal::kPortalTimedOut
         : opened.result == BusOpened::kAddressRefused ? AvrtRefusal::kPortalAddressRefused
                                                       : AvrtRefusal::kPortalUnreachable);
  return false;
}

// Read once, before the first request. `version` tells whether the portal is there at all;
// the values after it may be missing, or 0 from a portal that started before RealtimeKit.
bool Portal::ReadValues() {
  if (valuesRead) return true;
  PortalValues read;
  int result = ReadProperty(bus, kService, "version", 'u', &read.version);
  if (result < 0) {
    const bool timedOut = result == -ETIMEDOUT;
    std::snprintf(
        refusedBecause, sizeof refusedBecause, "%s",
        timedOut ? "no answer from the portal in time" : "no Realtime portal on the session bus");
    GiveUp(timedOut ? AvrtRefusal::kPortalTimedOut : AvrtRefusal::kPortalUnreachable);
    return false;
  }
  std::int32_t rtTimeInt32 = 0;
  result = ReadProperty(bus, kService, "MaxRealtimePriority", 'i', &read.maxRealtimePriority);
  if (result != -ETIMEDOUT) {
    result = ReadProperty(bus, kService, "MinNiceLevel", 'i', &read.minNiceLevel);
  }
  if (result != -ETIMEDOUT) {
    result = ReadProperty(bus, kService, "RTTimeUSecMax", 'x', &read.rtTimeUSecMax);
    // Portals before 1.15 declared it 32 bits wide.
    if (result < 0 && result != -ETIMEDOUT &&
        (result = ReadProperty(bus, kService, "RTTimeUSecMax", 'i', &rtTimeInt32)) >= 0) {
      read.rtTimeUSecMax = rtTimeInt32;
    }
  }
  if (result == -ETIMEDOUT) {
    std::snprintf(refusedBecause, sizeof refusedBecause, "no answer from the portal in time");
    GiveUp(AvrtRefusal::kPortalTimedOut);
    return false;
  }
  read.unusable = read.maxRealtimePriority < 1 || read.rtTimeUSecMax <= 0;
  values = read;
  valuesRead = true;
  return true;
}

bool Portal::Reachable(DWORD* error, AvrtRefusal* why) {
  if (refusal == AvrtRefusal::kNone && BusBudget::Instance().Spent()) {
    std::snprintf(refusedBecause, sizeof refusedBecause,
                  "no answer in time (the process's time for the buses is spent)");
    GiveUp(AvrtRefusal::kPortalTimedOut);
  }
  if (refusal == AvrtRefusal::kNone && Connect() && ReadValues()) return true;
  *error = refusal == AvrtRefusal::kPortalTimedOut ? ERROR_TIMEOUT : ERROR_ACCESS_DENIED;
  *why = refusal;
  NotePortalRefused(refusal, refusedBecause);
  return false;
}

int Portal::MakeRealtime(pid_t threadId, int priority, DWORD* error, AvrtRefusal* why) {
  std::lock_guard<std::mutex> hold(lock);
  if (!Reachable(error, why)) return 0;
  if (Now() < busyUntil.load(std::memory_order_relaxed)) {
    *error = ERROR_TOO_MANY_THREADS;
    *why = AvrtRefusal::kPortalRealtimeKitBusy;
    NotePortalRefused(*why, busySaid);
    return 0;
  }
  // RealtimeKit behind the portal refuses a process that could run real-time for longer than
  // its maximum; with no usable value its default, never 0 nor unlimited.
  const std::int64_t ceiling =
      values.unusable ? kRealtimeKitDefaultRTTimeUSec : values.rtTimeUSecMax;
  if (!RealtimeTimeLimit::Instance().Tighten(static_cast<rlim_t>(ceiling), error)) {
    *why = AvrtRefusal::kPortalTimeLimit;
    NotePortalRefused(*why, *error == ERROR_NOT_ENOUGH_QUOTA
                                ? "its RTTimeUSecMax is too short to demote a thread in time"
                                : "RLIMIT_RTTIME could not be lowered to its RTTimeUSecMax");
    return 0;
  }
  const int top = values.unusable ? kRealtimeKitDefaultPriority : values.maxRealtimePriority;
  const RealtimeAnswer answer =
      RequestRealtime(&bus, kService, threadId, std::clamp(priority, 1, top));
  if (answer.outOfMemory) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  // What the thread holds is the grant, whatever the answer said: the portal maps ids, and
  // only the thread itself tells whether the right one was raised.
  const int held = answer.realtimePriority;
  // A request that timed out, or a connection that failed, is not tried again.
  if (!answer.answered) {
    std::snprintf(
        refusedBecause, sizeof refusedBecause, "%s",
        answer.late ? "no answer from the portal in time" : "the session bus connection closed");
    GiveUp(answer.late ? AvrtRefusal::kPortalTimedOut : AvrtRefusal::kPortalUnreachable);
  }
  if (held > 0) return held;
  if (!answer.answered) {
    *error = answer.late ? ERROR_TIMEOUT : ERROR_ACCESS_DENIED;
    *why = refusal;
    NotePortalRefused(refusal, refusedBecause);
    return 0;
  }
  char said[sizeof answer.name + sizeof answer.message + 2];
  if (answer.granted) {
    *why = AvrtRefusal::kPortalNotApplied;
    std::snprintf(said, sizeof said, "it answered yes, yet the thread is not real-time");
  } else {
    *why = Classify(answer);
    // GDBus passes RealtimeKit's error on with its name before the text once more.
    const char* message = answer.message;
    if (std::strncmp(message, "GDBus.Error:", 12) == 0 && std::strstr(message, ": ") != nullptr) {
      message = std::strstr(message, ": ") + 2;
    }
    std::snprintf(said, sizeof said, "%s: %s", answer.name, message);
  }
  *error =
      *why == AvrtRefusal::kPortalRealtimeKitBusy ? ERROR_TOO_MANY_THREADS : ERROR_ACCESS_DENIED;
  NotePortalRefused(*why, said);
  if (*why == AvrtRefusal::kPortalRealtimeKitBusy) {
    std::snprintf(busySaid, sizeof busySaid, "%s (its answer to an earlier thread; not asked)",
                  said);
    busyUntil.store(Now() + kBusyMicroseconds, std::memory_order_relaxed);
  }
  return 0;
}

bool Portal::Values(PortalValues* read) {
  std::lock_guard<std::mutex> hold(lock);
  DWORD error = ERROR_SUCCESS;
  AvrtRefusal why = AvrtRefusal::kNone;
  if (!Reachable(&error, &why)) return false;
  *read = values;
  return true;
}

}  // namespace avrt
