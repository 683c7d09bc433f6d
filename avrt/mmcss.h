// MMCSS registration without linking avrt.dll: the library is loaded at run time and stays
// loaded while any MmcssClient exists in the process.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "avrt_explanation.h"

namespace quorvane {

// What to register a thread as. Registration reads enabled, taskName and priority; flag2, flag3
// and tag only travel with the presets.
struct MmcssProfile {
  bool enabled;
  bool flag2;
  bool flag3;
  const char* taskName;
  std::int32_t priority;  // AVRT_PRIORITY: -2 very low, -1 low, 0 normal, 1 high, 2 critical
  std::int32_t tag;
};

inline constexpr MmcssProfile kProAudioCritical{true, true, true, "Pro Audio", 2, 26};
inline constexpr MmcssProfile kProAudioHigh{true, true, false, "Pro Audio", 1, 25};
inline constexpr MmcssProfile kAudioLow{true, false, false, "Audio", -1, 20};
inline constexpr MmcssProfile kNoMmcss{false, false, false, "", -1, -1};

// Runs registrations one at a time, on a Win32 mutex: the system decides whom a release wakes,
// and a forked child, where the parent's other threads are gone, finds the lock free
// (abandoned) even when one of them held it. A release leaves the thread's last-error value as
// the holder's call set it. A lock that cannot be made or taken throws std::system_error.
class RegistrationLock {
 public:
  RegistrationLock();
  ~RegistrationLock();
  RegistrationLock(const RegistrationLock&) = delete;
  RegistrationLock& operator=(const RegistrationLock&) = delete;

  void lock();
  void unlock();

 private:
  HANDLE mutex;
};

// Constructing and destroying clients changes process-wide state without a lock: never on
// several threads at once. SetThreadCharacteristics may run on any number of threads.
class MmcssClient {
 public:
  MmcssClient();
  ~MmcssClient();
  MmcssClient(const MmcssClient&) = delete;
  MmcssClient& operator=(const MmcssClient&) = delete;

  static void AcquireAvrt();
  static void ReleaseAvrt();
  static bool IsAvailable();
  static std::int32_t LoadCount() { return avrtLoadCount; }
  static bool LoadFailed() { return avrtLoadFailed; }

  // Reverts `previous` (when non-null), then registers the calling thread as `profile` says.
  // Returns the registration handle, or null (the reason in the thread's last-error value).
  HANDLE SetThreadCharacteristics(const MmcssProfile& profile, HANDLE previous);

  // Asks the provider what it knows (see avrt_explanation.h). False when the loaded avrt
  // library has no such entry point, as Windows' own has not.
  static bool Explain(AvrtExplanation* explanation, bool budget);

  static MmcssClient& Instance();

  // Makes the registration calls of all threads using this object run one at a time.
  RegistrationLock registrationLock;

 private:
  using SetMaxThreadCharacteristicsFunction = HANDLE(WINAPI*)(LPCSTR, LPCSTR, LPDWORD);
  using SetThreadPriorityFunction = BOOL(WINAPI*)(HANDLE, std::int32_t);
  using RevertThreadCharacteristicsFunction = BOOL(WINAPI*)(HANDLE);

  static HMODULE avrtModule;
  static std::int32_t avrtLoadCount;
  static bool avrtLoadFailed;
  static SetMaxThreadCharacteristicsFunction avSetMmMaxThreadCharacteristicsA;
  static SetThreadPriorityFunction avSetMmThreadPriority;
  static RevertThreadCharacteristicsFunction avRevertMmThreadCharacteristics;
  static AvrtExplainFunction avrtExplain;
};

// An MmcssClient that can also read the calling thread's priorities through the native API.
class MmcssInspector : public MmcssClient {
 public:
  MmcssInspector();

  static void BindNtdll();
  // False when the native API is unavailable or has failed once in this process.
  static bool QueryThreadPriority(std::int32_t& basePriority, std::int32_t& priority);

  static MmcssInspector& Instance();

 private:
  using QueryInformationThreadFunction = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, ULONG*);

  static HMODULE ntdllModule;
  static QueryInformationThreadFunction ntQueryInformationThread;
  static std::atomic<bool> queryAvailable;
};

}  // namespace quorvane
