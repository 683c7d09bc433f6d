// A stand-in avrt.dll without AvSetMmMaxThreadCharacteristicsA.
#include "avrt_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

namespace quorvane {
namespace {

TEST(MmcssClientWithoutRegistrationEntryPoint, LoadCountsAndRegistersNothingWithoutLocking) {
  MmcssClient client;
  EXPECT_EQ(MmcssClient::LoadCount(), 1);
  EXPECT_FALSE(MmcssClient::IsAvailable());

  // The lock is held here: a call that took it would still be waiting when the bound ends.
  std::unique_lock<RegistrationLock> hold(client.registrationLock);
  HANDLE previous = reinterpret_cast<HANDLE>(7);
  HANDLE registration = previous;
  DWORD error = 0;
  auto call = std::async(std::launch::async, [&] {
    SetLastError(1234);
    registration = client.SetThreadCharacteristics(kProAudioHigh, previous);
    error = GetLastError();
  });
  const bool returned = call.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  hold.unlock();
  call.get();

  EXPECT_TRUE(returned) << "SetThreadCharacteristics waited for the registration lock";
  EXPECT_EQ(registration, nullptr);
  EXPECT_EQ(error, 1234u);  // left as it was
  EXPECT_EQ(FakeAvrtCalls(), "revert 7\n");
}

}  // namespace
}  // namespace quorvane
