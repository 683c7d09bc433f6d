// The report behind the two numbers: who granted what, whether it was applied, why the rest
// were refused, what the process may get, and what would give more.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "observation.h"

namespace quorvane {

struct ServiceSummary;

// What a started worker held with every registration held.
enum class Hold { kApplied, kGrantedNotApplied, kDemoted, kRefused, kRefusedButRealTime };
Hold HoldOf(const WorkerObservation& observation);
// The grant's source as the report names it: "kernel", "RealtimeKit", "portal", "MMCSS".
std::string GrantorName(const WorkerObservation& observation);

struct GrantGroup {
  std::string by;
  std::string policy;  // empty where the platform has none
  std::int32_t priorityMin;
  std::int32_t priorityMax;
  std::int32_t realtimePriorityMin;
  std::int32_t realtimePriorityMax;
  std::int32_t threads;
};

struct RefusalGroup {
  DWORD error;
  const char* meaning;
  std::int32_t threads;
  std::vector<std::string> providerSaid;  // each distinct account once
  std::vector<AvrtRefusal> reasons;       // each distinct reason the provider gave once
};

struct Verification {
  std::int32_t applied = 0;
  std::int32_t grantedNotApplied = 0;
  std::int32_t refusedButRealTime = 0;
  std::int32_t demoted = 0;
};

// One budget entry: its JSON key and value, and its line in the text report.
struct BudgetField {
  std::string key;
  std::string json;
  std::string text;
};

struct Budget {
  std::vector<BudgetField> fields;
  std::vector<std::string> hints;
};

struct Report {
  std::int32_t requested = 0;
  std::int32_t granted = 0;
  std::int32_t failed = 0;
  std::int32_t notStarted = 0;
  std::vector<GrantGroup> grants;
  std::vector<RefusalGroup> refusals;
  Verification verified;
  // The provider's reasons among the refusals (its own rules', the portal's), each once.
  std::vector<AvrtRefusal> providerRefusals;
  Budget budget;
  // What the held threads got from a service phase; null when none ran.
  const ServiceSummary* service = nullptr;

  bool RefusedBecause(AvrtRefusal why) const;

  // Registrations an application in this process can rely on: real-time with every
  // registration held.
  std::int32_t Reliable() const { return verified.applied; }
};

// The meaning of a registration's last-error value.
const char* ErrorMeaning(DWORD error);

// Builds the report from the workers' observations (the started ones) and reads the budget.
Report BuildReport(const std::vector<WorkerObservation>& observations, std::int32_t requested,
                   std::int32_t notStarted);

// The text after the two result lines.
void PrintReport(const Report& report, std::ostream& out);
// One JSON object on one line.
void PrintJson(const Report& report, std::ostream& out);

// JSON values for the budget's fields. A string's bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);
// `text` with its control characters escaped (\n, \x1b), so that it stays on one line, and
// bytes that are not UTF-8 as U+FFFD.
std::string Printable(const std::string& text);
std::string JsonBool(bool value);
std::string JsonNumber(std::int64_t value);
constexpr const char* kJsonNull = "null";

}  // namespace quorvane
