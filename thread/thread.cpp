#include "thread.h"

#include <objbase.h>

#include "proc_address.h"

#include <iterator>
#include <utility>

namespace quorvane {
namespace {

struct LevelPriority {
  int normalClass;  // when the process is in NORMAL_PRIORITY_CLASS
  int otherClass;   // in any other class: one step lower for levels 1..4
};

constexpr LevelPriority kLevelPriorities[] = {
    {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_IDLE},
    {THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_LOWEST},
    {THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_BELOW_NORMAL},
    {THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_NORMAL},
    {THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_ABOVE_NORMAL},
    {THREAD_PRIORITY_TIME_CRITICAL, THREAD_PRIORITY_TIME_CRITICAL},
};
static_assert(std::size(kLevelPriorities) == 6, "levels 0..5");

constexpr std::int32_t kMaskBits = sizeof(DWORD_PTR) * 8;

}  // namespace

Thread::Thread(std::string name) : name(std::move(name)) {}

Thread::~Thread() {
  if (handle != nullptr) {
    CloseHandle(handle);
    handle = nullptr;
  }
}

DWORD Thread::Start() {
  started = true;
  // Suspended, so that Run's first instruction already runs at the chosen priority.
  handle = CreateThread(nullptr, 0, ThreadEntry, this, CREATE_SUSPENDED, &threadId);
  SetPriority(priorityLevel);
  return ResumeThread(handle);
}

void Thread::Terminate() {
  if (handle == nullptr) return;
  // TerminateThread returns before the thread has stopped; a terminated thread always does.
  if (TerminateThread(handle, 0)) WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
  handle = nullptr;
}

bool Thread::Wait(DWORD milliseconds) {
  if (!started || handle == nullptr) return true;
  return WaitForSingleObject(handle, milliseconds) == WAIT_OBJECT_0;
}

bool Thread::SetPriority(std::int32_t level) {
  priorityLevel = level;
  if (handle == nullptr) return true;
  // Unsigned, so that negative levels are out of range too.
  const auto index = static_cast<std::uint32_t>(level);
  if (index >= std::size(kLevelPriorities)) return false;
  const LevelPriority& priority = kLevelPriorities[index];
  const bool normalClass = GetPriorityClass(GetCurrentProcess()) == NORMAL_PRIORITY_CLASS;
  return SetThreadPriority(handle, normalClass ? priority.normalClass : priority.otherClass) !=
         FALSE;
}

HANDLE Thread::GetHandle() const {
  return handle;
}

bool Thread::SetAffinity(std::int32_t index) {
  cpu = index;
  if (handle == nullptr) return false;
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) return false;
  DWORD_PTR wanted = 0;
  if (index == -1) {
    wanted = processMask;
  } else if (index >= 0 && index < kMaskBits) {
    wanted = DWORD_PTR{1} << index;
  } else {
    return false;
  }
  if ((wanted & processMask) == 0) return false;
  return SetThreadAffinityMask(handle, wanted) != 0;
}

bool Thread::IsCurrentThread() const {
  return threadId != 0 && GetCurrentThreadId() == threadId;
}

DWORD WINAPI ThreadEntry(LPVOID parameter) {
  auto* thread = static_cast<Thread*>(parameter);
  CoInitialize(nullptr);
  const DWORD exitCode = thread->Run();
  CoUninitialize();
  return exitCode;
}

bool SetHighPriorityClass(bool on) {
  SetPriorityClass(GetCurrentProcess(), on ? HIGH_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS);
  return true;
}

bool SetAboveNormalPriorityClass(bool on) {
  SetPriorityClass(GetCurrentProcess(),
                   on ? ABOVE_NORMAL_PRIORITY_CLASS : BELOW_NORMAL_PRIORITY_CLASS);
  return true;
}

bool SetPriorityBoost(bool on) {
  using SetProcessPriorityBoostCall = BOOL(WINAPI*)(HANDLE, BOOL);
  // Looked up at every call: not every system has it.
  const HMODULE kernel = GetModuleHandleA("Kernel32");
  const auto setBoost =
      compat::ProcAddress<SetProcessPriorityBoostCall>(kernel, "SetProcessPriorityBoost");
  if (setBoost == nullptr) return false;
  setBoost(GetCurrentProcess(), on ? FALSE : TRUE);  // the argument disables the boost
  return true;
}

}  // namespace quorvane
