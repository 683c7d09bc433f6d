// The Linux side of the report: the kernel's policy beside the priority, and what this process
// and this user may get now, from the kernel, /proc and the provider.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mmcss_errors.h"
#include "platform_explain.h"

namespace quorvane {

namespace {

constexpr int kCapSysNice = 23;
constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
// Fields of /proc/PID/task/TID/stat counted after the command's closing parenthesis.
constexpr std::size_t kFlagsField = 9 - 3;
constexpr std::size_t kNiceField = 19 - 3;
constexpr std::size_t kPolicyField = 41 - 3;

struct Limit {
  rlim_t soft;
  rlim_t hard;
};

Limit ReadLimit(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0) return {0, 0};
  return {limit.rlim_cur, limit.rlim_max};
}

std::string LimitJson(rlim_t value) {
  return value == RLIM_INFINITY ? kJsonNull : JsonNumber(static_cast<std::int64_t>(value));
}

std::string LimitText(rlim_t value) {
  return value == RLIM_INFINITY ? "unlimited" : std::to_string(value);
}

BudgetField LimitField(const char* key, const char* name, const Limit& limit) {
  return {
      key, "{\"soft\":" + LimitJson(limit.soft) + ",\"hard\":" + LimitJson(limit.hard) + "}",
      std::string(name) + ": soft " + LimitText(limit.soft) + ", hard " + LimitText(limit.hard)};
}

bool HasCapSysNice() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      const unsigned long long effective = std::strtoull(line.c_str() + 7, nullptr, 16);
      return (effective >> kCapSysNice) & 1;
    }
  }
  return false;
}

// The real uid of process `pid`, or -1.
long RealUid(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) == 0) return std::strtol(line.c_str() + 4, nullptr, 10);
  }
  return -1;
}

// The whole of a small /proc file, through read(2): a process that ends meanwhile makes the
// read fail (ESRCH), which a stream buffer read outside an istream would throw.
std::string ReadWhole(const std::string& path) {
  std::string text;
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return text;
  char chunk[512];
  for (ssize_t got; (got = read(file, chunk, sizeof chunk)) > 0;) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  close(file);
  return text;
}

// The fields of a stat line after the command, which may hold spaces, parentheses and newlines.
std::vector<std::string> StatFields(const std::string& path, std::string* command) {
  const std::string line = ReadWhole(path);
  const auto open = line.find('(');
  const auto close = line.rfind(')');
  std::vector<std::string> fields;
  if (open == std::string::npos || close == std::string::npos || close < open) return fields;
  if (command != nullptr) *command = line.substr(open + 1, close - open - 1);
  std::istringstream rest(line.substr(close + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return names;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') names.emplace_back(entry->d_name);
  }
  closedir(directory);
  return names;
}

struct RealtimeHolder {
  std::string process;
  long pid;
  int threads;
};

// This user's threads in other processes that RealtimeKit counts against its per-user limit:
// the real-time ones and those with a negative nice value, as it counts them.
std::vector<RealtimeHolder> OtherRealtimeThreads() {
  std::vector<RealtimeHolder> holders;
  const long self = getpid();
  const long uid = static_cast<long>(getuid());
  for (const std::string& pid : Entries("/proc")) {
    if (std::strtol(pid.c_str(), nullptr, 10) == self || RealUid(pid) != uid) continue;
    std::string command;
    const std::vector<std::string> process = StatFields("/proc/" + pid + "/stat", &command);
    if (process.size() <= kPolicyField ||
        (std::strtoul(process[kFlagsField].c_str(), nullptr, 10) & kKernelThreadFlag) != 0) {
      continue;
    }
    int threads = 0;
    for (const std::string& task : Entries("/proc/" + pid + "/task")) {
      const auto fields = StatFields("/proc/" + pid + "/task/" + task + "/stat", nullptr);
      if (fields.size() <= kPolicyField) continue;
      const int policy = std::atoi(fields[kPolicyField].c_str());
      const int nice = std::atoi(fields[kNiceField].c_str());
      if (policy == SCHED_FIFO || policy == SCHED_RR || nice < 0) ++threads;
    }
    if (threads > 0) holders.push_back({command, std::strtol(pid.c_str(), nullptr, 10), threads});
  }
  return holders;
}

bool AnyReason(const Report& report, AvrtRefusal reason) {
  return std::any_of(report.refusals.begin(), report.refusals.end(),
                     [reason](const RefusalGroup& refusal) {
                       return std::find(refusal.reasons.begin(), refusal.reasons.end(), reason) !=
                              refusal.reasons.end();
                     });
}

// How the process's last contact with RealtimeKit went, for the budget.
struct Contact {
  const char* json;
  const char* text;
};

Contact ContactOf(AvrtRefusal contact) {
  switch (contact) {
    case AvrtRefusal::kBusUnreachable:
      return {"bus_unreachable", "the system bus could not be reached"};
    case AvrtRefusal::kBusAddressRefused:
      return {"address_refused",
              "not asked: the system bus address is of a kind no deadline bounds"};
    case AvrtRefusal::kBusTimedOut:
      return {"timed_out", "did not answer in time, and was not asked again"};
    case AvrtRefusal::kRealtimeKitNotInstalled:
      return {"not_installed", "not installed (the system bus knows no such service)"};
    case AvrtRefusal::kRealtimeKitNotRunning:
      return {"not_running", "installed but not running (activatable, no owner)"};
    default:
      return {"answered", "answers"};
  }
}

std::string YesNo(bool value) {
  return value ? "yes" : "no";
}

// The Flatpak application this process runs as, from the file Flatpak binds into every sandbox.
std::string FlatpakApplication() {
  std::ifstream info("/.flatpak-info");
  std::string line;
  bool application = false;
  while (std::getline(info, line)) {
    if (!line.empty() && line[0] == '[') application = line == "[Application]";
    if (application && line.rfind("name=", 0) == 0) return line.substr(5);
  }
  return "APP_ID";
}

// The desktop portal's part of the budget.
BudgetField PortalField(bool explained, const AvrtExplanation& provider) {
  if (!explained) return {"portal", kJsonNull, "portal: not known (the avrt library does not say)"};
  if (std::strstr(provider.paths, "portal") == nullptr) {
    return {"portal", "{\"answers\":false}", "portal: not asked (not among the paths tried)"};
  }
  if (!provider.portalAnswers) {
    return {"portal", "{\"answers\":false}", "portal: does not answer on the session bus"};
  }
  const bool unusable = provider.portalValuesUnusable;
  return {"portal",
          "{\"answers\":true,\"version\":" + JsonNumber(provider.portalVersion) +
              ",\"max_realtime_priority\":" + JsonNumber(provider.portalMaxRealtimePriority) +
              ",\"min_nice_level\":" + JsonNumber(provider.portalMinNiceLevel) +
              ",\"rttime_usec_max\":" + JsonNumber(provider.portalRTTimeUSecMax) +
              ",\"values_unusable\":" + JsonBool(unusable) + "}",
          "portal: answers, version " + std::to_string(provider.portalVersion) +
              ", MaxRealtimePriority " + std::to_string(provider.portalMaxRealtimePriority) +
              ", MinNiceLevel " + std::to_string(provider.portalMinNiceLevel) + ", RTTimeUSecMax " +
              std::to_string(provider.portalRTTimeUSecMax) +
              (unusable ? " (unusable: requests asked with RealtimeKit's defaults)" : "")};
}

// What would let the portal grant, for each of its refusals in the run.
void PortalHints(const Report& report, const AvrtExplanation& provider,
                 std::vector<std::string>* hints) {
  if (report.RefusedBecause(AvrtRefusal::kUnknownPath)) {
    hints->push_back(
        "QUORVANE_VIA names a path the provider does not know: give a comma-separated list of "
        "kernel, portal, realtimekit, or leave it unset");
  }
  if (report.RefusedBecause(AvrtRefusal::kPortalUnreachable) && provider.sandboxed) {
    hints->push_back(
        "the desktop portal does not answer on the session bus: a sandboxed application gets "
        "real-time threads through xdg-desktop-portal, which must run in the user's session");
  }
  if (report.RefusedBecause(AvrtRefusal::kPortalAddressRefused)) {
    hints->push_back(
        "DBUS_SESSION_BUS_ADDRESS is of a kind the provider does not wait for (a program to "
        "run, a host name to resolve): give a unix: or numeric tcp: address");
  }
  if (report.RefusedBecause(AvrtRefusal::kPortalPermissionStore)) {
    hints->push_back(
        "the permission store refuses this application real-time scheduling: allow it with "
        "`flatpak permission-set realtime realtime " +
        FlatpakApplication() + " yes`");
  }
  if (report.RefusedBecause(AvrtRefusal::kPortalPidMappingUnsupported)) {
    hints->push_back(
        "the portal maps the process ids of Flatpak sandboxes only: from this sandbox "
        "RealtimeKit must be reachable on the system bus (for a Snap, its system bus access)");
  }
  if (report.RefusedBecause(AvrtRefusal::kPortalPidMapping)) {
    hints->push_back(
        "the portal could not map this process's ids: it needs the sandbox's /.flatpak-info "
        "and its instance's bwrapinfo.json under $XDG_RUNTIME_DIR/.flatpak/, as flatpak run "
        "makes them");
  }
  if (report.RefusedBecause(AvrtRefusal::kPortalOtherUser)) {
    hints->push_back(
        "the portal found the process under another user: run the application as the user "
        "whose session runs the portal");
  }
  if (report.RefusedBecause(AvrtRefusal::kPortalRealtimeKitNotPermitted)) {
    hints->push_back(
        "RealtimeKit, behind the portal, did not permit it: polkit allows "
        "org.freedesktop.RealtimeKit1.acquire-real-time in a login session or by a rule, and "
        "RealtimeKit refuses priorities and RLIMIT_RTTIME above its limits");
  }
  if (report.RefusedBecause(AvrtRefusal::kPortalTimedOut)) {
    hints->push_back(
        "the portal or the session bus did not answer in time: the provider did not ask it "
        "again in this process");
  }
  if (provider.portalAnswers && provider.portalValuesUnusable) {
    hints->push_back(
        "the portal reports 0 for RealtimeKit's limits (it started before RealtimeKit could "
        "answer); the provider asked with RealtimeKit's defaults (priority 20, RLIMIT_RTTIME "
        "200 ms): restart the portal after RealtimeKit (systemctl --user restart "
        "xdg-desktop-portal)");
  }
}

}  // namespace

void ReadOwnPolicy(ThreadScheduling* scheduling) {
  const int policy = sched_getscheduler(0);
  sched_param parameter{};
  if (policy < 0 || sched_getparam(0, &parameter) != 0) return;
  scheduling->policy = policy & ~SCHED_RESET_ON_FORK;
  scheduling->realtimePriority = parameter.sched_priority;
}

std::string PolicyName(std::int32_t policy) {
  switch (policy) {
    case SCHED_OTHER:
      return "SCHED_OTHER";
    case SCHED_FIFO:
      return "SCHED_FIFO";
    case SCHED_RR:
      return "SCHED_RR";
    case SCHED_BATCH:
      return "SCHED_BATCH";
    case SCHED_IDLE:
      return "SCHED_IDLE";
    default:
      return policy < 0 ? "" : std::to_string(policy);
  }
}

bool IsRealTime(const ThreadScheduling& scheduling) {
  return scheduling.read && (scheduling.policy == SCHED_FIFO || scheduling.policy == SCHED_RR);
}

const char* DefaultGrantor() {
  return "avrt library";
}

void DescribeBudget(const Report& report, Budget* budget) {
  const bool root = geteuid() == 0;
  const bool capSysNice = HasCapSysNice();
  const Limit rtprio = ReadLimit(RLIMIT_RTPRIO);
  const Limit rttime = ReadLimit(RLIMIT_RTTIME);
  const bool itself = root || capSysNice || rtprio.soft > 0;
  auto& fields = budget->fields;
  fields.push_back({"platform", JsonString("linux"), "platform: Linux"});
  fields.push_back({"root", JsonBool(root), "root: " + YesNo(root)});
  fields.push_back({"cap_sys_nice", JsonBool(capSysNice), "CAP_SYS_NICE: " + YesNo(capSysNice)});
  fields.push_back(LimitField("rlimit_rtprio", "RLIMIT_RTPRIO", rtprio));
  fields.push_back({"may_set_real_time_itself", JsonBool(itself),
                    "may set real-time scheduling itself: " + YesNo(itself)});
  fields.push_back(LimitField("rlimit_rttime_us", "RLIMIT_RTTIME (microseconds)", rttime));

  const bool loaded = !MmcssClient::LoadFailed();
  AvrtExplanation provider{};
  const bool explained = loaded && MmcssClient::Explain(&provider, true);
  fields.push_back({"avrt_library",
                    JsonString(!loaded     ? "absent"
                               : explained ? "quorvane"
                                           : "other"),
                    std::string("avrt library: ") +
                        (!loaded     ? "none found"
                         : explained ? "Quorvane's provider"
                                     : "another one, which does not explain its grants")});
  const bool answers = explained && provider.realtimeKitAnswers;
  const AvrtRefusal contact = explained ? provider.realtimeKitContact : AvrtRefusal::kNone;
  const Contact contactWas = ContactOf(contact);
  fields.push_back({"realtime_kit",
                    !explained
                        ? kJsonNull
                        : "{\"answers\":" + JsonBool(answers) + ",\"max_realtime_priority\":" +
                              (answers ? JsonNumber(provider.maxRealtimePriority) : kJsonNull) +
                              ",\"rttime_usec_max\":" +
                              (answers ? JsonNumber(provider.rtTimeUSecMax) : kJsonNull) +
                              ",\"contact\":" + JsonString(contactWas.json) + "}",
                    !explained ? "RealtimeKit: not known (the avrt library does not say)"
                    : answers  ? "RealtimeKit: answers, MaxRealtimePriority " +
                                    std::to_string(provider.maxRealtimePriority) +
                                    ", RTTimeUSecMax " + std::to_string(provider.rtTimeUSecMax)
                    : contact != AvrtRefusal::kNone ? std::string("RealtimeKit: ") + contactWas.text
                                                    : "RealtimeKit: gave no usable limits"});
  fields.push_back({"login_session", explained ? JsonBool(provider.inLoginSession) : kJsonNull,
                    "in a login session: " +
                        (explained ? YesNo(provider.inLoginSession) : std::string("not known"))});
  fields.push_back({"sandboxed", explained ? JsonBool(provider.sandboxed) : kJsonNull,
                    "in a Flatpak or Snap sandbox: " +
                        (explained ? YesNo(provider.sandboxed) : std::string("not known"))});
  fields.push_back(
      {"paths", explained ? JsonString(provider.paths) : kJsonNull,
       "paths tried, in order: " + (!explained ? std::string("not known")
                                    : provider.paths[0] == '\0'
                                        ? std::string("none (QUORVANE_VIA names no path)")
                                        : std::string(provider.paths))});
  fields.push_back(PortalField(explained, provider));
  const std::vector<RealtimeHolder> holders = OtherRealtimeThreads();
  int held = 0;
  std::string json = "[";
  std::string text = "this user's real-time or negative-nice threads in other processes:";
  for (const RealtimeHolder& holder : holders) {
    held += holder.threads;
    if (json.size() > 1) json += ",";
    json += "{\"process\":" + JsonString(holder.process) + ",\"pid\":" + JsonNumber(holder.pid) +
            ",\"threads\":" + JsonNumber(holder.threads) + "}";
    text += " " + holder.process + " (pid " + std::to_string(holder.pid) + ") " +
            std::to_string(holder.threads) + ";";
  }
  if (holders.empty()) text += " none";
  if (text.back() == ';') text.pop_back();
  fields.push_back({"other_real_time_threads", json + "]", text});

  auto& hints = budget->hints;
  if (!loaded) {
    hints.push_back(
        "no avrt library was found: install the tool with its libavrt.so, beside it "
        "or in its lib/quorvane folder");
  }
  if (report.verified.demoted > 0) {
    hints.push_back("threads that lost real-time scheduling during their work: " +
                    std::to_string(report.verified.demoted) +
                    "; the provider demotes a real-time thread that runs for half the hard "
                    "RLIMIT_RTTIME without blocking, and other programs may change it too");
  }
  if (AnyReason(report, AvrtRefusal::kTimeLimitTooShort)) {
    hints.push_back(
        "the hard RLIMIT_RTTIME in force (or RealtimeKit's RTTimeUSecMax) is too short for a "
        "thread over it to be demoted before the kernel kills the process, so the provider "
        "refused: raise it (prlimit --rttime) or RealtimeKit's maximum");
  }
  if (report.failed == report.notStarted || !loaded) return;
  if (explained) PortalHints(report, provider, &hints);
  if (itself) return;
  const auto happened = [&](AvrtRefusal reason) {
    return explained && (contact == reason || AnyReason(report, reason));
  };
  // Behind an answering portal RealtimeKit runs, though this process may not reach it.
  if (happened(AvrtRefusal::kBusAddressRefused)) {
    hints.push_back(
        "DBUS_SYSTEM_BUS_ADDRESS names only kinds of address the provider does not use (a "
        "program to run, a host name to resolve): give the bus's socket, unix:path=...");
  }
  if (happened(AvrtRefusal::kBusUnreachable) && !provider.portalAnswers) {
    hints.push_back(
        "the system bus could not be reached, and RealtimeKit is asked through it: start the "
        "system bus (dbus), and install RealtimeKit (apt install rtkit); it grants real-time "
        "threads to users without rights");
  } else if (happened(AvrtRefusal::kRealtimeKitNotInstalled)) {
    hints.push_back(
        "RealtimeKit is not installed: install it (apt install rtkit); it grants real-time "
        "threads to users without rights");
  } else if (happened(AvrtRefusal::kRealtimeKitNotRunning)) {
    hints.push_back(
        "RealtimeKit is installed but not running: start it (systemctl start rtkit-daemon), "
        "and see its log if it does not stay up");
  } else if (happened(AvrtRefusal::kBusTimedOut)) {
    hints.push_back(
        "RealtimeKit did not answer in time, and this process did not ask it again: the "
        "machine or the bus was too busy; run again with fewer threads or on a quieter machine");
  }
  if (happened(AvrtRefusal::kRealtimeKitNotPermitted)) {
    hints.push_back(provider.inLoginSession
                        ? "RealtimeKit refused: polkit does not allow this user "
                          "org.freedesktop.RealtimeKit1.acquire-real-time"
                        : "RealtimeKit refused for lack of a login session: run the tool in a "
                          "logind session, or allow this user with a polkit rule for "
                          "org.freedesktop.RealtimeKit1.acquire-real-time");
  }
  if (happened(AvrtRefusal::kRealtimeKitBusy) || happened(AvrtRefusal::kRealtimeKitBusyNotAsked) ||
      report.RefusedBecause(AvrtRefusal::kPortalRealtimeKitBusy)) {
    hints.push_back(
        "RealtimeKit's limit is reached: its real-time threads per user count all of the "
        "user's processes together (" +
        std::to_string(held) + " held by other processes now)");
    hints.push_back(
        "RealtimeKit's burst limit (requests per user within its burst window) outlives a run: "
        "run again once the window has passed");
  }
  hints.push_back(
      "`@audio - rtprio 95` in /etc/security/limits.conf, with this user in the "
      "audio group (log in again), lets the kernel grant every thread");
  hints.push_back(
      "root, or CAP_SYS_NICE, gets every thread from the kernel: sudo setpriv "
      "--reuid=$USER --inh-caps=+sys_nice --ambient-caps=+sys_nice quorvane");
}

}  // namespace quorvane
