// avrt_probe N [SPIN_MS [HOLD_MS]]: N threads register as "Pro Audio" at high priority through
// the MMCSS client as the tool's workers do, all at once when every one has started (so the
// refusals after RealtimeKit's limit come in one burst), and each runs SPIN_MS of CPU time
// without blocking; HOLD_MS after the last registration each thread's scheduling is read back
// from the kernel by its id, and every registration is reverted. Prints one count per line:
//   granted G / refused <error> R / policy <policy> <priority> P / realtime T / restored S
// where realtime counts every thread, granted or not, that held real-time scheduling.
//
// avrt_probe single: the main thread, at SCHED_BATCH, registers through the provider's own
// calls, registers again, forks a child that registers, and reverts twice. One line each:
//   first <result> / second <result> / child <result> / revert <result> / again <result>
// where a result is "granted <policy>", "refused <error>", "reverted <policy>" or "failed <error>".
//
// avrt_probe forked: a second thread registers and, while it waits inside the call for the bus,
// the main thread forks a child that registers; the child is given 20 s before it counts as hung:
//   child <result> / thread <result>
// where a child's result is "hung" when it was still waiting.
//
// avrt_probe blocked: a thread blocks every signal, as audio programs do in their real-time
// threads, registers and runs 1 s of CPU time without blocking; the real-time limit's SIGXCPU
// then reaches another thread. Run it under a hard RLIMIT_RTTIME below a second:
//   blocked <result> / after <policy> <priority>
//
// avrt_probe elsewhere: a thread registers (against a RealtimeKit that does not answer, so its
// request is left to a watcher), names its id, waits for a line on standard input (meanwhile
// the test may give the thread real-time scheduling of its own and end RealtimeKit), then
// waits for the watcher to end and reads its scheduling:
//   registered <result> / thread <id> / after <policy> <priority>
//
// avrt_probe reuse: a thread registers and ends without reverting; new threads start until one
// is given its id (run it where pid_max is small), which tries the old handle and registers:
//   reused <tries> / stale <result> / registered <result>
#include "mmcss.h"

#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr auto kBound = std::chrono::seconds(60);

struct Probe {
  HANDLE registration = nullptr;
  DWORD error = 0;
  pid_t threadId = 0;
  bool restored = false;
};

// The threads hold their registrations until the main thread has read them all.
struct Meeting {
  std::mutex lock;
  std::condition_variable changed;
  bool started = false;  // every thread exists: the registrations come in one burst
  int registered = 0;
  bool read = false;
};

std::string PolicyName(int policy) {
  const char* reset = (policy & SCHED_RESET_ON_FORK) ? "|SCHED_RESET_ON_FORK" : "";
  switch (policy & ~SCHED_RESET_ON_FORK) {
    case SCHED_OTHER:
      return std::string("SCHED_OTHER") + reset;
    case SCHED_FIFO:
      return std::string("SCHED_FIFO") + reset;
    case SCHED_RR:
      return std::string("SCHED_RR") + reset;
    case SCHED_BATCH:
      return std::string("SCHED_BATCH") + reset;
    default:
      return std::to_string(policy);
  }
}

double ThreadCpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

[[noreturn]] void GiveUp(const char* what) {
  std::fprintf(stderr, "avrt_probe: gave up waiting for %s\n", what);
  std::_Exit(3);
}

pid_t ThreadId() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

std::string CurrentPolicy() {
  sched_param parameter{};
  sched_getparam(0, &parameter);
  return PolicyName(sched_getscheduler(0)) + " " + std::to_string(parameter.sched_priority);
}

bool IsRealtime(int policy) {
  const int plain = policy & ~SCHED_RESET_ON_FORK;
  return plain == SCHED_FIFO || plain == SCHED_RR;
}

// The provider's calls, looked up by name as the client looks them up.
struct Provider {
  Provider() : module(LoadLibraryA("avrt.dll")) {
    if (module == nullptr) GiveUp("avrt.dll to load");
    Register = reinterpret_cast<HANDLE (*)(LPCSTR, LPCSTR, LPDWORD)>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "AvSetMmMaxThreadCharacteristicsA")));
    SetPriority = reinterpret_cast<BOOL (*)(HANDLE, std::int32_t)>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "AvSetMmThreadPriority")));
    Revert = reinterpret_cast<BOOL (*)(HANDLE)>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "AvRevertMmThreadCharacteristics")));
    if (Register == nullptr || SetPriority == nullptr || Revert == nullptr) GiveUp("the calls");
  }

  // "granted <policy>" or "refused <error>".
  std::string Registered(HANDLE* registration) const {
    DWORD index = 0;
    *registration = Register("Pro Audio", "Pro Audio", &index);
    if (*registration == nullptr) return "refused " + std::to_string(GetLastError());
    return "granted " + CurrentPolicy();
  }
  std::string Reverted(HANDLE registration) const {
    if (!Revert(registration)) return "failed " + std::to_string(GetLastError());
    return "reverted " + CurrentPolicy();
  }

  HMODULE module;
  HANDLE (*Register)(LPCSTR, LPCSTR, LPDWORD);
  BOOL (*SetPriority)(HANDLE, std::int32_t);
  BOOL (*Revert)(HANDLE);
};

// A child of the calling process that registers its one thread and says how that went.
pid_t ForkRegisteringChild(Provider& provider) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    HANDLE own = nullptr;
    std::printf("child %s\n", provider.Registered(&own).c_str());
    std::fflush(stdout);
    std::_Exit(0);
  }
  return child;
}

int Single() {
  Provider provider;
  const sched_param normal{};
  if (sched_setscheduler(0, SCHED_BATCH, &normal) != 0) GiveUp("SCHED_BATCH");
  HANDLE first = nullptr;
  HANDLE second = nullptr;
  std::printf("first %s\n", provider.Registered(&first).c_str());
  std::printf("second %s\n", provider.Registered(&second).c_str());
  const pid_t child = ForkRegisteringChild(provider);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || status != 0) GiveUp("the child");
  std::printf("revert %s\n", provider.Reverted(first).c_str());
  std::printf("again %s\n", provider.Reverted(first).c_str());
  return 0;
}

// Whether the thread is blocked waiting on file descriptors, as the provider waits for the bus.
bool WaitsOnDescriptors(pid_t threadId) {
  std::ifstream file("/proc/self/task/" + std::to_string(threadId) + "/syscall");
  std::string number;
  return file >> number && number == std::to_string(SYS_ppoll);
}

int Forked() {
  Provider provider;
  std::mutex lock;
  pid_t threadId = 0;
  std::string threadResult;
  std::thread thread([&] {
    {
      std::lock_guard<std::mutex> hold(lock);
      threadId = ThreadId();
    }
    HANDLE registration = nullptr;
    threadResult = provider.Registered(&registration);
  });
  const auto until = std::chrono::steady_clock::now() + kBound;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (threadId != 0 && WaitsOnDescriptors(threadId)) break;
    }
    if (std::chrono::steady_clock::now() > until) GiveUp("the thread to wait for the bus");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const pid_t child = ForkRegisteringChild(provider);
  if (child < 0) GiveUp("a child");
  int status = 0;
  const auto childUntil = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > childUntil) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      std::printf("child hung\n");
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  thread.join();
  std::printf("thread %s\n", threadResult.c_str());
  return 0;
}

int Reuse() {
  Provider provider;
  constexpr int kMostTries = 100000;
  HANDLE stale = nullptr;
  pid_t ended = 0;
  // The kernel skips the lowest ids once it has wrapped around: the thread that ends is one
  // given an id after the wrap, which comes round again.
  pid_t last = 0;
  for (int tries = 1; ended == 0; ++tries) {
    if (tries > kMostTries) GiveUp("the thread ids to wrap around");
    std::thread([&] {
      const pid_t id = ThreadId();
      if (id < last) {
        ended = id;
        std::printf("first %s\n", provider.Registered(&stale).c_str());
      }
      last = id;
    }).join();
  }
  for (int tries = 1; tries <= kMostTries; ++tries) {
    bool reused = false;
    std::string staleResult;
    std::string registered;
    std::thread([&] {
      if (ThreadId() != ended) return;
      reused = true;
      staleResult = provider.SetPriority(stale, 2) ? "moved " + CurrentPolicy()
                                                   : "refused " + std::to_string(GetLastError());
      HANDLE own = nullptr;
      registered = provider.Registered(&own);
    }).join();
    if (reused) {
      std::printf("reused %d\nstale %s\nregistered %s\n", tries, staleResult.c_str(),
                  registered.c_str());
      return 0;
    }
  }
  GiveUp("the thread id to be reused");
}

}  // namespace

int Blocked() {
  Provider provider;
  std::thread([&] {
    sigset_t every;
    sigfillset(&every);
    pthread_sigmask(SIG_BLOCK, &every, nullptr);
    HANDLE registration = nullptr;
    std::printf("blocked %s\n", provider.Registered(&registration).c_str());
    for (const double start = ThreadCpuMilliseconds(); ThreadCpuMilliseconds() - start < 1000;) {
    }
    std::printf("after %s\n", CurrentPolicy().c_str());
    if (registration != nullptr) provider.Revert(registration);
  }).join();
  return 0;
}

int ThreadCount() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

int Elsewhere() {
  Provider provider;
  std::thread([&] {
    // A sanitizer may run threads of its own: the watcher is the one more than before.
    const int threads = ThreadCount();
    HANDLE registration = nullptr;
    std::printf("registered %s\nthread %d\n", provider.Registered(&registration).c_str(),
                static_cast<int>(ThreadId()));
    std::fflush(stdout);
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) GiveUp("a line on standard input");
    // The watcher has undone what it was waiting for and ended.
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (ThreadCount() > threads) {
      if (std::chrono::steady_clock::now() > deadline) GiveUp("the watcher to end");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf("after %s\n", CurrentPolicy().c_str());
  }).join();
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "single") == 0) return Single();
  if (argc > 1 && std::strcmp(argv[1], "reuse") == 0) return Reuse();
  if (argc > 1 && std::strcmp(argv[1], "forked") == 0) return Forked();
  if (argc > 1 && std::strcmp(argv[1], "blocked") == 0) return Blocked();
  if (argc > 1 && std::strcmp(argv[1], "elsewhere") == 0) return Elsewhere();
  const int count = argc > 1 ? std::atoi(argv[1]) : 128;
  const double spinMilliseconds = argc > 2 ? std::atof(argv[2]) : 0;
  const auto holdTime = std::chrono::milliseconds(argc > 3 ? std::atoi(argv[3]) : 0);
  std::vector<Probe> probes(static_cast<std::size_t>(count));
  Meeting meeting;
  std::vector<std::thread> threads;
  for (Probe& probe : probes) {
    threads.emplace_back([&probe, &meeting, count, spinMilliseconds] {
      {
        std::unique_lock<std::mutex> hold(meeting.lock);
        if (!meeting.changed.wait_for(hold, kBound, [&] { return meeting.started; })) {
          GiveUp("the other threads to start");
        }
      }
      quorvane::MmcssInspector& mmcss = quorvane::MmcssInspector::Instance();
      probe.threadId = ThreadId();
      probe.registration = mmcss.SetThreadCharacteristics(quorvane::kProAudioHigh, nullptr);
      probe.error = GetLastError();
      const double start = ThreadCpuMilliseconds();
      while (ThreadCpuMilliseconds() - start < spinMilliseconds) {
      }
      std::unique_lock<std::mutex> hold(meeting.lock);
      if (++meeting.registered == count) meeting.changed.notify_all();
      if (!meeting.changed.wait_for(hold, kBound, [&] { return meeting.read; })) {
        GiveUp("the scheduling to be read");
      }
      hold.unlock();
      if (probe.registration == nullptr) return;
      mmcss.SetThreadCharacteristics(quorvane::kNoMmcss, probe.registration);  // reverts
      probe.restored = sched_getscheduler(0) == SCHED_OTHER ||
                       sched_getscheduler(0) == (SCHED_OTHER | SCHED_RESET_ON_FORK);
    });
  }
  std::map<std::string, int> lines;
  {
    std::unique_lock<std::mutex> hold(meeting.lock);
    meeting.started = true;
    meeting.changed.notify_all();
    if (!meeting.changed.wait_for(hold, kBound, [&] { return meeting.registered == count; })) {
      GiveUp("the registrations");
    }
    hold.unlock();
    std::this_thread::sleep_for(holdTime);
    hold.lock();
    for (const Probe& probe : probes) {
      lines["realtime"] += IsRealtime(sched_getscheduler(probe.threadId)) ? 1 : 0;
      if (probe.registration == nullptr) {
        ++lines["refused " + std::to_string(probe.error)];
        continue;
      }
      ++lines["granted"];
      sched_param parameter{};
      sched_getparam(probe.threadId, &parameter);
      ++lines["policy " + PolicyName(sched_getscheduler(probe.threadId)) + " " +
              std::to_string(parameter.sched_priority)];
    }
    meeting.read = true;
    meeting.changed.notify_all();
  }
  for (std::thread& thread : threads) thread.join();
  for (const Probe& probe : probes) lines["restored"] += probe.restored ? 1 : 0;
  for (const auto& [line, number] : lines) std::printf("%s %d\n", line.c_str(), number);
  return 0;
}
