#include "start_barrier.h"

#include <gtest/gtest.h>

#include <optional>

#include "test_support.h"
#include "waiters.h"

namespace quorvane {
namespace {

using test::AwaitOrDie;
using test::ThreadGroup;
using test::WaitersOn;

// Waits until the barrier's one participant so far is blocked inside its wait, or has left
// (which the checks after this report). Where the platform cannot show a waiter, only its
// arrival is known.
void AwaitTheFirstArrivalWaiting(const StartBarrier& barrier, const ThreadGroup& group) {
  AwaitOrDie(
      [&] {
        const std::optional<LONG> waiters = WaitersOn(barrier.semaphore);
        return group.Finished() > 0 || (waiters ? *waiters == 1 : barrier.arrived.load() == 1);
      },
      "the first arrival to wait or leave");
}

// The first arrival is held: blocked in its wait (where the platform shows it), not gone, and
// no permit is out that would let it go.
void ExpectTheFirstArrivalHeld(const StartBarrier& barrier, const ThreadGroup& group) {
  if (const std::optional<LONG> waiters = WaitersOn(barrier.semaphore)) {
    EXPECT_EQ(*waiters, 1) << "the first arrival is not waiting";
  }
  EXPECT_EQ(group.Finished(), 0) << "the first arrival left alone";
  EXPECT_EQ(WaitForSingleObject(barrier.semaphore, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "a permit was out before the last arrival";
}

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
    AwaitTheFirstArrivalWaiting(barrier, pair);
    ExpectTheFirstArrivalHeld(barrier, pair);
    go[1 - first] = true;
    pair.Join();
    EXPECT_EQ(barrier.arrived.load(), 2);
  }
}

TEST(StartBarrier, StandInCompletesTheCountWithoutWaiting) {
  StartBarrier barrier(3);
  ThreadGroup waiting(1, [&](int) { barrier.Arrive(); });
  AwaitTheFirstArrivalWaiting(barrier, waiting);
  // On a thread of its own: a stand-in that waited would never return, the third never comes.
  ThreadGroup(1, [&](int) { barrier.StandIn(); }).Join();
  ExpectTheFirstArrivalHeld(barrier, waiting);
  barrier.StandIn();
  waiting.Join();
  EXPECT_EQ(barrier.arrived.load(), 3);
}

}  // namespace
}  // namespace quorvane
