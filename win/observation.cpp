#include "observation.h"

#include <cstring>

#include "platform_explain.h"

namespace quorvane {

namespace {
// What the provider says refused the thread: the kernel's error, then RealtimeKit's answer.
std::string ProviderAccount(const AvrtExplanation& explanation) {
  std::string account;
  if (explanation.kernelErrno != 0) {
    account = std::string("the kernel: ") + std::strerror(explanation.kernelErrno);
  }
  if (explanation.realtimeKitSaid[0] != '\0') {
    if (!account.empty()) account += "; ";
    account += std::string("RealtimeKit: ") + explanation.realtimeKitSaid;
  }
  if (explanation.pathRefusal != AvrtRefusal::kNone ||
      explanation.portalRefusal != AvrtRefusal::kNone) {
    if (!account.empty()) account += "; ";
    account += explanation.pathRefusal != AvrtRefusal::kNone ? "the provider: " : "the portal: ";
    account += explanation.portalSaid;
  }
  return account;
}
}  // namespace

ThreadScheduling ReadOwnScheduling() {
  ThreadScheduling scheduling;
  // The base priority, which MMCSS sets: the current one may carry a passing boost.
  std::int32_t current = 0;
  scheduling.read = MmcssInspector::QueryThreadPriority(scheduling.priority, current);
  ReadOwnPolicy(&scheduling);
  return scheduling;
}

void WorkerObservation::Registration(HANDLE handle) {
  // First: every later call may change the last-error value.
  error = GetLastError();
  ran = true;
  registered = handle != nullptr;
  // Without a library the value is whatever the thread last had: say what happened instead.
  if (MmcssClient::LoadFailed()) error = ERROR_MOD_NOT_FOUND;
  AvrtExplanation explanation{};
  providerExplained = MmcssClient::Explain(&explanation, false);
  if (providerExplained) {
    grantedBy = explanation.grantedBy;
    if (!registered) {
      providerSaid = ProviderAccount(explanation);
      refusal = explanation.refusal;
      pathRefusal = explanation.pathRefusal;
      portalRefusal = explanation.portalRefusal;
    }
  }
  registeredAt = ReadOwnScheduling();
}

}  // namespace quorvane
