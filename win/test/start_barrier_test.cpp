#include "start_barrier.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace quorvane {
namespace {

using test::AwaitOrDie;
using test::ThreadGroup;

// Long enough for a participant that wrongly passes to be seen doing so.
constexpr auto kWindow = std::chrono::milliseconds(50);

TEST(StartBarrier, OneParticipantPassesAtOnce) {
  StartBarrier barrier(1);
  ThreadGroup only(1, [&](int) { barrier.Arrive(); });
  only.Join();
  EXPECT_EQ(barrier.arrived.load(), 1);
}

TEST(StartBarrier, TwoParticipantsWaitForEachOtherInEitherOrder) {
  for (int first = 0; first < 2; ++first) {
    SCOPED_TRACE(first == 0 ? "participant 0 first" : "participant 1 first");
    StartBarrier barrier(2);
    std::atomic<bool> go[2] = {false, false};
    go[first] = true;
    ThreadGroup pair(2, [&](int self) {
      AwaitOrDie([&] { return go[self].load(); }, "a participant's turn");
      barrier.Arrive();
    });
    AwaitOrDie([&] { return barrier.arrived.load() == 1; }, "the first arrival");
    std::this_thread::sleep_for(kWindow);
    EXPECT_EQ(pair.Finished(), 0) << "the first arrival left alone";
    go[1 - first] = true;
    pair.Join();
    EXPECT_EQ(barrier.arrived.load(), 2);
  }
}

TEST(StartBarrier, NobodyLeavesBeforeTheLastArrivesUnderStress) {
  constexpr int kRounds = 300;
  constexpr int kParticipants = 8;
  for (int round = 0; round < kRounds; ++round) {
    StartBarrier barrier(kParticipants);
    std::atomic<int> entered{0};
    std::atomic<int> leftEarly{0};
    ThreadGroup all(kParticipants, [&](int) {
      entered.fetch_add(1);
      barrier.Arrive();
      if (entered.load() != kParticipants) leftEarly.fetch_add(1);
    });
    all.Join();
    ASSERT_EQ(leftEarly.load(), 0) << "in round " << round;
  }
}

TEST(StartBarrier, StandInCompletesTheCountWithoutWaiting) {
  StartBarrier barrier(3);
  ThreadGroup waiting(1, [&](int) { barrier.Arrive(); });
  AwaitOrDie([&] { return barrier.arrived.load() == 1; }, "the first arrival");
  barrier.StandIn();  // would never return if it waited: the third participant never comes
  std::this_thread::sleep_for(kWindow);
  EXPECT_EQ(waiting.Finished(), 0) << "released with one participant missing";
  barrier.StandIn();
  waiting.Join();
  EXPECT_EQ(barrier.arrived.load(), 3);
}

}  // namespace
}  // namespace quorvane
