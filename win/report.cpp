#include "report.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "mmcss_errors.h"
#include "platform_explain.h"
#include "service.h"
#include "version.h"

namespace quorvane {

namespace {

// The errors an MMCSS registration is refused with, on Windows and from our Linux provider.
struct Meaning {
  DWORD error;
  const char* text;
};
constexpr Meaning kMeanings[] = {
    {ERROR_SUCCESS, "no reason given"},
    {ERROR_ACCESS_DENIED, "access denied"},
    {ERROR_NOT_ENOUGH_MEMORY, "not enough memory"},
    {ERROR_INVALID_PARAMETER, "invalid parameter"},
    {ERROR_MOD_NOT_FOUND, "no avrt library found"},
    {ERROR_TOO_MANY_THREADS, "too many threads"},
    {ERROR_PRIVILEGE_NOT_HELD, "privilege not held"},
    {ERROR_TIMEOUT, "no answer in time"},
    {ERROR_INVALID_TASK_NAME, "invalid task name"},
    {ERROR_INVALID_TASK_INDEX, "invalid task index"},
    {ERROR_THREAD_ALREADY_IN_TASK, "thread already in a task"},
    {ERROR_NOT_ENOUGH_QUOTA, "real-time time limit too short"},
};

void AddGrant(const WorkerObservation& observation, std::vector<GrantGroup>* grants) {
  const std::string by = GrantorName(observation);
  const std::string policy = PolicyName(observation.atBarrier.policy);
  const ThreadScheduling& held = observation.atBarrier;
  auto group = std::find_if(grants->begin(), grants->end(), [&](const GrantGroup& grant) {
    return grant.by == by && grant.policy == policy;
  });
  if (group == grants->end()) {
    grants->push_back({by, policy, held.priority, held.priority, held.realtimePriority,
                       held.realtimePriority, 0});
    group = std::prev(grants->end());
  }
  group->priorityMin = std::min(group->priorityMin, held.priority);
  group->priorityMax = std::max(group->priorityMax, held.priority);
  group->realtimePriorityMin = std::min(group->realtimePriorityMin, held.realtimePriority);
  group->realtimePriorityMax = std::max(group->realtimePriorityMax, held.realtimePriority);
  ++group->threads;
}

void AddRefusal(const WorkerObservation& observation, std::vector<RefusalGroup>* refusals) {
  auto group = std::find_if(refusals->begin(), refusals->end(), [&](const RefusalGroup& refusal) {
    return refusal.error == observation.error;
  });
  if (group == refusals->end()) {
    refusals->push_back({observation.error, ErrorMeaning(observation.error), 0, {}, {}});
    group = std::prev(refusals->end());
  }
  ++group->threads;
  if (observation.refusal != AvrtRefusal::kNone &&
      std::find(group->reasons.begin(), group->reasons.end(), observation.refusal) ==
          group->reasons.end()) {
    group->reasons.push_back(observation.refusal);
  }
  const std::string& said = observation.providerSaid;
  if (!said.empty() && std::find(group->providerSaid.begin(), group->providerSaid.end(), said) ==
                           group->providerSaid.end()) {
    group->providerSaid.push_back(said);
  }
}

void Verify(const WorkerObservation& observation, Verification* verified) {
  switch (HoldOf(observation)) {
    case Hold::kApplied:
      ++verified->applied;
      break;
    case Hold::kGrantedNotApplied:
      ++verified->grantedNotApplied;
      break;
    case Hold::kDemoted:
      ++verified->demoted;
      break;
    case Hold::kRefusedButRealTime:
      ++verified->refusedButRealTime;
      break;
    case Hold::kRefused:
      break;
  }
}

std::string Scheduling(const GrantGroup& grant) {
  std::string text;
  if (!grant.policy.empty()) text = grant.policy + ", ";
  const auto range = [](std::int32_t low, std::int32_t high) {
    return low == high ? std::to_string(low) : std::to_string(low) + ".." + std::to_string(high);
  };
  text += "priority " + range(grant.priorityMin, grant.priorityMax);
  if (grant.realtimePriorityMax > 0) {
    text +=
        " (real-time priority " + range(grant.realtimePriorityMin, grant.realtimePriorityMax) + ")";
  }
  return text;
}

template <typename Item, typename Write>
std::string JsonList(const std::vector<Item>& items, Write write) {
  std::string json = "[";
  for (const Item& item : items) {
    if (json.size() > 1) json += ",";
    json += write(item);
  }
  return json + "]";
}

}  // namespace

// Real-time at the barrier is what counts, whatever the thread had before: a thread that
// started real-time and kept it holds its grant as much as one raised to it.
Hold HoldOf(const WorkerObservation& observation) {
  const bool realTime = IsRealTime(observation.atBarrier);
  if (!observation.registered) return realTime ? Hold::kRefusedButRealTime : Hold::kRefused;
  if (realTime) return Hold::kApplied;
  return IsRealTime(observation.registeredAt) ? Hold::kDemoted : Hold::kGrantedNotApplied;
}

std::string GrantorName(const WorkerObservation& observation) {
  switch (observation.grantedBy) {
    case AvrtGrantor::kKernel:
      return "kernel";
    case AvrtGrantor::kRealtimeKit:
      return "RealtimeKit";
    case AvrtGrantor::kPortal:
      return "portal";
    case AvrtGrantor::kNone:
      break;
  }
  return DefaultGrantor();
}

bool Report::RefusedBecause(AvrtRefusal why) const {
  return std::find(providerRefusals.begin(), providerRefusals.end(), why) != providerRefusals.end();
}

const char* ErrorMeaning(DWORD error) {
  for (const Meaning& meaning : kMeanings) {
    if (meaning.error == error) return meaning.text;
  }
  return "unknown error";
}

Report BuildReport(const std::vector<WorkerObservation>& observations, std::int32_t requested,
                   std::int32_t notStarted) {
  Report report;
  report.requested = std::max<std::int32_t>(requested, 0);
  report.notStarted = notStarted;
  for (const WorkerObservation& observation : observations) {
    if (observation.registered) {
      ++report.granted;
      AddGrant(observation, &report.grants);
    } else {
      AddRefusal(observation, &report.refusals);
      for (const AvrtRefusal why : {observation.pathRefusal, observation.portalRefusal}) {
        if (why != AvrtRefusal::kNone && !report.RefusedBecause(why)) {
          report.providerRefusals.push_back(why);
        }
      }
    }
    Verify(observation, &report.verified);
  }
  report.failed = report.requested - report.granted;
  const Verification& verified = report.verified;
  if (verified.grantedNotApplied > 0) {
    report.budget.hints.push_back(
        "registrations granted but not applied: " + std::to_string(verified.grantedNotApplied) +
        "; their threads did not run real-time, as with Wine's avrt.dll and stand-ins, "
        "which hand out handles without real-time scheduling");
  }
  DescribeBudget(report, &report.budget);
  return report;
}

void PrintReport(const Report& report, std::ostream& out) {
  out << std::endl;
  out << "Explanation of the run: " << report.requested << " requested, " << report.granted
      << " granted, " << report.failed - report.notStarted << " refused, " << report.notStarted
      << " not started" << std::endl;
  out << "Grants, as each thread read its scheduling with every registration held:" << std::endl;
  if (report.grants.empty()) out << "  none" << std::endl;
  for (const GrantGroup& grant : report.grants) {
    // The portal only forwards: the grant is RealtimeKit's, asked for through it.
    const std::string by = grant.by == "portal" ? "portal (RealtimeKit behind it)" : grant.by;
    out << "  " << grant.threads << " by " << Printable(by) << ": " << Scheduling(grant)
        << std::endl;
  }
  const Verification& verified = report.verified;
  out << "Verification:" << std::endl;
  out << "  " << verified.applied << " granted and applied, real-time through the work"
      << std::endl;
  out << "  " << verified.grantedNotApplied
      << " granted but not applied (the thread did not run real-time)" << std::endl;
  out << "  " << verified.demoted << " lost real-time scheduling during their work" << std::endl;
  out << "  " << verified.refusedButRealTime << " refused but running real-time anyway"
      << std::endl;
  out << "Refusals:" << std::endl;
  if (report.refusals.empty() && report.notStarted == 0) out << "  none" << std::endl;
  for (const RefusalGroup& refusal : report.refusals) {
    out << "  " << refusal.threads << " with error " << refusal.error << " (" << refusal.meaning
        << ")" << std::endl;
    for (const std::string& said : refusal.providerSaid) {
      out << "    " << Printable(said) << std::endl;
    }
  }
  if (report.notStarted > 0) {
    out << "  " << report.notStarted << " threads could not be started" << std::endl;
  }
  out << "Budget:" << std::endl;
  for (const BudgetField& field : report.budget.fields) {
    out << "  " << Printable(field.text) << std::endl;
  }
  out << "Hints:" << std::endl;
  if (report.budget.hints.empty()) out << "  none" << std::endl;
  for (const std::string& hint : report.budget.hints) {
    out << "  - " << Printable(hint) << std::endl;
  }
  out << "An application in this process can rely on " << report.Reliable()
      << " real-time threads now." << std::endl;
  if (report.service) PrintService(*report.service, out);
}

void PrintJson(const Report& report, std::ostream& out) {
  std::string json = "{\"version\":" + JsonString(kVersion);
  json += ",\"requested\":" + JsonNumber(report.requested);
  json += ",\"granted\":" + JsonNumber(report.granted);
  json += ",\"failed\":" + JsonNumber(report.failed);
  json += ",\"not_started\":" + JsonNumber(report.notStarted);
  json += ",\"grants\":" + JsonList(report.grants, [](const GrantGroup& grant) {
            const bool realtime = grant.realtimePriorityMax > 0;
            return "{\"by\":" + JsonString(grant.by) +
                   ",\"policy\":" + (grant.policy.empty() ? kJsonNull : JsonString(grant.policy)) +
                   ",\"priority_min\":" + JsonNumber(grant.priorityMin) +
                   ",\"priority_max\":" + JsonNumber(grant.priorityMax) +
                   ",\"realtime_priority_min\":" +
                   (realtime ? JsonNumber(grant.realtimePriorityMin) : kJsonNull) +
                   ",\"realtime_priority_max\":" +
                   (realtime ? JsonNumber(grant.realtimePriorityMax) : kJsonNull) +
                   ",\"threads\":" + JsonNumber(grant.threads) + "}";
          });
  json += ",\"refusals\":" + JsonList(report.refusals, [](const RefusalGroup& refusal) {
            return "{\"error\":" + JsonNumber(refusal.error) +
                   ",\"meaning\":" + JsonString(refusal.meaning) +
                   ",\"threads\":" + JsonNumber(refusal.threads) +
                   ",\"provider_said\":" + JsonList(refusal.providerSaid, JsonString) + "}";
          });
  const Verification& verified = report.verified;
  json += ",\"verified\":{\"applied\":" + JsonNumber(verified.applied) +
          ",\"granted_not_applied\":" + JsonNumber(verified.grantedNotApplied) +
          ",\"refused_but_real_time\":" + JsonNumber(verified.refusedButRealTime) +
          ",\"demoted\":" + JsonNumber(verified.demoted) + "}";
  json += ",\"budget\":{";
  for (const BudgetField& field : report.budget.fields) {
    if (json.back() != '{') json += ",";
    json += JsonString(field.key) + ":" + field.json;
  }
  json += "},\"hints\":" + JsonList(report.budget.hints, JsonString);
  json += ",\"reliable\":" + JsonNumber(report.Reliable());
  if (report.service) json += ",\"service\":" + ServiceJson(*report.service);
  json += "}";
  out << json << std::endl;
}

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0 (overlong forms, surrogates
// and values past U+10FFFF are not UTF-8).
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                       : lead >= 0xe0 && lead <= 0xef ? 3
                       : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                      : 0;
  if (length == 0 || at + length > text.size()) return 0;
  const unsigned char second = byte(at + 1);
  const unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
  if (second < low || second > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    const std::size_t length = Utf8Length(text, at);
    if (length == 0) {
      json += "\xef\xbf\xbd";  // U+FFFD, the replacement character
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      json += escaped;
    } else {
      json.append(text, at, length);
    }
    at += length;
  }
  return json + "\"";
}

std::string Printable(const std::string& text) {
  std::string printable;
  for (std::size_t at = 0; at < text.size();) {
    const char c = text[at];
    const auto byte = static_cast<unsigned char>(c);
    const std::size_t length = Utf8Length(text, at);
    if (length == 0) {
      printable += "\xef\xbf\xbd";  // U+FFFD, as in the JSON
      ++at;
      continue;
    }
    if (c == '\n') {
      printable += "\\n";
    } else if (c == '\t') {
      printable += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      printable += escaped;
    } else {
      printable.append(text, at, length);
    }
    at += length;
  }
  return printable;
}

std::string JsonBool(bool value) {
  return value ? "true" : "false";
}

std::string JsonNumber(std::int64_t value) {
  return std::to_string(value);
}

}  // namespace quorvane
