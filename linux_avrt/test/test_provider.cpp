// The Linux avrt provider, loaded as the MMCSS client loads it, against the real kernel. Run
// with no RealtimeKit reachable, so a refusal by the kernel is final; the RealtimeKit path has
// a test of its own that starts the service.
#include "failing_allocation.h"
#include "mmcss.h"
#include "mmcss_errors.h"
#include "privilege.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>

namespace quorvane {
namespace {

using RegisterFunction = HANDLE (*)(LPCSTR, LPCSTR, LPDWORD);
using PriorityFunction = BOOL (*)(HANDLE, std::int32_t);
using RevertFunction = BOOL (*)(HANDLE);

// The provider's calls, looked up as the client looks them up.
struct Provider {
  Provider() : module(LoadLibraryA("avrt.dll")) {
    Register = reinterpret_cast<RegisterFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "AvSetMmMaxThreadCharacteristicsA")));
    SetPriority = reinterpret_cast<PriorityFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "AvSetMmThreadPriority")));
    Revert = reinterpret_cast<RevertFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "AvRevertMmThreadCharacteristics")));
  }
  ~Provider() { FreeLibrary(module); }

  HMODULE module;
  RegisterFunction Register;
  PriorityFunction SetPriority;
  RevertFunction Revert;
};

pid_t ThreadId() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

// The calling thread's policy, reset-on-fork included, and real-time priority.
std::pair<int, int> Scheduling() {
  sched_param parameter{};
  EXPECT_EQ(sched_getparam(ThreadId(), &parameter), 0);
  return {sched_getscheduler(ThreadId()), parameter.sched_priority};
}

std::int32_t InspectedPriority() {
  std::int32_t base = -1;
  std::int32_t current = -1;
  EXPECT_TRUE(MmcssInspector::QueryThreadPriority(base, current));
  EXPECT_EQ(base, current);
  return base;
}

// Each name is taken for a known task, whether the registration is granted or not: never
// refused for its name.
void KnownTaskNamesAreNeverRefused(std::initializer_list<const char*> tasks) {
  Provider provider;
  for (const char* task : tasks) {
    std::thread([&] {
      DWORD index = 0;
      SetLastError(0);
      HANDLE registration = provider.Register(task, task, &index);
      EXPECT_NE(GetLastError(), ERROR_INVALID_TASK_NAME) << task;
      if (registration != nullptr) {
        EXPECT_NE(index, 0u);
        EXPECT_TRUE(provider.Revert(registration));
      }
    }).join();
  }
}

TEST(LinuxAvrt, TasksAreWindowsDefaultsAndTheHigherOfTwoIsTaken) {
  Provider provider;
  ASSERT_NE(provider.Register, nullptr);
  for (const char* unknown : {"", "Pro  Audio", "Low Latency"}) {
    DWORD index = 0;
    SetLastError(0);
    EXPECT_EQ(provider.Register(unknown, "Audio", &index), nullptr) << unknown;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_TASK_NAME);
    EXPECT_EQ(provider.Register("Audio", unknown, &index), nullptr) << unknown;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_TASK_NAME);
  }
  KnownTaskNamesAreNeverRefused({"Audio", "Capture", "Distribution", "Games", "Playback",
                                 "Pro Audio", "Window Manager", "pro audio"});
}

// A Turkish locale, built from the system's sources into a folder of its own and in force
// until destroyed. Its ISO-8859-9 form builds in a fraction of a second; the UTF-8 one would
// take localedef seconds.
class TurkishLocale {
 public:
  TurkishLocale() {
    if (mkdtemp(folder) == nullptr) return;
    const std::string build =
        std::string("localedef -i tr_TR -f ISO-8859-9 ") + folder + "/tr_TR.ISO-8859-9 2>&1";
    if (FILE* output = popen(build.c_str(), "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, output) != nullptr) said += line;
      pclose(output);
    }
    setenv("LOCPATH", folder, 1);
    inForce = std::setlocale(LC_ALL, "tr_TR.ISO-8859-9") != nullptr;
  }
  ~TurkishLocale() {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    std::filesystem::remove_all(folder);
  }
  TurkishLocale(const TurkishLocale&) = delete;
  TurkishLocale& operator=(const TurkishLocale&) = delete;

  char folder[32] = "/tmp/quorvane-locale-XXXXXX";
  std::string said;  // localedef's output
  bool inForce = false;
};

// A Turkish locale folds 'I' to a dotless 'i', which strcasecmp follows; task names are ASCII.
TEST(LinuxAvrt, TaskNamesMatchWhateverTheLocale) {
  const TurkishLocale turkish;
  if (!turkish.inForce) {
    GTEST_SKIP() << "no Turkish locale could be built (localedef and the locales package): "
                 << (turkish.said.empty() ? "localedef said nothing" : turkish.said);
  }
  // Only where the trap is live does the check mean anything. (The sanitizers' strcasecmp is
  // ASCII-only, so ask tolower.)
  ASSERT_NE(std::tolower('I'), 'i') << "under tr_TR, 'I' should not fold to 'i'";
  KnownTaskNamesAreNeverRefused({"PRO AUDIO", "AUDIO", "WINDOW MANAGER", "DISTRIBUTION"});
}

// The soft RLIMIT_RTTIME in force, and whether a SIGXCPU handler (the provider's guard) is.
rlim_t SoftRealtimeTimeLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_RTTIME, &limit);
  return limit.rlim_cur;
}

bool SigxcpuHandled() {
  struct sigaction current {};
  sigaction(SIGXCPU, nullptr, &current);
  return current.sa_handler != SIG_DFL;
}

// While any thread holds a grant the SIGXCPU guard is in place and the soft RLIMIT_RTTIME is
// the provider's; the registration ends with its thread, and the last one gives both back.
TEST(LinuxAvrt, TheRealtimeTimeLimitIsKeptWhileGrantsLastAndGivenBackWhenTheirThreadsEnd) {
  if (!compat::test::MayRaisePriority()) GTEST_SKIP() << "needs a grant from the kernel";
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_RTTIME, &original), 0);
  // A soft limit shorter than one worker's work, with the hard limit left as it is.
  const rlimit program{std::min<rlim_t>(10000, original.rlim_max), original.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_RTTIME, &program), 0);
  const rlim_t held = program.rlim_max == RLIM_INFINITY ? RLIM_INFINITY : program.rlim_max / 2;
  Provider provider;
  std::mutex lock;
  std::condition_variable changed;
  int registered = 0;
  bool firstMayEnd = false;
  std::thread first([&] {
    DWORD index = 0;
    ASSERT_NE(provider.Register("Pro Audio", "Pro Audio", &index), nullptr);
    std::unique_lock<std::mutex> hold(lock);
    ++registered;
    changed.notify_all();
    ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(30), [&] { return firstMayEnd; }));
  });
  std::thread second([&] {
    {
      std::unique_lock<std::mutex> hold(lock);
      ASSERT_TRUE(
          changed.wait_for(hold, std::chrono::seconds(30), [&] { return registered == 1; }));
    }
    DWORD index = 0;
    ASSERT_NE(provider.Register("Audio", "Audio", &index), nullptr);
    EXPECT_EQ(SoftRealtimeTimeLimit(), held);
    EXPECT_TRUE(SigxcpuHandled());
    {
      std::lock_guard<std::mutex> hold(lock);
      firstMayEnd = true;
      changed.notify_all();
    }
    first.join();
    // The first thread has ended without a revert; this one still holds its grant.
    EXPECT_EQ(SoftRealtimeTimeLimit(), held);
    EXPECT_TRUE(SigxcpuHandled());
  });
  second.join();
  EXPECT_EQ(SoftRealtimeTimeLimit(), program.rlim_cur);
  EXPECT_FALSE(SigxcpuHandled());
  setrlimit(RLIMIT_RTTIME, &original);
}

// What the provider says of the calling thread's last registration call.
AvrtExplanation Explanation() {
  AvrtExplanation explanation{};
  EXPECT_TRUE(MmcssClient::Explain(&explanation, false));
  return explanation;
}

// A registration of the calling thread, checked level by level, then reverted.
void RegistrationHoldsFifoWithinTheBandAndRevertRestores(bool privileged) {
  Provider provider;
  ASSERT_NE(provider.Register, nullptr);
  ASSERT_NE(provider.SetPriority, nullptr);
  ASSERT_NE(provider.Revert, nullptr);
  MmcssInspector inspector;
  std::thread([&] {
    const auto before = Scheduling();
    ASSERT_EQ(before.first, SCHED_OTHER);
    const std::int32_t inspectedBefore = InspectedPriority();
    DWORD index = 0;
    SetLastError(0);
    HANDLE registration = provider.Register("Games", "Pro Audio", &index);
    const AvrtExplanation explanation = Explanation();
    if (!privileged) {
      EXPECT_EQ(registration, nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
      EXPECT_EQ(Scheduling(), before);
      EXPECT_EQ(explanation.grantedBy, AvrtGrantor::kNone);
      EXPECT_EQ(explanation.kernelErrno, EPERM);
      EXPECT_STREQ(explanation.realtimeKitSaid, "the system bus could not be reached");
      EXPECT_EQ(explanation.refusal, AvrtRefusal::kBusUnreachable);
      return;
    }
    ASSERT_NE(registration, nullptr);
    EXPECT_EQ(explanation.grantedBy, AvrtGrantor::kKernel);
    EXPECT_EQ(explanation.kernelErrno, 0);
    EXPECT_STREQ(explanation.realtimeKitSaid, "");
    EXPECT_EQ(explanation.refusal, AvrtRefusal::kNone);
    EXPECT_EQ(index, 6u);  // "Pro Audio", the higher task, sixth of the defaults
    EXPECT_EQ(Scheduling(), std::make_pair(SCHED_FIFO | SCHED_RESET_ON_FORK, 18));
    // The Pro Audio band, very low to critical, and Windows' high category for it.
    constexpr int kBand[] = {16, 17, 18, 19, 20};
    constexpr std::int32_t kInspected[] = {23, 24, 24, 25, 26};
    for (std::int32_t level : {2, -2, 1, -1, 0}) {
      SCOPED_TRACE(level);
      EXPECT_TRUE(provider.SetPriority(registration, level));
      EXPECT_EQ(Scheduling().second, kBand[level + 2]);
      EXPECT_EQ(InspectedPriority(), kInspected[level + 2]);
    }
    SetLastError(0);
    EXPECT_FALSE(provider.SetPriority(registration, 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Another thread cannot use this thread's registration.
    std::thread([&] {
      SetLastError(0);
      EXPECT_FALSE(provider.SetPriority(registration, 0));
      EXPECT_FALSE(provider.Revert(registration));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }).join();

    EXPECT_TRUE(provider.Revert(registration));
    EXPECT_EQ(Scheduling(), before);
    EXPECT_EQ(InspectedPriority(), inspectedBefore);
    SetLastError(0);
    EXPECT_FALSE(provider.Revert(registration));  // freed: not a registration any more
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }).join();
}

TEST(LinuxAvrt, RegistrationHoldsFifoWithinTheBandAndRevertRestores) {
  RegistrationHoldsFifoWithinTheBandAndRevertRestores(compat::test::MayRaisePriority());
}

TEST(LinuxAvrtDeathTest, WithoutRightsEveryRegistrationIsRefused) {
  compat::test::UseFreshDeathTestChildren();
  EXPECT_EXIT(
      {
        // Loaded before the drop: the build tree may lie where the unprivileged user cannot
        // read (a clone in a mode-700 home); loaded, the provider is found by its name.
        const HMODULE loaded = LoadLibraryA("avrt.dll");
        if (loaded == nullptr) _exit(3);
        compat::test::RunUnprivileged(
            [] { RegistrationHoldsFifoWithinTheBandAndRevertRestores(false); });
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(LinuxAvrt, EachThreadIsToldOfItsOwnLastCallAndTheBudgetOnlyWhenAsked) {
  Provider provider;
  MmcssInspector inspector;
  std::thread([&] {
    // Granted by the kernel or refused by it, then refused by name: the second call, which
    // asked neither the kernel nor RealtimeKit, is the one explained.
    DWORD index = 0;
    HANDLE registration = provider.Register("Pro Audio", "Pro Audio", &index);
    AvrtExplanation explanation = Explanation();
    EXPECT_TRUE(explanation.grantedBy == AvrtGrantor::kKernel || explanation.kernelErrno == EPERM);
    if (registration != nullptr) {
      EXPECT_TRUE(provider.Revert(registration));
    }
    EXPECT_EQ(provider.Register("No Such Task", "Audio", &index), nullptr);
    explanation = Explanation();
    EXPECT_EQ(explanation.grantedBy, AvrtGrantor::kNone);
    EXPECT_EQ(explanation.kernelErrno, 0);
    EXPECT_STREQ(explanation.realtimeKitSaid, "");
    std::thread([] {
      const AvrtExplanation fresh = Explanation();
      EXPECT_EQ(fresh.grantedBy, AvrtGrantor::kNone);
      EXPECT_EQ(fresh.kernelErrno, 0);
    }).join();
    // The budget: no bus is reachable in this suite.
    explanation.realtimeKitAnswers = TRUE;
    ASSERT_TRUE(MmcssClient::Explain(&explanation, true));
    EXPECT_FALSE(explanation.realtimeKitAnswers);
    EXPECT_EQ(explanation.maxRealtimePriority, 0);
    EXPECT_EQ(explanation.realtimeKitContact, AvrtRefusal::kBusUnreachable);
  }).join();
  // A caller with a smaller record, from an older layout, is refused.
  auto explain = reinterpret_cast<AvrtExplainFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(provider.module, kAvrtExplainName)));
  ASSERT_NE(explain, nullptr);
  AvrtExplanation explanation{};
  explanation.size = sizeof explanation - 1;
  SetLastError(0);
  EXPECT_FALSE(explain(&explanation, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(LinuxAvrt, RunningOutOfMemoryLeavesNoGrantBehind) {
  if (!compat::test::MayRaisePriority()) GTEST_SKIP() << "only a granted registration allocates";
  Provider provider;
  ASSERT_NE(provider.Register, nullptr);
  std::thread([&] {
    const auto before = Scheduling();
    HANDLE registration = nullptr;
    int failures = 0;
    for (int allowed = 0; registration == nullptr && allowed < 50; ++allowed) {
      DWORD error = 0;
      {
        quorvane::test::FailingAllocations failing(allowed);
        DWORD index = 0;
        registration = provider.Register("Pro Audio", "Pro Audio", &index);
        error = GetLastError();
      }
      if (registration == nullptr) {
        ++failures;
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(Scheduling(), before);
      }
    }
    EXPECT_GE(failures, 1);
    ASSERT_NE(registration, nullptr);
    EXPECT_TRUE(provider.Revert(registration));
  }).join();
}

TEST(LinuxAvrt, InventedHandlesAreRefused) {
  Provider provider;
  for (HANDLE invented : {static_cast<HANDLE>(nullptr), reinterpret_cast<HANDLE>(0x7FF0),
                          reinterpret_cast<HANDLE>(&provider)}) {
    SetLastError(0);
    EXPECT_FALSE(provider.SetPriority(invented, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(provider.Revert(invented));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

struct TerminatedRegistrant {
  Provider* provider;
  std::atomic<bool> registered{false};
};

// Registers, then waits outside every call of the layer's until it is terminated.
DWORD WINAPI RegisterAndPause(LPVOID parameter) {
  auto* registrant = static_cast<TerminatedRegistrant*>(parameter);
  DWORD index = 0;
  if (registrant->provider->Register("Pro Audio", "Pro Audio", &index) == nullptr) return 1;
  registrant->registered = true;
  for (;;) pause();
}

TEST(LinuxAvrt, ATerminatedThreadsRegistrationEndsWithIt) {
  if (!compat::test::MayRaisePriority()) GTEST_SKIP() << "needs a grant from the kernel";
  rlimit original{};
  ASSERT_EQ(getrlimit(RLIMIT_RTTIME, &original), 0);
  const rlimit program{std::min<rlim_t>(10000, original.rlim_max), original.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_RTTIME, &program), 0);
  Provider provider;
  TerminatedRegistrant registrant{&provider};
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, RegisterAndPause, &registrant, 0, &threadId);
  ASSERT_NE(thread, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!registrant.registered && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(registrant.registered);
  EXPECT_NE(SoftRealtimeTimeLimit(), program.rlim_cur);
  EXPECT_TRUE(TerminateThread(thread, 0));
  EXPECT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(thread));
  const std::string task = "/proc/self/task/" + std::to_string(threadId);
  while (access(task.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Another thread's registration and revert leave the program's own limit: none is left.
  std::thread([&] {
    DWORD index = 0;
    HANDLE registration = provider.Register("Audio", "Audio", &index);
    ASSERT_NE(registration, nullptr);
    EXPECT_TRUE(provider.Revert(registration));
  }).join();
  EXPECT_EQ(SoftRealtimeTimeLimit(), program.rlim_cur);
  EXPECT_FALSE(SigxcpuHandled());
  setrlimit(RLIMIT_RTTIME, &original);
}

}  // namespace
}  // namespace quorvane
