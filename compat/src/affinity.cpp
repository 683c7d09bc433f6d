// Affinity: the kernel's per-thread CPU masks, first 64 processors (the width of DWORD_PTR).
// Linux has no process mask: the main thread's at the first call stands for it, as threads
// inherit it.
#include "kernel_object.h"
#include "out_of_memory.h"
#include "thread_object.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>

namespace compat {
namespace {

constexpr int kMaskBits = sizeof(DWORD_PTR) * 8;

bool ReadMask(pid_t threadId, DWORD_PTR* mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(threadId, sizeof(set), &set) != 0) return false;
  *mask = 0;
  for (int cpu = 0; cpu < kMaskBits; ++cpu) {
    if (CPU_ISSET(cpu, &set)) *mask |= DWORD_PTR{1} << cpu;
  }
  return true;
}

bool WriteMask(pid_t threadId, DWORD_PTR mask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < kMaskBits; ++cpu) {
    if ((mask >> cpu) & 1) CPU_SET(cpu, &set);
  }
  return sched_setaffinity(threadId, sizeof(set), &set) == 0;
}

}  // namespace
}  // namespace compat

extern "C" {

BOOL GetProcessAffinityMask(HANDLE process, PDWORD_PTR processMask, PDWORD_PTR systemMask) {
  if (process != compat::CurrentProcessPseudoHandle()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Read once, so that pinning the main thread later does not shrink it.
  static const DWORD_PTR startMask = [] {
    DWORD_PTR mask = 0;
    compat::ReadMask(getpid(), &mask);
    return mask;
  }();
  if (startMask == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  *processMask = startMask;
  const long configured = sysconf(_SC_NPROCESSORS_CONF);
  *systemMask = configured >= compat::kMaskBits ? ~DWORD_PTR{0} : (DWORD_PTR{1} << configured) - 1;
  return TRUE;
}

// As on Windows, the mask must lie within the process's mask; returns the previous mask.
DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask) {
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) return 0;
  if (mask == 0 || (mask & ~processMask) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD_PTR previous = 0;
  const bool set = compat::WithRunningThread(thread, [&](pid_t threadId) {
    if (compat::ReadMask(threadId, &previous) && compat::WriteMask(threadId, mask)) return true;
    SetLastError(compat::ErrorFromErrno(errno));
    return false;
  });
  return set ? previous : 0;
}

}  // extern "C"
