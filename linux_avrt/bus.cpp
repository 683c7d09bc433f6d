// The bounded bus connection both services are reached through, and the rule on addresses.
#include "bus.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <thread>

#include "provider.h"

namespace avrt {
namespace {

// Longer entries are refused rather than cut: a cut one would name another bus.
constexpr std::size_t kLongestEntry = 1024;

// The value of `key` in one entry's `key=value,...` part, unescaped; false when absent or
// malformed (a `%` not followed by two hexadecimal digits).
bool Value(const char* keys, const char* key, char* value, std::size_t size) {
  const std::size_t length = std::strlen(key);
  for (const char* at = keys; *at != '\0';) {
    const char* end = std::strchr(at, ',');
    if (end == nullptr) end = at + std::strlen(at);
    if (static_cast<std::size_t>(end - at) > length && std::strncmp(at, key, length) == 0 &&
        at[length] == '=') {
      std::size_t written = 0;
      for (const char* c = at + length + 1; c < end; ++c) {
        if (written + 1 >= size) return false;
        if (*c != '%') {
          value[written++] = *c;
          continue;
        }
        if (end - c < 3 || !std::isxdigit(static_cast<unsigned char>(c[1])) ||
            !std::isxdigit(static_cast<unsigned char>(c[2]))) {
          return false;
        }
        const char hex[3] = {c[1], c[2], '\0'};
        value[written++] = static_cast<char>(std::strtol(hex, nullptr, 16));
        c += 2;
      }
      value[written] = '\0';
      return true;
    }
    at = *end == ',' ? end + 1 : end;
  }
  return false;
}

bool Numeric(const char* text) {
  if (*text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return true;
}

// Whether every step of connecting to `entry` is bounded by the budget's deadline; if not,
// why, for the report.
bool Accepted(const char* entry, char* why, std::size_t size) {
  const char* colon = std::strchr(entry, ':');
  const std::size_t kind = colon != nullptr ? static_cast<std::size_t>(colon - entry) : 0;
  const char* keys = colon != nullptr ? colon + 1 : "";
  char value[kLongestEntry];
  auto refuse = [&](const char* reason) {
    std::snprintf(why, size, "the address %.*s was refused: %s", static_cast<int>(kind), entry,
                  reason);
    return false;
  };
  auto is = [&](const char* name) {
    return kind == std::strlen(name) && std::strncmp(entry, name, kind) == 0;
  };
  if (std::strlen(entry) > kLongestEntry) return refuse("longer than this provider reads");
  if (is("unix")) {
    // The socket's connect and every read after it wait in sd-bus's loop, which the deadline
    // ends.
    if (Value(keys, "path", value, sizeof value) || Value(keys, "abstract", value, sizeof value)) {
      return true;
    }
    return refuse("only path= and abstract= name a socket to connect to");
  }
  if (is("tcp")) {
    // sd-bus resolves the host and the port before it connects, in a call no deadline ends.
    unsigned char address[sizeof(in6_addr)];
    if (!Value(keys, "host", value, sizeof value) ||
        (inet_pton(AF_INET, value, address) != 1 && inet_pton(AF_INET6, value, address) != 1)) {
      return refuse("a host name to resolve, which cannot be bounded (give a numeric address)");
    }
    if (!Value(keys, "port", value, sizeof value) || !Numeric(value)) {
      return refuse("a port name to look up, which cannot be bounded (give a number)");
    }
    return true;
  }
  if (is("unixexec")) {
    return refuse("it runs a program, and sd-bus waits for that program's end unbounded");
  }
  if (is("x-machine-unix") || is("x-container-unix") || is("x-machine-kernel")) {
    return refuse("it enters another machine's namespaces from a child that sd-bus waits for");
  }
  return refuse("not a kind of address sd-bus connects to");
}

// One accepted entry, within the budget. Every sd-bus timeout is set before the connection
// starts.
BusOpened OpenEntry(const char* entry, sd_bus** bus) {
  BusBudget& budget = BusBudget::Instance();
  const std::uint64_t start = Now();
  const std::uint64_t deadline = budget.Deadline();
  sd_bus* opened = nullptr;
  const bool ready = sd_bus_new(&opened) >= 0 && sd_bus_set_address(opened, entry) >= 0 &&
                     sd_bus_set_bus_client(opened, 1) >= 0 &&
                     sd_bus_set_method_call_timeout(opened, kCallTimeoutMicroseconds) >= 0 &&
                     sd_bus_start(opened) >= 0 &&
                     RunUntil(opened, deadline, [opened] { return sd_bus_is_ready(opened) > 0; });
  const bool late = Now() >= deadline;
  budget.Spend(start);
  if (ready) {
    *bus = opened;
    return BusOpened::kReady;
  }
  sd_bus_close_unref(opened);
  return late ? BusOpened::kTimedOut : BusOpened::kUnreachable;
}

// One request on its way; the answer may come after the caller gave up.
struct Call {
  pid_t threadId = 0;
  int priority = 0;
  int timeSlot = -1;  // a hold of the real-time time limit while a late grant may come
  sd_bus_slot* slot = nullptr;
  RealtimeAnswer answer;

  static int OnAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    Call* call = static_cast<Call*>(userdata);
    call->answer.answered = true;
    const sd_bus_error* failure = sd_bus_message_get_error(reply);
    call->answer.granted = failure == nullptr;
    if (failure != nullptr) {
      std::snprintf(call->answer.name, sizeof call->answer.name, "%s",
                    failure->name != nullptr ? failure->name : "");
      std::snprintf(call->answer.message, sizeof call->answer.message, "%s",
                    failure->message != nullptr ? failure->message : "");
    }
    return 0;
  }

  void End(sd_bus* bus) {
    UndoLateGrant(threadId, priority);
    if (timeSlot >= 0) RealtimeTimeLimit::Instance().Release(timeSlot, false);
    sd_bus_slot_unref(slot);
    sd_bus_close_unref(bus);
    delete this;
  }

  // A thread of its own keeps the connection until the answer (or the bus's word that the
  // service is gone), then undoes what came. Without a thread to spare, what has come is undone
  // now; a later grant cannot be. Until then the thread holds the real-time time limit, as a
  // grant would.
  void WatchForLateGrant(sd_bus* bus) {
    if (!RealtimeTimeLimit::Instance().Retain(threadId, &timeSlot)) timeSlot = -1;
    try {
      std::thread([this, bus] {
        RunUntil(bus, kNever, [this] { return answer.answered; });
        End(bus);
      }).detach();
    } catch (const std::exception&) {
      End(bus);
    }
  }
};

}  // namespace

int ReadProperty(sd_bus* bus, const RealtimeService& service, const char* name, char type,
                 void* value, sd_bus_error* failure) {
  BusBudget& budget = BusBudget::Instance();
  sd_bus_error ignored = SD_BUS_ERROR_NULL;
  const std::uint64_t start = Now();
  sd_bus_set_method_call_timeout(bus, budget.Allowance());
  const int result =
      sd_bus_get_property_trivial(bus, service.name, service.object, service.interface, name,
                                  failure != nullptr ? failure : &ignored, type, value);
  budget.Spend(start);
  sd_bus_error_free(&ignored);
  return result;
}

RealtimeAnswer RequestRealtime(sd_bus** bus, const RealtimeService& service, pid_t threadId,
                               int priority) {
  RealtimeAnswer answer;
  Call* call = new (std::nothrow) Call;
  if (call == nullptr) {
    answer.outOfMemory = true;
    return answer;
  }
  call->threadId = threadId;
  call->priority = priority;
  BusBudget& budget = BusBudget::Instance();
  sd_bus_message* message = nullptr;
  const std::uint64_t start = Now();
  // Sent without a timeout of its own: the wait below bounds it, and a late answer must still
  // find its call.
  int result = sd_bus_message_new_method_call(*bus, &message, service.name, service.object,
                                              service.interface, "MakeThreadRealtimeWithPID");
  if (result >= 0) {
    result = sd_bus_message_append(message, "ttu", static_cast<std::uint64_t>(getpid()),
                                   static_cast<std::uint64_t>(threadId),
                                   static_cast<std::uint32_t>(priority));
  }
  if (result >= 0) {
    result = sd_bus_call_async(*bus, &call->slot, message, Call::OnAnswer, call, kNever);
  }
  sd_bus_message_unref(message);
  if (result < 0) {
    delete call;
    answer.outOfMemory = result == -ENOMEM;
    answer.realtimePriority = RealtimePriority(threadId);
    return answer;
  }
  const std::uint64_t deadline = budget.Deadline();
  RunUntil(*bus, deadline, [call] { return call->answer.answered; });
  budget.Spend(start);
  answer = call->answer;
  answer.sent = true;
  answer.late = !answer.answered && Now() >= deadline;
  answer.realtimePriority = RealtimePriority(threadId);
  if (!answer.late || answer.realtimePriority > 0) {
    // A grant already applied is the caller's to keep: no watcher may take it back.
    sd_bus_slot_unref(call->slot);
    delete call;
    if (answer.late) {
      sd_bus_close_unref(*bus);
      *bus = nullptr;
    }
    return answer;
  }
  call->WatchForLateGrant(*bus);
  *bus = nullptr;
  return answer;
}

std::uint64_t Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

std::uint64_t BusBudget::Allowance() const {
  return std::max<std::uint64_t>(1, std::min(kCallTimeoutMicroseconds, left.load()));
}

void BusBudget::Spend(std::uint64_t since) {
  const std::uint64_t spent = Now() - since;
  std::uint64_t now = left.load();
  while (!left.compare_exchange_weak(now, now - std::min(now, spent))) {
  }
}

BusBudget& BusBudget::Instance() {
  return Lasting<BusBudget>();
}

void BusBudget::RenewAfterFork() {
  new (&Instance()) BusBudget;
}

OpenedBus OpenBus(const char* addresses) {
  OpenedBus opened;
  bool timedOut = false;
  bool refused = false;
  bool tried = false;
  char entry[kLongestEntry + 2];
  for (const char* at = addresses; *at != '\0';) {
    const char* end = std::strchr(at, ';');
    if (end == nullptr) end = at + std::strlen(at);
    const std::size_t length = static_cast<std::size_t>(end - at);
    at = *end == ';' ? end + 1 : end;
    if (length == 0) continue;
    // One byte past the longest is enough for the rule to see it is too long.
    const std::size_t kept = std::min(length, kLongestEntry + 1);
    std::memcpy(entry, end - length, kept);
    entry[kept] = '\0';
    if (!Accepted(entry, opened.refusedBecause, sizeof opened.refusedBecause)) {
      refused = true;
      continue;
    }
    if (BusBudget::Instance().Spent()) break;
    tried = true;
    const BusOpened result = OpenEntry(entry, &opened.bus);
    if (result == BusOpened::kReady) {
      opened.result = result;
      opened.refusedBecause[0] = '\0';
      return opened;
    }
    timedOut = timedOut || result == BusOpened::kTimedOut;
  }
  // A refused entry's reason stays beside an unreachable one: it may be the bus meant.
  opened.result = timedOut            ? BusOpened::kTimedOut
                  : refused && !tried ? BusOpened::kAddressRefused
                                      : BusOpened::kUnreachable;
  return opened;
}

bool UnixPathAddress(const char* path, char* address, std::size_t size) {
  static constexpr char kPrefix[] = "unix:path=";
  static constexpr char kHex[] = "0123456789abcdef";
  if (size < sizeof kPrefix) return false;
  std::memcpy(address, kPrefix, sizeof kPrefix);
  std::size_t written = sizeof kPrefix - 1;
  for (const char* c = path; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                       (byte >= '0' && byte <= '9') || std::strchr("-_/.\\*", byte) != nullptr;
    if (written + (plain ? 1 : 3) >= size) return false;
    if (plain) {
      address[written++] = *c;
    } else {
      address[written++] = '%';
      address[written++] = kHex[byte >> 4];
      address[written++] = kHex[byte & 15];
    }
  }
  address[written] = '\0';
  return true;
}

}  // namespace avrt
