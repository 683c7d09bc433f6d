// What a worker sees of its own registration and scheduling, for the report: read by the
// worker itself, before it registers, right after, and with every registration held.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "mmcss.h"

namespace quorvane {

struct ThreadScheduling {
  bool read = false;          // false when the inspector could not read it
  std::int32_t priority = 0;  // the inspector's base priority
  std::int32_t policy = -1;   // the kernel's policy where there is one, else -1
  std::int32_t realtimePriority = 0;
};

// The calling thread's scheduling, through the inspector (and the policy where one exists).
ThreadScheduling ReadOwnScheduling();

struct WorkerObservation {
  bool ran = false;  // set by the worker: one that never ran observed nothing
  bool registered = false;
  DWORD error = 0;  // the last-error value of a refusal
  AvrtGrantor grantedBy = AvrtGrantor::kNone;
  AvrtRefusal refusal = AvrtRefusal::kNone;        // the provider's reason for a refusal
  bool providerExplained = false;                  // the provider has QuorvaneAvrtExplain
  std::string providerSaid;                        // the provider's account of a refusal
  AvrtRefusal pathRefusal = AvrtRefusal::kNone;    // the provider's own rules refused
  AvrtRefusal portalRefusal = AvrtRefusal::kNone;  // why the desktop portal did not grant
  ThreadScheduling before;
  ThreadScheduling registeredAt;  // right after the registration, before the work
  ThreadScheduling atBarrier;     // with every registration held

  // Called on the worker's thread right after its registration call.
  void Registration(HANDLE handle);
};

}  // namespace quorvane
