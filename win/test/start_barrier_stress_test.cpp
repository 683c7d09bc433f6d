// The start barrier under many rounds of random participant counts, arrival delays and
// stand-ins: nobody ever leaves before the last arrival, and every arrival is counted.
#include "start_barrier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "test_support.h"

namespace quorvane {
namespace {

using test::ThreadGroup;

constexpr int kRounds = 150;
constexpr int kMostParticipants = 48;
constexpr int kLongestDelayUs = 300;

// One participant's part in a round: how long it takes to come, and whether it only stands in.
struct Arrival {
  std::chrono::microseconds delay;
  bool standIn;
};

TEST(StartBarrierStress, RandomRoundsNeverReleaseEarlyAndCountEveryArrival) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> participantCount(1, kMostParticipants);
  std::uniform_int_distribution<int> delayUs(0, kLongestDelayUs);
  std::bernoulli_distribution standsIn(0.1);
  for (int round = 0; round < kRounds; ++round) {
    const int participants = participantCount(random);
    std::vector<Arrival> plan;
    for (int i = 0; i < participants; ++i) {
      // The last one always waits: somebody must be there to be released.
      plan.push_back(
          {std::chrono::microseconds(delayUs(random)), i + 1 < participants && standsIn(random)});
    }
    StartBarrier barrier(participants);
    std::atomic<int> came{0};
    std::atomic<int> leftEarly{0};
    std::atomic<int> passed{0};
    ThreadGroup all(participants, [&](int self) {
      std::this_thread::sleep_for(plan[self].delay);
      came.fetch_add(1);
      if (plan[self].standIn) {
        barrier.StandIn();
        return;
      }
      barrier.Arrive();
      if (came.load() != participants) leftEarly.fetch_add(1);
      passed.fetch_add(1);
    });
    all.Join();
    int waiting = 0;
    for (const Arrival& arrival : plan) waiting += arrival.standIn ? 0 : 1;
    ASSERT_EQ(leftEarly.load(), 0) << "round " << round << ", " << participants << " participants";
    ASSERT_EQ(passed.load(), waiting) << "round " << round;
    ASSERT_EQ(barrier.arrived.load(), participants) << "round " << round;
  }
}

}  // namespace
}  // namespace quorvane
