// The platform's part of the report, in one file per platform chosen by the build.
#pragma once

#include <cstdint>
#include <string>

#include "observation.h"
#include "report.h"

namespace quorvane {

// Adds the kernel's policy of the calling thread, where the platform has one.
void ReadOwnPolicy(ThreadScheduling* scheduling);
// Whether the thread ran real-time: a real-time policy, or a priority in the real-time range.
bool IsRealTime(const ThreadScheduling& scheduling);
// The policy's name, or empty where the platform has no policies.
std::string PolicyName(std::int32_t policy);
// Who granted a registration when the provider does not say.
const char* DefaultGrantor();
// What this process may get, read now, and the hints that apply to the run's outcome.
void DescribeBudget(const Report& report, Budget* budget);

}  // namespace quorvane
