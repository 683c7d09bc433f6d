#include "kernel_object.h"
#include "out_of_memory.h"
#include "thread_object.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>

#include <mutex>
#include <new>
#include <unordered_map>

namespace compat {
namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
  std::uintptr_t nextValue = 4;
};

// Never destroyed: threads may still close or wait on handles while the process exits.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

// The child of fork() has one thread, whatever the parent's others were doing: the table is
// taken around the fork, so that the child's copy is whole, and every object in it renewed.
pid_t forkingThread = 0;

void TakeTableForFork() {
  Table().lock.lock();
  forkingThread = gettid();
}

void GiveTableBackAfterFork() {
  Table().lock.unlock();
}

void RenewTableInChild() {
  HandleTable& table = Table();
  new (&table.lock) std::mutex;
  for (auto& entry : table.objects) entry.second->RenewAfterFork(forkingThread);
  RenewPriorityAfterFork();
}

// Registered as the layer loads, before any library built on it registers its own: their
// child handlers run after this one, on renewed handles.
[[maybe_unused]] const bool renewedAfterFork = [] {
  return pthread_atfork(TakeTableForFork, GiveTableBackAfterFork, RenewTableInChild) == 0;
}();

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  const std::uintptr_t value = table.nextValue;
  table.nextValue += 4;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookUpHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == table.objects.end() ? nullptr : found->second;
}

void OwnerTerminated(pid_t threadId) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  for (auto& entry : table.objects) entry.second->OwnerTerminated(threadId);
}

bool RemoveHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> last;  // destroyed after the lock is released
  HandleTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == table.objects.end()) return false;
  last = std::move(found->second);
  table.objects.erase(found);
  return true;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EAGAIN:  // no more threads, or no memory for one
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EPERM:
    case EACCES:
      return ERROR_ACCESS_DENIED;
    case ESRCH:  // the thread has ended
      return ERROR_INVALID_HANDLE;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace compat

namespace {
thread_local DWORD lastError = 0;
}

extern "C" {

void SetLastError(DWORD error) {
  lastError = error;
}

DWORD GetLastError() {
  return lastError;
}

BOOL CloseHandle(HANDLE object) {
  compat::NoCancellation noCancellation;
  if (!compat::RemoveHandle(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  // TerminateThread may end the thread while it sleeps, never while it holds a lock.
  compat::NoCancellation noCancellation;
  std::shared_ptr<compat::KernelObject> target = compat::LookUpHandle(object);
  if (!target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return compat::WaitFor(std::move(target), milliseconds);
}

}  // extern "C"
