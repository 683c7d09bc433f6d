// What the thread calls share: access to a thread's kernel id while the thread still runs, and
// the points where TerminateThread may end a thread.
#pragma once

#include "no_cancellation.h"

#include <windows.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace compat {

// Calls `call` with the kernel thread id behind `thread` (a CreateThread handle or the
// GetCurrentThread pseudo handle) while that thread cannot end, so the id cannot be reused by
// another thread meanwhile. Without such a running thread: ERROR_INVALID_HANDLE and false.
bool WithRunningThread(HANDLE thread, const std::function<bool(pid_t)>& call);

// A word that waiting threads sleep on (a futex): bumped and woken when what they wait for
// changes. A thread blocked here outside any library's NoCancellation scope holds no lock, so
// TerminateThread may end it while it sleeps.
class WaitWord {
 public:
  std::uint32_t Value() const { return value.load(); }
  // Sleeps while the word still holds `seen`, at most `milliseconds` (INFINITE: no bound).
  void Block(std::uint32_t seen, DWORD milliseconds);
  // Changes the word and wakes up to `count` sleepers.
  void Wake(int count);

 private:
  std::atomic<std::uint32_t> value{0};
};

// The end of a wait of `milliseconds` from now.
class Deadline {
 public:
  explicit Deadline(DWORD milliseconds);
  // What is left: INFINITE for an unbounded wait, 0 once it has passed.
  DWORD Left() const;

 private:
  const bool bounded;
  const std::chrono::steady_clock::time_point end;
};

class KernelObject;

// Waits for `object` holding the reference for the time of the wait; a thread ended during the
// wait hands the reference over to be released, as Windows drops an ended thread's waits.
DWORD WaitFor(std::shared_ptr<KernelObject> object, DWORD milliseconds);

// The relative priority a thread of nice `nice` has in the process's class, and that class.
int PriorityOfNice(int nice, DWORD* priorityClass);

// In a child of fork(): the priority state's lock is free again.
void RenewPriorityAfterFork();

// Gives a new thread the nice value of THREAD_PRIORITY_NORMAL in the process's class, as
// Windows starts every thread at that priority (Linux would copy the creator's).
void ApplyNormalPriority(pid_t threadId);

}  // namespace compat
