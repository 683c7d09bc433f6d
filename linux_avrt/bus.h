// What the system bus (RealtimeKit) and the session bus (the desktop portal) share: one budget
// for all the process's waiting on either, the rule on which bus addresses are used, and a
// connection whose every wait is bounded.
#pragma once

#include <systemd/sd-bus.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace avrt {

// A service answers within milliseconds, polkit's verdict included. No wait for a bus lasts
// longer than a call's timeout, and all of a process's waits together, on both buses, at most
// the budget: a silent bus or a hung service costs the process one wait, never one per thread.
constexpr std::uint64_t kCallTimeoutMicroseconds = 2000000;
constexpr std::uint64_t kBudgetMicroseconds = 8000000;
constexpr std::uint64_t kNever = UINT64_MAX;

std::uint64_t Now();

// Runs the connection until `done()`; false at the deadline or when the connection fails.
// sd-bus's own waits (90 s to authenticate) would not stop sooner.
template <typename Done>
bool RunUntil(sd_bus* bus, std::uint64_t deadline, Done done) {
  while (!done()) {
    const int processed = sd_bus_process(bus, nullptr);
    if (processed < 0) return false;
    if (processed > 0) continue;
    const std::uint64_t now = Now();
    if (now >= deadline) return false;
    if (sd_bus_wait(bus, deadline == kNever ? kNever : deadline - now) < 0) return false;
  }
  return true;
}

// The microseconds this process may still wait for either bus.
class BusBudget {
 public:
  // What the next wait may take; never 0, which sd-bus reads as its own 25 s.
  std::uint64_t Allowance() const;
  std::uint64_t Deadline() const { return Now() + Allowance(); }
  void Spend(std::uint64_t since);
  bool Spent() const { return left.load() == 0; }

  static BusBudget& Instance();
  // A forked child waits on a budget of its own.
  static void RenewAfterFork();

 private:
  std::atomic<std::uint64_t> left{kBudgetMicroseconds};
};

// How opening a bus ended.
enum class BusOpened { kReady, kAddressRefused, kUnreachable, kTimedOut };

struct OpenedBus {
  BusOpened result = BusOpened::kUnreachable;
  sd_bus* bus = nullptr;  // set when ready
  // Why the address was refused, for the report; empty otherwise.
  char refusedBecause[128] = "";
};

// Opens a client connection to the first entry of the `;`-separated `addresses` that the rule
// accepts and that answers, each entry's wait within the budget. Only entries whose every step
// the budget can bound are used: unix sockets by path or abstract name, and tcp with a numeric
// host and port. A program to execute (unixexec), another machine's namespaces (x-machine-unix)
// or a host name to resolve would wait where no deadline reaches, and are refused at once.
OpenedBus OpenBus(const char* addresses);

// A service that makes threads real-time with MakeThreadRealtimeWithPID(t process, t thread,
// u priority): RealtimeKit, and the desktop portal in front of it.
struct RealtimeService {
  const char* name;
  const char* object;
  const char* interface;
};

// One request's end.
struct RealtimeAnswer {
  bool sent = false;  // false: the connection has closed, or no memory (`outOfMemory`)
  bool outOfMemory = false;
  bool answered = false;   // the service answered within the wait
  bool late = false;       // the wait reached its deadline
  bool granted = false;    // the answer was yes
  char name[96] = "";      // a refusal's error name
  char message[160] = "";  // and its text
  // The thread's real-time priority as the call ended, 0 when it is normal: the one reading
  // both the watcher's start and the caller's grant are decided by.
  int realtimePriority = 0;
};

// Once RealtimeKit (asked directly or through the portal) says its limits are reached
// (threads per user, requests per burst of 20 s), they stay reached while this process holds
// its grants, unless another process gives one back: a thread asking within this long gets the
// same answer without a request, each of which would cost a polkit check and a line in
// RealtimeKit's log. A grant of this process that ends lifts it at once.
inline constexpr std::uint64_t kBusyMicroseconds = 1000000;

// A property of `service` (sd-bus type `type`), within the budget; -ETIMEDOUT when the wait ran
// out. The bus's error goes to `failure` when given (the caller frees it).
int ReadProperty(sd_bus* bus, const RealtimeService& service, const char* name, char type,
                 void* value, sd_bus_error* failure = nullptr);

// Asks `service` to make `threadId` of this process real-time at `priority`, waiting within
// the budget. A service applies a grant even after its caller gave up: after a timeout the
// connection goes to a thread of its own, which waits for the answer and takes back what came
// late, and `*bus` is null.
RealtimeAnswer RequestRealtime(sd_bus** bus, const RealtimeService& service, pid_t threadId,
                               int priority);

// The bus address that names `path`, escaped as D-Bus addresses escape their values.
bool UnixPathAddress(const char* path, char* address, std::size_t size);

}  // namespace avrt
