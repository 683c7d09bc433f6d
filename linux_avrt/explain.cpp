// QuorvaneAvrtExplain: who granted the calling thread's last registration and what refused it,
// and, for the budget, whether RealtimeKit answers, its limits and whether the process is in
// a login session. Only this provider knows these; the tool looks the entry point up.
#include "explain.h"

#include "avrt_explanation.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace avrt {
namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kObject = "/org/freedesktop/RealtimeKit1";
constexpr const char* kInterface = "org.freedesktop.RealtimeKit1";
constexpr const char* kDefaultSystemBus = "unix:path=/run/dbus/system_bus_socket";
// The budget is read once per run; a service that hangs costs this much, once.
constexpr std::uint64_t kBudgetTimeoutMicroseconds = 1000000;

struct LastCall {
  quorvane::AvrtGrantor grantedBy = quorvane::AvrtGrantor::kNone;
  int kernelErrno = 0;
  char realtimeKitSaid[sizeof(quorvane::AvrtExplanation::realtimeKitSaid)] = "";
};
thread_local LastCall lastCall;

// A connection of its own, not the registrations' one: set up with its timeout before it
// starts, so that neither the authentication nor the Hello waits longer.
sd_bus* OpenBoundedSystemBus() {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return nullptr;
  const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (sd_bus_set_address(bus, address != nullptr ? address : kDefaultSystemBus) < 0 ||
      sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_set_method_call_timeout(bus, kBudgetTimeoutMicroseconds) < 0 ||
      sd_bus_start(bus) < 0) {
    sd_bus_unref(bus);
    return nullptr;
  }
  return bus;
}

void ReadRealtimeKit(quorvane::AvrtExplanation* explanation) {
  sd_bus* bus = OpenBoundedSystemBus();
  if (bus == nullptr) return;
  int priority = 0;
  std::int64_t microseconds = 0;
  sd_bus_error failure = SD_BUS_ERROR_NULL;
  explanation->realtimeKitAnswers =
      sd_bus_get_property_trivial(bus, kService, kObject, kInterface, "MaxRealtimePriority",
                                  &failure, 'i', &priority) >= 0 &&
      sd_bus_get_property_trivial(bus, kService, kObject, kInterface, "RTTimeUSecMax", &failure,
                                  'x', &microseconds) >= 0;
  sd_bus_error_free(&failure);
  if (explanation->realtimeKitAnswers) {
    explanation->maxRealtimePriority = priority;
    explanation->rtTimeUSecMax = microseconds;
  }
  sd_bus_flush_close_unref(bus);
}

}  // namespace

void NoteCallBegins() {
  lastCall = LastCall{};
}

void NoteGrantedByKernel() {
  lastCall.grantedBy = quorvane::AvrtGrantor::kKernel;
}

void NoteGrantedByRealtimeKit() {
  lastCall.grantedBy = quorvane::AvrtGrantor::kRealtimeKit;
}

void NoteKernelRefused(int error) {
  lastCall.kernelErrno = error;
}

void NoteRealtimeKitRefused(const sd_bus_error& error) {
  std::snprintf(lastCall.realtimeKitSaid, sizeof lastCall.realtimeKitSaid, "%s: %s",
                error.name != nullptr ? error.name : "",
                error.message != nullptr ? error.message : "");
}

void NoteRealtimeKitRefused(const char* why) {
  std::snprintf(lastCall.realtimeKitSaid, sizeof lastCall.realtimeKitSaid, "%s", why);
}

}  // namespace avrt

extern "C" {

BOOL QuorvaneAvrtExplain(quorvane::AvrtExplanation* explanation, BOOL budget) {
  if (explanation == nullptr || explanation->size < sizeof(quorvane::AvrtExplanation)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *explanation = quorvane::AvrtExplanation{};
  explanation->size = sizeof(quorvane::AvrtExplanation);
  explanation->grantedBy = avrt::lastCall.grantedBy;
  explanation->kernelErrno = avrt::lastCall.kernelErrno;
  std::memcpy(explanation->realtimeKitSaid, avrt::lastCall.realtimeKitSaid,
              sizeof explanation->realtimeKitSaid);
  if (budget) {
    avrt::ReadRealtimeKit(explanation);
    char* session = nullptr;
    explanation->inLoginSession = sd_pid_get_session(0, &session) >= 0;
    std::free(session);
  }
  return TRUE;
}

}  // extern "C"
