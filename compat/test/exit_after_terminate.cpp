// A program whose main leaves by pthread_exit after one of its threads was terminated: with the
// terminated thread still counted among the process's threads, the process would end without
// running its atexit handlers or flushing standard output.
#include <windows.h>

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<bool> spinning{false};
std::atomic<bool> stop{false};  // never set: read only so that ThreadSanitizer delivers signals

DWORD WINAPI Spin(LPVOID) {
  spinning = true;
  while (!stop) {
  }
  return 0;
}

}  // namespace

int main() {
  HANDLE thread = CreateThread(nullptr, 0, Spin, nullptr, 0, nullptr);
  while (thread != nullptr && !spinning) {
  }
  if (thread == nullptr || !TerminateThread(thread, 1) ||
      WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0) {
    return 1;
  }
  std::atexit([] { std::printf("atexit ran\n"); });
  std::printf("main leaves\n");  // buffered: written only if the process exits
  pthread_exit(nullptr);
}
