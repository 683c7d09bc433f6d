#include "service.h"

#include <gtest/gtest.h>

#include "service_clock.h"

namespace quorvane {
namespace {

TEST(LatencyHistogram, BucketsAreExactBelowAMillisecondAndContiguousAbove) {
  for (std::int64_t us : {0, 1, 999, 1023}) {
    EXPECT_EQ(WorkerHistogram::BucketTop(WorkerHistogram::Bucket(us)), us);
  }
  // Every value lands in the bucket whose top is the first one not below it.
  for (int bucket = WorkerHistogram::kFineBuckets; bucket < WorkerHistogram::kBuckets; ++bucket) {
    const std::int64_t low = WorkerHistogram::BucketTop(bucket - 1) + 1;
    const std::int64_t top = WorkerHistogram::BucketTop(bucket);
    ASSERT_LE(low, top);
    ASSERT_EQ(WorkerHistogram::Bucket(low), bucket) << low;
    ASSERT_EQ(WorkerHistogram::Bucket(top), bucket) << top;
  }
  // Past the last bucket: the last one, and the maximum stays exact.
  WorkerHistogram beyond;
  beyond.Add(std::int64_t{1} << 40);
  EXPECT_EQ(beyond.counts.back(), 1u);
  EXPECT_EQ(beyond.Percentile(0.5), std::int64_t{1} << 40);
}

TEST(LatencyHistogram, PercentilesOfMergedWorkers) {
  WorkerHistogram first;
  WorkerHistogram second;
  for (int i = 0; i < 98; ++i) first.Add(10);
  second.Add(20);
  second.Add(5000);  // coarse: 4992..5119
  GroupHistogram group;
  group.Merge(first);
  group.Merge(second);
  EXPECT_EQ(group.Samples(), 100u);
  EXPECT_EQ(group.Percentile(0.5), 10);
  EXPECT_EQ(group.Percentile(0.99), 20);
  EXPECT_EQ(group.Percentile(1.0), 5000);  // the bucket's top, capped at the maximum
  EXPECT_EQ(group.Max(), 5000);
  EXPECT_EQ(GroupHistogram().Percentile(0.5), 0);
}

ServiceSettings Settings(double seconds, std::int64_t periodUs, std::int64_t workUs) {
  ServiceSettings settings;
  settings.enabled = true;
  settings.seconds = seconds;
  settings.periodUs = periodUs;
  settings.workUs = workUs;
  return settings;
}

TEST(ServicePhase, CountsTheDeadlinesInsideThePhaseAndEndsByTheClock) {
  const ServicePhase phase(Settings(0.25, 1000, 0));
  const std::int64_t start = ServiceNow();
  const ServiceResult result = phase.Run(start);
  EXPECT_EQ(result.periods, 250);
  EXPECT_LE(result.missed, result.periods);
  // Every period woke once or was missed; none twice.
  EXPECT_LE(result.wakeUs.Samples(), 250u);
  EXPECT_GE(result.wakeUs.Samples(), static_cast<std::uint64_t>(result.periods - result.missed));
  // The loop slept to its deadlines, the last one a period before the phase's end.
  EXPECT_GE(ServiceNow() - start, 249 * 1000000LL);
}

TEST(ServicePhase, AWorkerThatComesAfterThePhaseMissedEveryPeriodAndReportsAtOnce) {
  const ServicePhase phase(Settings(60, 100000, 100));
  // As a worker starved until the phase was over: it started a minute ago.
  const ServiceResult result = phase.Run(ServiceNow() - 61 * 1000000000LL);
  EXPECT_EQ(result.periods, 600);
  EXPECT_EQ(result.missed, 600);
  EXPECT_EQ(result.wakeUs.Samples(), 0u);
}

TEST(ServicePhase, WorkLongerThanThePeriodMissesEveryPeriodItRan) {
  // A worker whose every period's work ends past the next deadline misses all of them, the
  // ones skipped while working included, and still ends with the phase. (A worker starved
  // through the whole phase on a loaded machine misses them all too, without waking.)
  ServicePhase phase(Settings(0.2, 1000, 1000));
  phase.workRounds *= 100;
  const ServiceResult result = phase.Run(ServiceNow());
  EXPECT_EQ(result.periods, 200);
  EXPECT_EQ(result.missed, 200);
  // Each wake's work skipped at least the next deadline.
  EXPECT_LE(result.wakeUs.Samples(), 100u);
}

}  // namespace
}  // namespace quorvane
