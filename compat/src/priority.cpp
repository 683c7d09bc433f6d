// Priorities: Windows' process priority classes and relative thread priorities, as per-thread
// nice values. A thread's nice is set from the class and its relative priority, and read back
// from the kernel, so what the calls report is what the scheduler does.
#include "kernel_object.h"
#include "out_of_memory.h"
#include "thread_object.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace compat {
namespace {

constexpr std::array<int, 7> kThreadPriorities = {
    THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,       THREAD_PRIORITY_BELOW_NORMAL,
    THREAD_PRIORITY_NORMAL,       THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
    THREAD_PRIORITY_TIME_CRITICAL};

struct ClassNice {
  DWORD priorityClass;
  std::array<int, kThreadPriorities.size()> nice;  // one per entry of kThreadPriorities
};

// One Windows priority step is two nice steps; classes are five apart. As on Windows, IDLE and
// TIME_CRITICAL are the ends of the range in every class. The layer has no real-time class.
constexpr ClassNice kNiceByClass[] = {
    //                          IDLE LOWEST BELOW NORMAL ABOVE HIGHEST TIME_CRITICAL
    {IDLE_PRIORITY_CLASS, {19, 14, 12, 10, 8, 6, -20}},
    {BELOW_NORMAL_PRIORITY_CLASS, {19, 9, 7, 5, 3, 1, -20}},
    {NORMAL_PRIORITY_CLASS, {19, 4, 2, 0, -2, -4, -20}},
    {ABOVE_NORMAL_PRIORITY_CLASS, {19, -1, -3, -5, -7, -9, -20}},
    {HIGH_PRIORITY_CLASS, {19, -6, -8, -10, -12, -14, -20}},
};
constexpr std::size_t kNormalColumn = 3;
static_assert(kThreadPriorities[kNormalColumn] == THREAD_PRIORITY_NORMAL);

const ClassNice* FindClass(DWORD priorityClass) {
  for (const ClassNice& row : kNiceByClass) {
    if (row.priorityClass == priorityClass) return &row;
  }
  return nullptr;
}

int ColumnOf(int threadPriority) {
  for (std::size_t column = 0; column < kThreadPriorities.size(); ++column) {
    if (kThreadPriorities[column] == threadPriority) return static_cast<int>(column);
  }
  return -1;
}

// The relative priority whose nice in `row` is nearest to `nice`; a nice set from outside the
// layer reads as the closest level.
int PriorityFromNice(const ClassNice& row, int nice) {
  std::size_t best = 0;
  for (std::size_t column = 1; column < row.nice.size(); ++column) {
    if (std::abs(row.nice[column] - nice) < std::abs(row.nice[best] - nice)) best = column;
  }
  return kThreadPriorities[best];
}

bool ReadNice(pid_t threadId, int* nice) {
  errno = 0;  // -1 is a valid nice value
  const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(threadId));
  if (value == -1 && errno != 0) return false;
  *nice = value;
  return true;
}

bool WriteNice(pid_t threadId, int nice) {
  return setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), nice) == 0;
}

struct PriorityState {
  std::mutex lock;  // serialises class changes with every nice computed from the class
  const ClassNice* row = nullptr;
};

// Never destroyed: threads may still change priorities while the process exits. The class
// starts as the one whose normal nice is nearest the process's, as `nice` starts a program.
PriorityState& State() {
  static PriorityState* state = [] {
    auto* created = new PriorityState;
    int nice = 0;
    ReadNice(getpid(), &nice);
    created->row = &kNiceByClass[0];
    for (const ClassNice& row : kNiceByClass) {
      if (std::abs(row.nice[kNormalColumn] - nice) <
          std::abs(created->row->nice[kNormalColumn] - nice)) {
        created->row = &row;
      }
    }
    return created;
  }();
  return *state;
}

// The kernel ids of the process's threads; false, with errno set, when the kernel cannot list
// them (no /proc).
bool ThreadsOfProcess(std::vector<pid_t>* threads) {
  // Closed however this ends, running out of memory included.
  const std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir("/proc/self/task"), closedir);
  if (!directory) return false;
  while (const dirent* entry = readdir(directory.get())) {
    const long id = std::strtol(entry->d_name, nullptr, 10);
    if (id > 0) threads->push_back(static_cast<pid_t>(id));
  }
  return true;
}

}  // namespace

void RenewPriorityAfterFork() {
  new (&State().lock) std::mutex;
}

int PriorityOfNice(int nice, DWORD* priorityClass) {
  PriorityState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  *priorityClass = state.row->priorityClass;
  return PriorityFromNice(*state.row, nice);
}

void ApplyNormalPriority(pid_t threadId) {
  PriorityState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  // Refused when the creator runs below normal without the right to raise: then the new thread
  // keeps the creator's nice, and GetThreadPriority says so.
  WriteNice(threadId, state.row->nice[kNormalColumn]);
}

}  // namespace compat

extern "C" {

BOOL SetThreadPriority(HANDLE thread, int priority) {
  compat::NoCancellation noCancellation;
  const int column = compat::ColumnOf(priority);
  if (column < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  compat::PriorityState& state = compat::State();
  std::lock_guard<std::mutex> hold(state.lock);
  const int nice = state.row->nice[static_cast<std::size_t>(column)];
  return compat::WithRunningThread(thread, [nice](pid_t threadId) {
    if (compat::WriteNice(threadId, nice)) return true;
    SetLastError(compat::ErrorFromErrno(errno));
    return false;
  });
}

int GetThreadPriority(HANDLE thread) {
  compat::NoCancellation noCancellation;
  compat::PriorityState& state = compat::State();
  std::lock_guard<std::mutex> hold(state.lock);
  int nice = 0;
  const bool read = compat::WithRunningThread(thread, [&nice](pid_t threadId) {
    if (compat::ReadNice(threadId, &nice)) return true;
    SetLastError(compat::ErrorFromErrno(errno));
    return false;
  });
  return read ? compat::PriorityFromNice(*state.row, nice) : THREAD_PRIORITY_ERROR_RETURN;
}

DWORD GetPriorityClass(HANDLE process) {
  if (process != compat::CurrentProcessPseudoHandle()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  compat::NoCancellation noCancellation;
  compat::PriorityState& state = compat::State();
  std::lock_guard<std::mutex> hold(state.lock);
  return state.row->priorityClass;
}

// Moves every thread of the process to the same relative priority in the new class. All or
// nothing: when the kernel refuses one thread, the threads already moved go back; when the
// threads cannot be listed, none is moved and the call fails.
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
  if (process != compat::CurrentProcessPseudoHandle()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const compat::ClassNice* next = compat::FindClass(priorityClass);
  if (next == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  compat::NoCancellation noCancellation;
  return compat::FailWhenOutOfMemory<BOOL>(FALSE, [&] {
    compat::PriorityState& state = compat::State();
    std::lock_guard<std::mutex> hold(state.lock);
    struct Moved {
      pid_t threadId;
      int previousNice;
    };
    // Allocated before the first change, so that running out of memory changes nothing.
    std::vector<pid_t> threads;
    if (!compat::ThreadsOfProcess(&threads)) {
      SetLastError(compat::ErrorFromErrno(errno));
      return FALSE;
    }
    std::vector<Moved> moved;
    moved.reserve(threads.size());
    for (pid_t threadId : threads) {
      int nice = 0;
      if (!compat::ReadNice(threadId, &nice)) continue;  // ended meanwhile
      const int column = compat::ColumnOf(compat::PriorityFromNice(*state.row, nice));
      const int wanted = next->nice[static_cast<std::size_t>(column)];
      if (wanted == nice) continue;
      if (compat::WriteNice(threadId, wanted)) {
        moved.push_back({threadId, nice});
      } else if (errno != ESRCH) {
        const DWORD error = compat::ErrorFromErrno(errno);
        for (const Moved& back : moved) compat::WriteNice(back.threadId, back.previousNice);
        SetLastError(error);
        return FALSE;
      }
    }
    state.row = next;
    return TRUE;
  });
}

}  // extern "C"
