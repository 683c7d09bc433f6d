// THREAD_BASIC_INFORMATION of 64-bit Windows, the record of NtQueryInformationThread's class 0,
// which the Windows SDK does not declare: the layer fills it, the MMCSS inspector reads it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace compat {

constexpr ULONG kThreadBasicInformation = 0;

struct ThreadBasicInformation {
  LONG exitStatus;
  PVOID tebBaseAddress;
  HANDLE uniqueProcess;
  HANDLE uniqueThread;
  std::uintptr_t affinityMask;
  LONG priority;
  LONG basePriority;
};
static_assert(sizeof(ThreadBasicInformation) == 48, "THREAD_BASIC_INFORMATION is 48 bytes");
static_assert(offsetof(ThreadBasicInformation, priority) == 40, "Priority at offset 40");
static_assert(offsetof(ThreadBasicInformation, basePriority) == 44, "BasePriority at offset 44");

}  // namespace compat
