#include "mmcss.h"
#include "proc_address.h"
#include "thread_basic_information.h"

#include <cstddef>
#include <mutex>
#include <system_error>

namespace quorvane {
namespace {

using compat::kThreadBasicInformation;
using compat::ProcAddress;
using compat::ThreadBasicInformation;

}  // namespace

HMODULE MmcssClient::avrtModule = nullptr;
std::int32_t MmcssClient::avrtLoadCount = 0;
bool MmcssClient::avrtLoadFailed = false;
MmcssClient::SetMaxThreadCharacteristicsFunction MmcssClient::avSetMmMaxThreadCharacteristicsA =
    nullptr;
MmcssClient::SetThreadPriorityFunction MmcssClient::avSetMmThreadPriority = nullptr;
MmcssClient::RevertThreadCharacteristicsFunction MmcssClient::avRevertMmThreadCharacteristics =
    nullptr;
AvrtExplainFunction MmcssClient::avrtExplain = nullptr;

RegistrationLock::RegistrationLock() : mutex(CreateMutexA(nullptr, FALSE, nullptr)) {}

RegistrationLock::~RegistrationLock() {
  if (mutex != nullptr) CloseHandle(mutex);
}

void RegistrationLock::lock() {
  const DWORD result = WaitForSingleObject(mutex, INFINITE);
  // Abandoned: the thread that held it is gone (in a forked child, one of the parent's
  // others). The lock guards no state of its own, so taking it is all there is to do.
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return;
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                          "the MMCSS registration lock");
}

void RegistrationLock::unlock() {
  // Waking the next waiter may change this thread's last-error value; the holder's caller
  // reads the one its call under the lock left.
  const DWORD error = GetLastError();
  ReleaseMutex(mutex);
  SetLastError(error);
}

MmcssClient::MmcssClient() {
  AcquireAvrt();
}

MmcssClient::~MmcssClient() {
  ReleaseAvrt();
}

void MmcssClient::AcquireAvrt() {
  if (avrtModule != nullptr) {
    ++avrtLoadCount;
    return;
  }
  // A library that failed to load once is not looked for again in this process.
  if (avrtLoadFailed) return;
  avrtModule = LoadLibraryA("avrt.dll");
  if (avrtModule == nullptr) {
    avrtLoadFailed = true;
    return;
  }
  avSetMmMaxThreadCharacteristicsA = ProcAddress<SetMaxThreadCharacteristicsFunction>(
      avrtModule, "AvSetMmMaxThreadCharacteristicsA");
  avSetMmThreadPriority =
      ProcAddress<SetThreadPriorityFunction>(avrtModule, "AvSetMmThreadPriority");
  avRevertMmThreadCharacteristics = ProcAddress<RevertThreadCharacteristicsFunction>(
      avrtModule, "AvRevertMmThreadCharacteristics");
  avrtExplain = ProcAddress<AvrtExplainFunction>(avrtModule, kAvrtExplainName);
  ++avrtLoadCount;
}

void MmcssClient::ReleaseAvrt() {
  if (avrtModule == nullptr) return;
  if (--avrtLoadCount != 0) return;
  avSetMmMaxThreadCharacteristicsA = nullptr;
  avSetMmThreadPriority = nullptr;
  avRevertMmThreadCharacteristics = nullptr;
  avrtExplain = nullptr;
  FreeLibrary(avrtModule);
  avrtModule = nullptr;
}

bool MmcssClient::IsAvailable() {
  return avSetMmMaxThreadCharacteristicsA != nullptr && avSetMmThreadPriority != nullptr &&
         avRevertMmThreadCharacteristics != nullptr;
}

HANDLE MmcssClient::SetThreadCharacteristics(const MmcssProfile& profile, HANDLE previous) {
  if (avRevertMmThreadCharacteristics != nullptr && previous != nullptr) {
    avRevertMmThreadCharacteristics(previous);
  }
  if (!profile.enabled) return nullptr;
  HANDLE registration = nullptr;
  if (avSetMmMaxThreadCharacteristicsA != nullptr) {
    // Only the registration itself is serialised; revert and priority run outside the lock.
    std::lock_guard<RegistrationLock> hold(registrationLock);
    DWORD taskIndex = 0;
    SetLastError(0);
    registration = avSetMmMaxThreadCharacteristicsA(profile.taskName, profile.taskName, &taskIndex);
  }
  if (avSetMmThreadPriority != nullptr && registration != nullptr) {
    avSetMmThreadPriority(registration, profile.priority);
  }
  return registration;
}

bool MmcssClient::Explain(AvrtExplanation* explanation, bool budget) {
  if (avrtExplain == nullptr) return false;
  explanation->size = sizeof(AvrtExplanation);
  return avrtExplain(explanation, budget ? TRUE : FALSE) != FALSE;
}

MmcssClient& MmcssClient::Instance() {
  static MmcssClient instance;
  return instance;
}

HMODULE MmcssInspector::ntdllModule = nullptr;
MmcssInspector::QueryInformationThreadFunction MmcssInspector::ntQueryInformationThread = nullptr;
std::atomic<bool> MmcssInspector::queryAvailable{false};

MmcssInspector::MmcssInspector() {
  BindNtdll();
}

void MmcssInspector::BindNtdll() {
  if (ntdllModule != nullptr) return;
  // No reference is taken: NTDLL.DLL is never unloaded.
  ntdllModule = GetModuleHandleA("NTDLL.DLL");
  if (ntdllModule == nullptr) return;
  ntQueryInformationThread =
      ProcAddress<QueryInformationThreadFunction>(ntdllModule, "NtQueryInformationThread");
  if (ntQueryInformationThread != nullptr) queryAvailable.store(true, std::memory_order_relaxed);
}

bool MmcssInspector::QueryThreadPriority(std::int32_t& basePriority, std::int32_t& priority) {
  if (!queryAvailable.load(std::memory_order_relaxed)) return false;
  ThreadBasicInformation record;
  const LONG status = ntQueryInformationThread(GetCurrentThread(), kThreadBasicInformation, &record,
                                               sizeof(record), nullptr);
  if (status != 0) {
    // One failure disables the query for the rest of the process.
    queryAvailable.store(false, std::memory_order_relaxed);
    return false;
  }
  basePriority = record.basePriority;
  priority = record.priority;
  return true;
}

MmcssInspector& MmcssInspector::Instance() {
  static MmcssInspector instance;
  return instance;
}

}  // namespace quorvane
