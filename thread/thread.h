// A kernel thread with a six-step priority scale, and the process-wide priority controls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace quorvane {

// Subclasses supply Run and are destroyed as themselves (mark them final): the destructor is
// not virtual. Destruction closes the handle; it neither waits for nor stops the thread.
class Thread {
 public:
  explicit Thread(std::string name);
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // The thread body, run on the new thread with COM initialised; returns the exit code.
  virtual DWORD Run() = 0;

  // Creates the thread suspended, applies the stored level and resumes it. Returns
  // ResumeThread's result: 1 when the thread was started, 0xFFFFFFFF when creation failed.
  DWORD Start();
  // Ends the thread forcibly where it is (nothing of it is unwound) and closes its handle once
  // the thread has stopped.
  void Terminate();
  // True when the thread ended within the time (or has no handle).
  bool Wait(DWORD milliseconds);
  // Levels 0..5 from idle to time-critical. Always stores the level; before Start it is
  // applied by Start. False for a level outside 0..5 or a refused change.
  bool SetPriority(std::int32_t level);
  HANDLE GetHandle() const;
  // Pins the running thread to processor `cpu` (0..63), or -1 for the process's processors.
  // Stores the request, but applies nothing before Start.
  bool SetAffinity(std::int32_t cpu);
  bool IsCurrentThread() const;

 protected:
  ~Thread();

  std::int32_t priorityLevel = 2;
  std::int32_t cpu = -1;
  bool started = false;
  HANDLE handle = nullptr;
  DWORD threadId = 0;  // 0 until Start: no thread has that id
  std::string name;
};

// The start routine handed to CreateThread; the parameter is the Thread.
DWORD WINAPI ThreadEntry(LPVOID parameter);

// Process priority class high (on) or normal; true whatever the platform did.
bool SetHighPriorityClass(bool on);
// Process priority class above normal (on) or below normal; true whatever the platform did.
bool SetAboveNormalPriorityClass(bool on);
// Allows (on) or stops the platform's temporary priority boosts; false where the platform has
// no such control.
bool SetPriorityBoost(bool on);

}  // namespace quorvane
