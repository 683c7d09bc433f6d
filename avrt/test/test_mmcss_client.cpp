// MmcssClient against the stand-in avrt.dll beside this executable.
#include "avrt_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

constexpr auto kStartBound = std::chrono::seconds(30);

TEST(MmcssClientLoading, TwoClientsShareOneLoadAndTheLastOneUnloads) {
  ASSERT_EQ(MmcssClient::LoadCount(), 0);
  auto first = std::make_unique<MmcssClient>();
  HMODULE loaded = GetModuleHandleA("avrt.dll");
  ASSERT_NE(loaded, nullptr);
  auto second = std::make_unique<MmcssClient>();
  EXPECT_EQ(GetModuleHandleA("avrt.dll"), loaded);
  EXPECT_EQ(MmcssClient::LoadCount(), 2);
  EXPECT_TRUE(MmcssClient::IsAvailable());
  // Like Windows' own avrt.dll, the stand-in has no explaining entry point.
  AvrtExplanation explanation{};
  EXPECT_FALSE(MmcssClient::Explain(&explanation, true));

  first.reset();
  EXPECT_EQ(MmcssClient::LoadCount(), 1);
  EXPECT_EQ(GetModuleHandleA("avrt.dll"), loaded);
  EXPECT_TRUE(MmcssClient::IsAvailable());

  second.reset();
  EXPECT_EQ(MmcssClient::LoadCount(), 0);
  EXPECT_EQ(GetModuleHandleA("avrt.dll"), nullptr);
  EXPECT_FALSE(MmcssClient::IsAvailable());

  // A fresh load: its records start empty, so they show the entry points point into it.
  MmcssClient third;
  EXPECT_EQ(MmcssClient::LoadCount(), 1);
  EXPECT_TRUE(MmcssClient::IsAvailable());
  EXPECT_NE(third.SetThreadCharacteristics(kProAudioHigh, nullptr), nullptr);
  EXPECT_EQ(FakeAvrtCalls(), RegisterLine(kProAudioHigh) + "priority 1\n");
}

TEST(MmcssPresets, EveryPresetHoldsItsTableValues) {
  for (const PresetRow& row : kPresetTable) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.preset->enabled, row.expected.enabled);
    EXPECT_EQ(row.preset->flag2, row.expected.flag2);
    EXPECT_EQ(row.preset->flag3, row.expected.flag3);
    EXPECT_STREQ(row.preset->taskName, row.expected.taskName);
    EXPECT_EQ(row.preset->priority, row.expected.priority);
    EXPECT_EQ(row.preset->tag, row.expected.tag);
  }
}

TEST(MmcssPresets, EveryEnabledPresetRegistersItsTaskThenSetsItsPriority) {
  for (const PresetRow& row : kPresetTable) {
    SCOPED_TRACE(row.name);
    MmcssClient client;  // one load per preset, so each starts with empty records
    SetLastError(999);
    HANDLE registration = client.SetThreadCharacteristics(*row.preset, nullptr);
    if (row.expected.enabled) {
      EXPECT_NE(registration, nullptr);
      EXPECT_EQ(GetLastError(), 0u);
      EXPECT_EQ(FakeAvrtCalls(), RegisterLine(*row.preset) + "priority " +
                                     std::to_string(row.expected.priority) + "\n");
    } else {
      EXPECT_EQ(registration, nullptr);
      EXPECT_EQ(GetLastError(), 999u);
      EXPECT_EQ(FakeAvrtCalls(), "");
    }
  }
}

TEST(MmcssClientRegistration, PreviousRegistrationIsRevertedFirstEvenForADisabledProfile) {
  MmcssClient client;
  HANDLE low = client.SetThreadCharacteristics(kAudioLow, nullptr);
  ASSERT_NE(low, nullptr);
  HANDLE critical = client.SetThreadCharacteristics(kProAudioCritical, low);
  ASSERT_NE(critical, nullptr);
  EXPECT_EQ(client.SetThreadCharacteristics(kNoMmcss, critical), nullptr);
  const std::string revertLow = "revert " + std::to_string(reinterpret_cast<std::uintptr_t>(low));
  const std::string revertCritical =
      "revert " + std::to_string(reinterpret_cast<std::uintptr_t>(critical));
  EXPECT_EQ(FakeAvrtCalls(), RegisterLine(kAudioLow) + "priority -1\n" + revertLow + "\n" +
                                 RegisterLine(kProAudioCritical) + "priority 2\n" + revertCritical +
                                 "\n");
}

struct Outcome {
  HANDLE registration = nullptr;
  DWORD error = 0;
};

// Grants as the stand-in counts them: QUORVANE_FAKE_AVRT_GRANTS, 32 when unset.
int ExpectedGrants() {
  const char* grants = std::getenv("QUORVANE_FAKE_AVRT_GRANTS");
  return grants != nullptr ? std::atoi(grants) : 32;
}

TEST(MmcssClientConcurrency, SixtyFourThreadsRegisterOneAtATimeAndTheSurplusIsRefused) {
  constexpr int kThreads = 64;
  MmcssClient client;
  std::promise<void> start;
  std::shared_future<void> started = start.get_future().share();
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (Outcome& outcome : outcomes) {
    threads.emplace_back([&client, started, &outcome] {
      started.wait_for(kStartBound);
      SetLastError(999);
      outcome.registration = client.SetThreadCharacteristics(kProAudioHigh, nullptr);
      outcome.error = GetLastError();
    });
  }
  start.set_value();
  for (std::thread& thread : threads) thread.join();

  int granted = 0;
  for (const Outcome& outcome : outcomes) {
    if (outcome.registration != nullptr) {
      ++granted;
      EXPECT_EQ(outcome.error, 0u);  // cleared before registering
    } else {
      EXPECT_EQ(outcome.error, ERROR_TOO_MANY_THREADS);  // from the stand-in
    }
  }
  EXPECT_EQ(granted, ExpectedGrants());
  EXPECT_EQ(FakeAvrtMostInside(), 1);
}

// Last: the shared instances live until the process exits.
TEST(MmcssSharedInstances, AllFirstCallersGetOneInspectorAndTheClientIsAnother) {
  constexpr int kThreads = 128;
  ASSERT_EQ(MmcssClient::LoadCount(), 0);
  std::promise<void> start;
  std::shared_future<void> started = start.get_future().share();
  std::vector<MmcssInspector*> seen(kThreads);
  std::vector<std::thread> threads;
  for (MmcssInspector*& instance : seen) {
    threads.emplace_back([started, &instance] {
      started.wait_for(kStartBound);
      instance = &MmcssInspector::Instance();
    });
  }
  start.set_value();
  for (std::thread& thread : threads) thread.join();

  for (MmcssInspector* instance : seen) EXPECT_EQ(instance, seen[0]);
  EXPECT_EQ(MmcssClient::LoadCount(), 1);

  MmcssClient& client = MmcssClient::Instance();
  EXPECT_NE(&client, static_cast<MmcssClient*>(seen[0]));
  EXPECT_EQ(&MmcssClient::Instance(), &client);
  EXPECT_EQ(MmcssClient::LoadCount(), 2);
}

}  // namespace
}  // namespace quorvane
