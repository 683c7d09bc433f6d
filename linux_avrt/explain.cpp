// QuorvaneAvrtExplain: who granted the calling thread's last registration and what refused it,
// and, for the budget, whether RealtimeKit answers, its limits and whether the process is in
// a login session. Only this provider knows these; the tool looks the entry point up.
#include "explain.h"
#include "paths.h"
#include "portal.h"
#include "provider.h"

#include "avrt_explanation.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace avrt {
namespace {

struct LastCall {
  quorvane::AvrtGrantor grantedBy = quorvane::AvrtGrantor::kNone;
  int kernelErrno = 0;
  quorvane::AvrtRefusal refusal = quorvane::AvrtRefusal::kNone;
  char realtimeKitSaid[sizeof(quorvane::AvrtExplanation::realtimeKitSaid)] = "";
  quorvane::AvrtRefusal pathRefusal = quorvane::AvrtRefusal::kNone;
  quorvane::AvrtRefusal portalRefusal = quorvane::AvrtRefusal::kNone;
  char portalSaid[sizeof(quorvane::AvrtExplanation::portalSaid)] = "";
};
thread_local LastCall lastCall;

// Through the registrations' own connection, so the process's bound on waiting for the bus
// holds for the report too.
void ReadRealtimeKit(quorvane::AvrtExplanation* explanation) {
  int priority = 0;
  std::int64_t microseconds = 0;
  explanation->realtimeKitAnswers =
      RealtimeKit::Instance().Limits(&priority, &microseconds, &explanation->realtimeKitContact);
  if (explanation->realtimeKitAnswers) {
    explanation->maxRealtimePriority = priority;
    explanation->rtTimeUSecMax = microseconds;
  }
}

// Through the registrations' own connection too; the portal is asked only where the paths
// chosen include it.
void ReadPortal(quorvane::AvrtExplanation* explanation) {
  const Paths& paths = ChosenPaths();
  explanation->sandboxed = paths.sandboxed;
  paths.Describe(explanation->paths, sizeof explanation->paths);
  PortalValues values;
  explanation->portalAnswers = paths.Has(Path::kPortal) && Portal::Instance().Values(&values);
  if (explanation->portalAnswers) {
    explanation->portalVersion = values.version;
    explanation->portalMaxRealtimePriority = values.maxRealtimePriority;
    explanation->portalMinNiceLevel = values.minNiceLevel;
    explanation->portalRTTimeUSecMax = values.rtTimeUSecMax;
    explanation->portalValuesUnusable = values.unusable;
  }
}

}  // namespace

void NoteGrantedByPortal() {
  lastCall.grantedBy = quorvane::AvrtGrantor::kPortal;
}

void NotePortalRefused(quorvane::AvrtRefusal why, const char* said) {
  lastCall.portalRefusal = why;
  std::snprintf(lastCall.portalSaid, sizeof lastCall.portalSaid, "%s", said);
}

void NotePathRefused(const char* word) {
  lastCall.pathRefusal = quorvane::AvrtRefusal::kUnknownPath;
  std::snprintf(lastCall.portalSaid, sizeof lastCall.portalSaid,
                "QUORVANE_VIA names no path \"%s\" (kernel, portal, realtimekit)", word);
}

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

void NoteRealtimeKitRefused(quorvane::AvrtRefusal why, const char* said) {
  lastCall.refusal = why;
  std::snprintf(lastCall.realtimeKitSaid, sizeof lastCall.realtimeKitSaid, "%s", said);
}

void NoteRefused(quorvane::AvrtRefusal why) {
  lastCall.refusal = why;
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
  explanation->refusal = avrt::lastCall.refusal;
  std::memcpy(explanation->realtimeKitSaid, avrt::lastCall.realtimeKitSaid,
              sizeof explanation->realtimeKitSaid);
  explanation->pathRefusal = avrt::lastCall.pathRefusal;
  explanation->portalRefusal = avrt::lastCall.portalRefusal;
  std::memcpy(explanation->portalSaid, avrt::lastCall.portalSaid, sizeof explanation->portalSaid);
  if (budget) {
    avrt::ReadRealtimeKit(explanation);
    avrt::ReadPortal(explanation);
    char* session = nullptr;
    explanation->inLoginSession = sd_pid_get_session(0, &session) >= 0;
    std::free(session);
  }
  return TRUE;
}

}  // extern "C"
