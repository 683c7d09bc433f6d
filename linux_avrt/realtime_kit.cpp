// RealtimeKit, the system service that hands real-time scheduling to unprivileged users
// within per-user limits. Reached through sd-bus on the system bus (DBUS_SYSTEM_BUS_ADDRESS is
// honoured by sd-bus itself).
#include "provider.h"

#include "explain.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace avrt {
namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kObject = "/org/freedesktop/RealtimeKit1";
constexpr const char* kInterface = "org.freedesktop.RealtimeKit1";
// RealtimeKit answers within milliseconds; a hung service must not hold every thread for the
// bus's default 25 s.
constexpr std::uint64_t kCallTimeoutMicroseconds = 5000000;

// The limits the guard keeps; written before the guard is installed.
std::atomic<rlim_t> guardedSoftLimit{0};
std::atomic<rlim_t> guardedHardLimit{0};

// A real-time thread that runs past the hard RLIMIT_RTTIME gets the whole process killed. The
// soft limit, at half of it, comes first: the thread gives up real-time scheduling and runs
// on, so a slow machine costs a grant, never the process. The kernel raises the process's soft
// limit by a second at each SIGXCPU, past the hard one, and sends one signal for threads that
// cross it together: the limit goes back down, so the next thread over it is signalled too.
void OnRealtimeTimeExceeded(int) {
  const int saved = errno;
  sched_param normal{};
  syscall(SYS_sched_setscheduler, 0, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal);
  const rlimit limit{guardedSoftLimit.load(), guardedHardLimit.load()};
  syscall(SYS_prlimit64, 0, RLIMIT_RTTIME, &limit, nullptr);
  errno = saved;
}

// Only where the program has not chosen what SIGXCPU does.
void GuardAgainstRealtimeTimeKill(const rlimit& limit) {
  guardedSoftLimit.store(limit.rlim_cur);
  guardedHardLimit.store(limit.rlim_max);
  struct sigaction current {};
  if (sigaction(SIGXCPU, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
  struct sigaction guard {};
  guard.sa_handler = OnRealtimeTimeExceeded;
  guard.sa_flags = SA_RESTART;
  sigemptyset(&guard.sa_mask);
  sigaction(SIGXCPU, &guard, nullptr);
}

// RealtimeKit turns every refusal into AccessDenied with strerror's text; its per-user thread,
// process and burst limits read "Device or resource busy".
DWORD ErrorFromBus(const sd_bus_error& error) {
  if (error.message != nullptr && std::strstr(error.message, std::strerror(EBUSY)) != nullptr) {
    return ERROR_TOO_MANY_THREADS;
  }
  return ERROR_ACCESS_DENIED;
}

}  // namespace

RealtimeKit& RealtimeKit::Instance() {
  // Never destroyed: registrations may still end while the process exits.
  static RealtimeKit* instance = new RealtimeKit;
  return *instance;
}

bool RealtimeKit::Connect(DWORD* error) {
  *error = ERROR_ACCESS_DENIED;
  if (absent) return false;
  if (bus == nullptr) {
    if (sd_bus_open_system(&bus) < 0) {
      bus = nullptr;
      absent = true;
      return false;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);
  }
  if (maxPriority > 0) return true;
  // Read once: a service that is not running yet is asked again by the next thread.
  int priority = 0;
  std::int64_t microseconds = 0;
  sd_bus_error failure = SD_BUS_ERROR_NULL;
  const bool read =
      sd_bus_get_property_trivial(bus, kService, kObject, kInterface, "MaxRealtimePriority",
                                  &failure, 'i', &priority) >= 0 &&
      sd_bus_get_property_trivial(bus, kService, kObject, kInterface, "RTTimeUSecMax", &failure,
                                  'x', &microseconds) >= 0;
  sd_bus_error_free(&failure);
  // A limit of 0 would have the kernel kill the process at once.
  if (!read || priority < 1 || microseconds <= 0) return false;
  maxPriority = priority;
  maxRealtimeMicroseconds = microseconds;
  return true;
}

// RealtimeKit refuses a process that could run real-time for longer than its maximum.
bool RealtimeKit::LimitRealtimeTime(DWORD* error) {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
  const auto hard = static_cast<rlim_t>(maxRealtimeMicroseconds);
  const rlim_t soft = hard / 2;
  if (limit.rlim_max <= hard && limit.rlim_cur <= soft) return true;
  if (!limitLowered) {
    savedSoftLimit = limit.rlim_cur;
    savedHardLimit = limit.rlim_max;
  }
  const rlimit lowered{std::min(limit.rlim_cur, soft), std::min(limit.rlim_max, hard)};
  if (setrlimit(RLIMIT_RTTIME, &lowered) != 0) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  limitLowered = true;
  GuardAgainstRealtimeTimeKill(lowered);
  return true;
}

int RealtimeKit::MakeRealtime(pid_t threadId, int priority, DWORD* error) {
  std::lock_guard<std::mutex> hold(lock);
  if (!Connect(error)) {
    NoteRealtimeKitRefused("no answer on the system bus");
    return 0;
  }
  if (!LimitRealtimeTime(error)) {
    NoteRealtimeKitRefused("RLIMIT_RTTIME could not be lowered to its maximum");
    return 0;
  }
  const int granted = std::clamp(priority, 1, maxPriority);
  sd_bus_error failure = SD_BUS_ERROR_NULL;
  const int result =
      sd_bus_call_method(bus, kService, kObject, kInterface, "MakeThreadRealtimeWithPID", &failure,
                         nullptr, "ttu", static_cast<std::uint64_t>(getpid()),
                         static_cast<std::uint64_t>(threadId), static_cast<std::uint32_t>(granted));
  if (result < 0) {
    *error = ErrorFromBus(failure);
    NoteRealtimeKitRefused(failure);
    sd_bus_error_free(&failure);
    return 0;
  }
  ++holders;
  return granted;
}

void RealtimeKit::Released() {
  std::lock_guard<std::mutex> hold(lock);
  if (holders > 0) --holders;
  if (holders > 0 || !limitLowered) return;
  // Raising the hard limit again needs CAP_SYS_RESOURCE; without it the lower one stays.
  const rlimit saved{savedSoftLimit, savedHardLimit};
  if (setrlimit(RLIMIT_RTTIME, &saved) == 0) limitLowered = false;
}

}  // namespace avrt
