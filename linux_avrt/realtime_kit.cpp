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
#include <exception>
#include <thread>

namespace avrt {
namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kObject = "/org/freedesktop/RealtimeKit1";
constexpr const char* kInterface = "org.freedesktop.RealtimeKit1";
constexpr const char* kStandardSystemBus = "unix:path=/run/dbus/system_bus_socket";
// Once RealtimeKit says its limits are reached (threads per user, requests per burst of 20 s),
// they stay reached while this process holds its grants, unless another process gives one
// back: a thread asking within this long gets the same answer without a request, each of
// which would cost a polkit check and a line in RealtimeKit's log. A grant of this process
// that ends lifts it at once.
constexpr std::uint64_t kBusyMicroseconds = 1000000;

// RealtimeKit turns every refusal into AccessDenied with strerror's text; its per-user thread,
// process and burst limits read "Device or resource busy".
DWORD ErrorFromBus(const sd_bus_error& error) {
  if (error.message != nullptr && std::strstr(error.message, std::strerror(EBUSY)) != nullptr) {
    return ERROR_TOO_MANY_THREADS;
  }
  return ERROR_ACCESS_DENIED;
}

// The thread's real-time priority when it holds real-time scheduling, else 0.
int RealtimePriority(pid_t threadId) {
  Scheduling now{};
  return ReadScheduling(threadId, &now) && IsRealtime(now.policy) ? now.priority : 0;
}

}  // namespace

// One MakeThreadRealtimeWithPID on its way; RealtimeKit applies a grant just before it answers.
struct RealtimeKit::Call {
  pid_t threadId = 0;
  sd_bus_slot* slot = nullptr;
  bool answered = false;
  bool granted = false;
  DWORD error = ERROR_ACCESS_DENIED;
  char said[128] = "";  // the refusal's name and text

  static int OnAnswer(sd_bus_message* answer, void* userdata, sd_bus_error*) {
    Call* call = static_cast<Call*>(userdata);
    call->answered = true;
    const sd_bus_error* failure = sd_bus_message_get_error(answer);
    call->granted = failure == nullptr;
    if (failure != nullptr) {
      call->error = ErrorFromBus(*failure);
      std::snprintf(call->said, sizeof call->said, "%s: %s",
                    failure->name != nullptr ? failure->name : "",
                    failure->message != nullptr ? failure->message : "");
      // Answered on the asking thread, which the explanation is about (a late answer reaches
      // the watcher's thread instead, which nobody asks).
      NoteRealtimeKitRefused(*failure);
    }
    return 0;
  }

  // A call that gave up may still be granted: when polkit or the service answers late,
  // RealtimeKit applies the grant all the same. A thread of its own keeps the connection and
  // waits for the answer (or the bus's word that the service is gone), then undoes what came.
  static void WatchForLateGrant(sd_bus* bus, Call* call) {
    auto watch = [bus, call] {
      RunUntil(bus, kNever, [call] { return call->answered; });
      UndoLateGrant(call->threadId);
      sd_bus_slot_unref(call->slot);
      sd_bus_close_unref(bus);
      delete call;
    };
    try {
      std::thread(watch).detach();
    } catch (const std::exception&) {
      // No thread to spare: what has come is undone now, a later grant cannot be.
      UndoLateGrant(call->threadId);
      sd_bus_slot_unref(call->slot);
      sd_bus_close_unref(bus);
      delete call;
    }
  }
};

RealtimeKit::RealtimeKit() = default;

std::uint64_t RealtimeKit::Allowance() const {
  return BusBudget::Instance().Allowance();
}

std::uint64_t RealtimeKit::Deadline() const {
  return BusBudget::Instance().Deadline();
}

void RealtimeKit::Spend(std::uint64_t since) {
  BusBudget::Instance().Spend(since);
}

void RealtimeKit::GiveUp(DWORD error) {
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
    // A bus that cannot be reached now is not asked again.
    std::snprintf(addressRefused, sizeof addressRefused, "%s", opened.refusedBecause);
    GiveUp(opened.result == BusOpened::kTimedOut ? ERROR_TIMEOUT : ERROR_ACCESS_DENIED);
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
  std::uint64_t start = Now();
  sd_bus_set_method_call_timeout(bus, Allowance());
  int result = sd_bus_get_property_trivial(bus, kService, kObject, kInterface,
                                           "MaxRealtimePriority", &failure, 'i', &priority);
  Spend(start);
  if (result >= 0) {
    start = Now();
    sd_bus_set_method_call_timeout(bus, Allowance());
    result = sd_bus_get_property_trivial(bus, kService, kObject, kInterface, "RTTimeUSecMax",
                                         &failure, 'x', &microseconds);
    Spend(start);
  }
  sd_bus_error_free(&failure);
  if (result == -ETIMEDOUT) {
    GiveUp(ERROR_TIMEOUT);
    *error = refusal;
    return false;
  }
  // A limit of 0 would have the kernel kill the process at once.
  *error = ERROR_ACCESS_DENIED;
  if (result < 0 || priority < 1 || microseconds <= 0) return false;
  maxPriority = priority;
  maxRealtimeMicroseconds = microseconds;
  return true;
}

// The grant is what the thread holds when the call ends, whatever the answer says: a service
// that died between applying it and answering has still granted it.
int RealtimeKit::Ask(pid_t threadId, int priority, DWORD* error) {
  Call* call = new (std::nothrow) Call;
  if (call == nullptr) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return 0;
  }
  call->threadId = threadId;
  const int before = RealtimePriority(threadId);
  sd_bus_message* message = nullptr;
  const std::uint64_t start = Now();
  // Sent without a timeout of its own: the wait below bounds it, and a late answer must still
  // find its call.
  int result = sd_bus_message_new_method_call(bus, &message, kService, kObject, kInterface,
                                              "MakeThreadRealtimeWithPID");
  if (result >= 0) {
    result = sd_bus_message_append(message, "ttu", static_cast<std::uint64_t>(getpid()),
                                   static_cast<std::uint64_t>(threadId),
                                   static_cast<std::uint32_t>(priority));
  }
  if (result >= 0) {
    result = sd_bus_call_async(bus, &call->slot, message, Call::OnAnswer, call, kNever);
  }
  sd_bus_message_unref(message);
  if (result < 0) {
    delete call;
    if (result != -ENOMEM) GiveUp(ERROR_ACCESS_DENIED);  // the connection has closed
    *error = result == -ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : refusal;
    return 0;
  }
  const std::uint64_t deadline = Deadline();
  const bool answered = RunUntil(bus, deadline, [call] { return call->answered; });
  const bool late = Now() >= deadline;
  Spend(start);
  const int now = RealtimePriority(threadId);
  const int held = call->granted ? priority : (now != before ? now : 0);
  *error = call->error;
  if (held == 0 && answered && call->error == ERROR_TOO_MANY_THREADS) {
    std::snprintf(busySaid, sizeof busySaid, "%s (its answer to an earlier thread; not asked)",
                  call->said);
    busyUntil.store(Now() + kBusyMicroseconds, std::memory_order_relaxed);
  }
  if (answered || held > 0 || !late) {
    sd_bus_slot_unref(call->slot);
    delete call;
    // A call that timed out, or a connection that failed, is not tried again.
    if (!answered) GiveUp(late ? ERROR_TIMEOUT : ERROR_ACCESS_DENIED);
    if (held == 0 && !answered) *error = refusal;
    return held;
  }
  Call::WatchForLateGrant(bus, call);
  bus = nullptr;
  GiveUp(ERROR_TIMEOUT);
  *error = refusal;
  return 0;
}

int RealtimeKit::MakeRealtime(pid_t threadId, int priority, DWORD* error) {
  std::lock_guard<std::mutex> hold(lock);
  if (!Reachable(error)) return 0;
  if (Now() < busyUntil.load(std::memory_order_relaxed)) {
    NoteRealtimeKitRefused(busySaid);
    *error = ERROR_TOO_MANY_THREADS;
    return 0;
  }
  // RealtimeKit refuses a process that could run real-time for longer than its maximum.
  if (!RealtimeTimeLimit::Instance().Tighten(static_cast<rlim_t>(maxRealtimeMicroseconds), error)) {
    NoteRealtimeKitRefused(*error == ERROR_NOT_ENOUGH_QUOTA
                               ? "its RTTimeUSecMax is too short to demote a thread in time"
                               : "RLIMIT_RTTIME could not be lowered to its RTTimeUSecMax");
    return 0;
  }
  return Ask(threadId, std::clamp(priority, 1, maxPriority), error);
}

bool RealtimeKit::Limits(int* priority, std::int64_t* microseconds) {
  std::lock_guard<std::mutex> hold(lock);
  DWORD error = ERROR_SUCCESS;
  if (!Reachable(&error)) return false;
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
  if (refusal == ERROR_SUCCESS && BusBudget::Instance().Spent()) GiveUp(ERROR_TIMEOUT);
  if (refusal == ERROR_SUCCESS && Connect(error) && ReadLimits(error)) return true;
  if (refusal != ERROR_SUCCESS) *error = refusal;
  char why[sizeof addressRefused + 64];
  std::snprintf(why, sizeof why, "%s%s%s%s",
                refusal == ERROR_TIMEOUT   ? "no answer on the system bus in time"
                : refusal != ERROR_SUCCESS ? "the system bus could not be reached"
                                           : "RealtimeKit gave no limits (not running?)",
                addressRefused[0] != '\0' ? " (" : "", addressRefused,
                addressRefused[0] != '\0' ? ")" : "");
  NoteRealtimeKitRefused(why);
  return false;
}

}  // namespace avrt
