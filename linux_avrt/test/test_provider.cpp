// The Linux avrt provider, loaded as the MMCSS client loads it, against the real kernel. Run
// with no RealtimeKit reachable, so a refusal by the kernel is final; the RealtimeKit path has
// a test of its own that starts the service.
#include "failing_allocation.h"
#include "mmcss.h"
#include "privilege.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

namespace quorvane {
namespace {

using RegisterFunction = HANDLE (*)(LPCSTR, LPCSTR, LPDWORD);
using PriorityFunction = BOOL (*)(HANDLE, std::int32_t);
using RevertFunction = BOOL (*)(HANDLE);

constexpr DWORD kInvalidTaskName = 1550;

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

TEST(LinuxAvrt, TasksAreWindowsDefaultsAndTheHigherOfTwoIsTaken) {
  Provider provider;
  ASSERT_NE(provider.Register, nullptr);
  for (const char* unknown : {"", "Pro  Audio", "Low Latency"}) {
    DWORD index = 0;
    SetLastError(0);
    EXPECT_EQ(provider.Register(unknown, "Audio", &index), nullptr) << unknown;
    EXPECT_EQ(GetLastError(), kInvalidTaskName);
    EXPECT_EQ(provider.Register("Audio", unknown, &index), nullptr) << unknown;
    EXPECT_EQ(GetLastError(), kInvalidTaskName);
  }
  // Whether granted or not, a known task is never refused by name.
  for (const char* task : {"Audio", "Capture", "Distribution", "Games", "Playback", "Pro Audio",
                           "Window Manager", "pro audio"}) {
    std::thread([&] {
      DWORD index = 0;
      SetLastError(0);
      HANDLE registration = provider.Register(task, task, &index);
      EXPECT_NE(GetLastError(), kInvalidTaskName) << task;
      if (registration != nullptr) {
        EXPECT_NE(index, 0u);
        EXPECT_TRUE(provider.Revert(registration));
      }
    }).join();
  }
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
      EXPECT_STREQ(explanation.realtimeKitSaid, "no answer on the system bus");
      return;
    }
    ASSERT_NE(registration, nullptr);
    EXPECT_EQ(explanation.grantedBy, AvrtGrantor::kKernel);
    EXPECT_EQ(explanation.kernelErrno, 0);
    EXPECT_STREQ(explanation.realtimeKitSaid, "");
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
  EXPECT_EXIT(compat::test::RunUnprivileged(
                  [] { RegistrationHoldsFifoWithinTheBandAndRevertRestores(false); }),
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
    if (registration != nullptr) EXPECT_TRUE(provider.Revert(registration));
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

}  // namespace
}  // namespace quorvane
