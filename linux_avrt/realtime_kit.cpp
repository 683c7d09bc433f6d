// RealtimeKit, the system service that hands real-time scheduling to unprivileged users
// within per-user limits. Reached through sd-bus on the system bus named by
// DBUS_SYSTEM_BUS_ADDRESS, or the standard one.
#include "provider.h"

#include "bus.h"
#include "explain.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace avrt {
namespace {

constexpr RealtimeService kRealtimeKit = {"org.freedesktop.RealtimeKit1",
                                          "/org/freedesktop/RealtimeKit1",
                                          "org.freedesktop.RealtimeKit1"};
constexpr const char* kSpawnErrors = "org.freedesktop.DBus.Error.Spawn.";
constexpr const char* kStandardSystemBus = "unix:path=/run/dbus/system_bus_socket";

using quorvane::AvrtRefusal;

struct Verdict {
  DWORD error;
  AvrtRefusal why;
};

bool Named(const sd_bus_error& error, const char* name) {
  return error.name != nullptr && std::strcmp(error.name, name) == 0;
}

// RealtimeKit answers every refusal as AccessDenied with strerror's text in its own C locale,
// whatever the caller's: its per-user thread, process and burst limits read "Device or resource
// busy", polkit's refusal "Operation not permitted". The bus itself answers for a service that
// is not there: unknown (nothing could start it), or activatable but failing to start.
Verdict Classify(const sd_bus_error& error) {
  const bool denied = Named(error, SD_BUS_ERROR_ACCESS_DENIED);
  const auto says = [&error](const char* text) {
    return error.message != nullptr && std::strcmp(error.message, text) == 0;
  };
  if (denied && says("Device or resource busy")) {
    return {ERROR_TOO_MANY_THREADS, AvrtRefusal::kRealtimeKitBusy};
  }
  if (denied && says("Operation not permitted")) {
    return {ERROR_ACCESS_DENIED, AvrtRefusal::kRealtimeKitNotPermitted};
  }
  if (Named(error, SD_BUS_ERROR_SERVICE_UNKNOWN)) {
    return {ERROR_ACCESS_DENIED, AvrtRefusal::kRealtimeKitNotInstalled};
  }
  // NoReply: the service left the bus without answering.
  if (Named(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) || Named(error, SD_BUS_ERROR_NO_REPLY) ||
      (error.name != nullptr &&
       std::strncmp(error.name, kSpawnErrors, std::strlen(kSpawnErrors)) == 0)) {
    return {ERROR_ACCESS_DENIED, AvrtRefusal::kRealtimeKitNotRunning};
  }
  if (Named(error, SD_BUS_ERROR_TIMEOUT) || Named(error, "org.freedesktop.DBus.Error.TimedOut")) {
    return {ERROR_TIMEOUT, AvrtRefusal::kBusTimedOut};
  }
  return {ERROR_ACCESS_DENIED, AvrtRefusal::kRealtimeKitRefused};
}

// Whether RealtimeKit itself answered: its refusals are answers; a missing or silent service
// is not.
bool ContactMade(AvrtRefusal why) {
  return why == AvrtRefusal::kNone || why == AvrtRefusal::kRealtimeKitBusy ||
         why == AvrtRefusal::kRealtimeKitNotPermitted || why == AvrtRefusal::kRealtimeKitRefused;
}

void Describe(const sd_bus_error& error, char* text, std::size_t size) {
  std::snprintf(text, size, "%s: %s", error.name != nullptr ? error.name : "",
                error.message != nullptr ? error.message : "");
}

}  // namespace

RealtimeKit::RealtimeKit() = default;

// Limits read before are not given again until RealtimeKit answers again.
void RealtimeKit::ContactFailed(AvrtRefusal why, const char* said) {
  // A service that answered this process before and is unknown to the bus now has stopped.
  contact = why == AvrtRefusal::kRealtimeKitNotInstalled && answeredBefore
                ? AvrtRefusal::kRealtimeKitNotRunning
                : why;
  maxPriority = 0;
  if (said != nullptr) {
    std::snprintf(contactSaid, sizeof contactSaid, "%s", said);
  } else {
    std::snprintf(contactSaid, sizeof contactSaid, "%s",
                  why == AvrtRefusal::kBusTimedOut ? "no answer on the system bus in time"
                                                   : "the system bus could not be reached");
  }
}

void RealtimeKit::GiveUp(DWORD error, AvrtRefusal why, const char* said) {
  ContactFailed(why, said);
  refusal = error;
  sd_bus_close_unref(bus);
  bus = nullptr;
}

// A child of fork() must not use its parent's connection (sd-bus refuses it there): it opens
// its own when it needs one.
void RealtimeKit::RenewAfterFork() {
  new (&Instance()) RealtimeKit;
}

// The address as sd-bus itself reads it: not from the environment of a program that runs with
// more rights than its caller.
bool RealtimeKit::Connect(DWORD* error) {
  if (bus != nullptr) return true;
  const char* address = secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
  const OpenedBus opened = OpenBus(address != nullptr ? address : kStandardSystemBus);
  bus = opened.bus;
  if (opened.result != BusOpened::kReady) {
    // A bus that cannot be reached now is not asked again. An entry of the address that was
    // refused may be the bus meant: its reason goes with the refusal.
    char said[sizeof opened.refusedBecause + 48];
    std::snprintf(said, sizeof said, "the system bus could not be reached (%s)",
                  opened.refusedBecause);
    const char* why = opened.refusedBecause[0] != '\0' ? said : nullptr;
    if (opened.result == BusOpened::kTimedOut) {
      GiveUp(ERROR_TIMEOUT, AvrtRefusal::kBusTimedOut, why);
    } else {
      GiveUp(ERROR_ACCESS_DENIED,
             opened.result == BusOpened::kAddressRefused ? AvrtRefusal::kBusAddressRefused
                                                         : AvrtRefusal::kBusUnreachable,
             why);
    }
    *error = refusal;
    return false;
  }
  return true;
}

// Read once: a service that is not running yet is asked again by the next thread.
bool RealtimeKit::ReadLimits(DWORD* error) {
  if (maxPriority > 0) return true;
  int priority = 0;
  std::int64_t microseconds = 0;
  sd_bus_error failure = SD_BUS_ERROR_NULL;
  int result = ReadProperty(bus, kRealtimeKit, "MaxRealtimePriority", 'i', &priority, &failure);
  if (result >= 0) {
    result = ReadProperty(bus, kRealtimeKit, "RTTimeUSecMax", 'x', &microseconds, &failure);
  }
  if (result == -ETIMEDOUT) {
    sd_bus_error_free(&failure);
    GiveUp(ERROR_TIMEOUT, AvrtRefusal::kBusTimedOut);
    *error = refusal;
    return false;
  }
  *error = ERROR_ACCESS_DENIED;
  if (result < 0) {
    const bool named = sd_bus_error_is_set(&failure);
    char said[sizeof contactSaid] = "RealtimeKit gave no limits";
    if (named) Describe(failure, said, sizeof said);
    ContactFailed(named ? Classify(failure).why : AvrtRefusal::kRealtimeKitNotRunning, said);
    sd_bus_error_free(&failure);
    return false;
  }
  sd_bus_error_free(&failure);
  contact = AvrtRefusal::kNone;
  answeredBefore = true;
  // A limit of 0 would have the kernel kill the process at once.
  if (priority < 1 || microseconds <= 0) {
    contact = AvrtRefusal::kRealtimeKitRefused;
    std::snprintf(contactSaid, sizeof contactSaid, "RealtimeKit gave no usable limits");
    return false;
  }
  maxPriority = priority;
  maxRealtimeMicroseconds = microseconds;
  return true;
}

// The grant is what the thread holds when the call ends, whatever the answer says: a service
// that died between applying it and answering has still granted it.
int RealtimeKit::Ask(pid_t threadId, int priority, DWORD* error) {
  const int before = RealtimePriority(threadId);
  const RealtimeAnswer answer = RequestRealtime(&bus, kRealtimeKit, threadId, priority);
  if (answer.outOfMemory) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  const int now = answer.realtimePriority;
  const int held = answer.granted ? priority : (now != before ? now : 0);
  if (!answer.answered) {
    // A call that timed out, or a connection that failed, is not tried again.
    GiveUp(answer.late ? ERROR_TIMEOUT : ERROR_ACCESS_DENIED,
           answer.late ? AvrtRefusal::kBusTimedOut : AvrtRefusal::kBusUnreachable);
    if (held == 0) {
      *error = refusal;
      NoteRealtimeKitRefused(contact, contactSaid);
    }
    return held;
  }
  if (answer.granted) {
    contact = AvrtRefusal::kNone;
    answeredBefore = true;
    return held;
  }
  const sd_bus_error failure = {answer.name, answer.message, 0};
  const Verdict verdict = Classify(failure);
  char said[sizeof answer.name + sizeof answer.message + 2];
  Describe(failure, said, sizeof said);
  *error = verdict.error;
  if (ContactMade(verdict.why)) {
    contact = AvrtRefusal::kNone;
    answeredBefore = true;
    NoteRealtimeKitRefused(verdict.why, said);
  } else {
    ContactFailed(verdict.why, said);
    NoteRealtimeKitRefused(contact, contactSaid);
  }
  if (held == 0 && verdict.error == ERROR_TOO_MANY_THREADS) {
    std::snprintf(busySaid, sizeof busySaid, "%s (its answer to an earlier thread; not asked)",
                  said);
    busyUntil.store(Now() + kBusyMicroseconds, std::memory_order_relaxed);
  }
  return held;
}

int RealtimeKit::MakeRealtime(pid_t threadId, int priority, DWORD* error) {
  std::lock_guard<std::mutex> hold(lock);
  if (!Reachable(error)) {
    NoteRealtimeKitRefused(contact, contactSaid);
    return 0;
  }
  if (Now() < busyUntil.load(std::memory_order_relaxed)) {
    NoteRealtimeKitRefused(AvrtRefusal::kRealtimeKitBusyNotAsked, busySaid);
    *error = ERROR_TOO_MANY_THREADS;
    return 0;
  }
  // RealtimeKit refuses a process that could run real-time for longer than its maximum.
  if (!RealtimeTimeLimit::Instance().Tighten(static_cast<rlim_t>(maxRealtimeMicroseconds), error)) {
    const bool tooShort = *error == ERROR_NOT_ENOUGH_QUOTA;
    NoteRealtimeKitRefused(
        tooShort ? AvrtRefusal::kTimeLimitTooShort : AvrtRefusal::kTimeLimitNotLowered,
        tooShort ? "its RTTimeUSecMax is too short to demote a thread in time"
                 : "RLIMIT_RTTIME could not be lowered to its RTTimeUSecMax");
    return 0;
  }
  return Ask(threadId, std::clamp(priority, 1, maxPriority), error);
}

bool RealtimeKit::Limits(int* priority, std::int64_t* microseconds, AvrtRefusal* contactWas) {
  std::lock_guard<std::mutex> hold(lock);
  // Read afresh: RealtimeKit may have gone since it last answered.
  maxPriority = 0;
  DWORD error = ERROR_SUCCESS;
  const bool reachable = Reachable(&error);
  *contactWas = contact;
  if (!reachable) return false;
  *priority = maxPriority;
  *microseconds = maxRealtimeMicroseconds;
  return true;
}

bool RealtimeKit::Reached() {
  std::lock_guard<std::mutex> hold(lock);
  return refusal == ERROR_SUCCESS && bus != nullptr && maxPriority > 0;
}

// Connected, with the limits read, within the process's budget for the bus.
bool RealtimeKit::Reachable(DWORD* error) {
  if (refusal == ERROR_SUCCESS && BusBudget::Instance().Spent()) {
    GiveUp(ERROR_TIMEOUT, AvrtRefusal::kBusTimedOut);
  }
  if (refusal == ERROR_SUCCESS && Connect(error) && ReadLimits(error)) return true;
  if (refusal != ERROR_SUCCESS) *error = refusal;
  return false;
}

}  // namespace avrt
