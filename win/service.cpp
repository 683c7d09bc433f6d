#include "service.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "service_clock.h"

namespace quorvane {

namespace {

constexpr std::int64_t kNanosecondsPerMicrosecond = 1000;
// The calibration's probes: the fastest of a few short runs, the one least disturbed.
constexpr std::int64_t kProbeRounds = 20000;
constexpr int kProbes = 5;
// The applied grants' sources in the report's order; any other source follows them.
constexpr const char* kSources[] = {"kernel", "RealtimeKit", "portal", "MMCSS"};

// Destination of every worker's work, so that the compiler cannot drop it.
std::atomic<double> workSink{1.5};

// The period's work: dependent divisions, as the busy work, in rounds of one.
double WorkChain(double x, std::int64_t rounds) {
  // x / x is 1 only for finite non-zero x: without -ffast-math the compiler must divide.
  for (std::int64_t i = 0; i < rounds; ++i) x = x / x + 3e-05;
  return x;
}

std::int64_t CalibrateRounds(std::int64_t workUs) {
  if (workUs == 0) return 0;
  double x = workSink.load(std::memory_order_relaxed);
  std::int64_t fastest = INT64_MAX;
  for (int i = 0; i < kProbes; ++i) {
    const std::int64_t start = ServiceNow();
    x = WorkChain(x, kProbeRounds);
    fastest = std::min(fastest, std::max<std::int64_t>(1, ServiceNow() - start));
  }
  workSink.store(x, std::memory_order_relaxed);
  return std::max<std::int64_t>(1, workUs * kNanosecondsPerMicrosecond * kProbeRounds / fastest);
}

const char* HoldName(Hold hold) {
  switch (hold) {
    case Hold::kApplied:
      return "applied";
    case Hold::kGrantedNotApplied:
      return "granted but not applied";
    case Hold::kDemoted:
      return "demoted";
    case Hold::kRefused:
      return "refused";
    case Hold::kRefusedButRealTime:
      break;
  }
  return "refused but real-time";
}

int SourceRank(const std::string& by) {
  const auto found = std::find(std::begin(kSources), std::end(kSources), by);
  return static_cast<int>(found - std::begin(kSources));
}

bool HeldRealTime(Hold hold) {
  return hold == Hold::kApplied || hold == Hold::kRefusedButRealTime;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", seconds);
  return text;
}

}  // namespace

template <typename Count>
int LatencyHistogram<Count>::Bucket(std::int64_t microseconds) {
  if (microseconds < kFineBuckets) return static_cast<int>(std::max<std::int64_t>(0, microseconds));
  int bits = kFineBits;
  while (bits < kFineBits + kDoublings - 1 && (microseconds >> (bits + 1)) != 0) ++bits;
  const std::int64_t sub = (microseconds >> (bits - kSubBucketBits)) - (1 << kSubBucketBits);
  const std::int64_t coarse = std::min<std::int64_t>(sub, (1 << kSubBucketBits) - 1);
  return kFineBuckets + ((bits - kFineBits) << kSubBucketBits) + static_cast<int>(coarse);
}

template <typename Count>
std::int64_t LatencyHistogram<Count>::BucketTop(int bucket) {
  if (bucket < kFineBuckets) return bucket;
  const int doubling = (bucket - kFineBuckets) >> kSubBucketBits;
  const int sub = (bucket - kFineBuckets) & ((1 << kSubBucketBits) - 1);
  const int bits = kFineBits + doubling;
  const std::int64_t width = std::int64_t{1} << (bits - kSubBucketBits);
  return (std::int64_t{1} << bits) + (sub + 1) * width - 1;
}

template <typename Count>
void LatencyHistogram<Count>::Add(std::int64_t microseconds) {
  ++counts[Bucket(microseconds)];
  ++samples;
  max = std::max(max, microseconds);
}

template <typename Count>
template <typename Other>
void LatencyHistogram<Count>::Merge(const LatencyHistogram<Other>& other) {
  for (int i = 0; i < kBuckets; ++i) counts[i] += other.counts[i];
  samples += other.samples;
  max = std::max(max, other.max);
}

template <typename Count>
std::int64_t LatencyHistogram<Count>::Percentile(double share) const {
  const auto rank = static_cast<std::uint64_t>(std::ceil(share * static_cast<double>(samples)));
  std::uint64_t seen = 0;
  for (int i = 0; i < kBuckets; ++i) {
    seen += counts[i];
    // The last bucket has no top of its own: it holds everything beyond.
    if (seen >= std::max<std::uint64_t>(rank, 1)) {
      return i == kBuckets - 1 ? max : std::min(BucketTop(i), max);
    }
  }
  return max;
}

template class LatencyHistogram<std::uint32_t>;
template class LatencyHistogram<std::uint64_t>;
template void GroupHistogram::Merge(const WorkerHistogram&);

std::int32_t ServiceSummary::RealTime() const {
  std::int32_t threads = 0;
  for (const ServiceGroup& group : groups) {
    if (HeldRealTime(group.hold)) threads += group.threads;
  }
  return threads;
}

std::int32_t ServiceSummary::Served() const {
  std::int32_t served = 0;
  for (const ServiceGroup& group : groups) {
    if (HeldRealTime(group.hold)) served += group.served;
  }
  return served;
}

ServicePhase::ServicePhase(const ServiceSettings& settings)
    : settings(settings),
      workRounds(CalibrateRounds(settings.workUs)),
      timerResolutionNs(TimerResolutionNs()) {}

ServiceResult ServicePhase::Run(std::int64_t start) const {
  const std::int64_t period = settings.periodUs * kNanosecondsPerMicrosecond;
  const std::int64_t length = std::llround(settings.seconds * 1e9);
  const std::int64_t end = start + length;
  ServiceResult result;
  result.periods = length / period;
  PeriodTimer timer;
  double x = workSink.load(std::memory_order_relaxed);
  std::int64_t next = 0;  // the period whose deadline comes next, from 0
  while (next < result.periods) {
    const std::int64_t deadline = start + next * period;
    timer.SleepUntil(deadline);
    const std::int64_t woke = ServiceNow();
    // Late past the phase's end: the phase is over, whatever is left counts as missed.
    if (woke > end) break;
    result.wakeUs.Add((woke - deadline) / kNanosecondsPerMicrosecond);
    x = WorkChain(x, workRounds);
    // The first deadline still ahead; those passed while working are skipped, and with them
    // this period, whose work did not end before the next one.
    const std::int64_t ahead = std::max(next + 1, (ServiceNow() - start) / period + 1);
    if (ahead > next + 1) result.missed += std::min(ahead, result.periods) - next;
    next = ahead;
  }
  result.missed += std::max<std::int64_t>(0, result.periods - next);
  workSink.store(x, std::memory_order_relaxed);
  return result;
}

void ServicePhase::Serve(const WorkerObservation& observation) {
  // The first deadline is a period after the first worker passed the barrier, so that every
  // first wake is the timer's, not the barrier's.
  std::int64_t unset = 0;
  phaseStart.compare_exchange_strong(unset,
                                     ServiceNow() + settings.periodUs * kNanosecondsPerMicrosecond);
  const ServiceResult result = Run(phaseStart.load());
  const Hold hold = HoldOf(observation);
  const std::string by = hold == Hold::kApplied ? GrantorName(observation) : HoldName(hold);
  std::lock_guard<std::mutex> locked(groupsLock);
  auto group = std::find_if(groups.begin(), groups.end(), [&](const ServiceGroup& candidate) {
    return candidate.hold == hold && candidate.by == by;
  });
  if (group == groups.end()) {
    groups.emplace_back();
    groups.back().hold = hold;
    groups.back().by = by;
    group = std::prev(groups.end());
  }
  ++group->threads;
  if (result.missed == 0) ++group->served;
  group->periods += result.periods;
  group->missed += result.missed;
  group->wakeUs.Merge(result.wakeUs);
}

ServiceSummary ServicePhase::Summary() {
  std::lock_guard<std::mutex> locked(groupsLock);
  std::sort(groups.begin(), groups.end(), [](const ServiceGroup& a, const ServiceGroup& b) {
    if (a.hold != b.hold) return a.hold < b.hold;
    if (SourceRank(a.by) != SourceRank(b.by)) return SourceRank(a.by) < SourceRank(b.by);
    return a.by < b.by;
  });
  return {settings, timerResolutionNs, groups};
}

void PrintService(const ServiceSummary& summary, std::ostream& out) {
  const ServiceSettings& settings = summary.settings;
  out << std::endl;
  out << "Service: " << Seconds(settings.seconds) << " s of " << settings.periodUs
      << " us periods with " << settings.workUs << " us of work each (timer resolution "
      << summary.timerResolutionNs << " ns)" << std::endl;
  out << "Served " << summary.Served() << " of the " << summary.RealTime()
      << " threads that held real-time scheduling (served: no missed period)" << std::endl;
  for (const ServiceGroup& group : summary.groups) {
    out << "  " << group.threads << " " << (group.hold == Hold::kApplied ? "applied by " : "")
        << group.by << ": " << group.served << " served, " << group.periods << " periods, "
        << group.missed << " missed, ";
    if (group.wakeUs.Samples() == 0) {
      out << "never woke in time to work" << std::endl;
      continue;
    }
    out << "woke " << group.wakeUs.Percentile(0.5) << " / " << group.wakeUs.Percentile(0.99)
        << " / " << group.wakeUs.Max() << " us late (median / 99th percentile / maximum)"
        << std::endl;
  }
}

std::string ServiceJson(const ServiceSummary& summary) {
  const ServiceSettings& settings = summary.settings;
  std::string json = "{\"seconds\":" + Seconds(settings.seconds) +
                     ",\"period_us\":" + JsonNumber(settings.periodUs) +
                     ",\"work_us\":" + JsonNumber(settings.workUs) +
                     ",\"timer_resolution_ns\":" + JsonNumber(summary.timerResolutionNs) +
                     ",\"real_time\":" + JsonNumber(summary.RealTime()) +
                     ",\"served\":" + JsonNumber(summary.Served()) + ",\"groups\":[";
  for (const ServiceGroup& group : summary.groups) {
    if (json.back() != '[') json += ",";
    const bool woke = group.wakeUs.Samples() > 0;
    const auto figure = [woke](std::int64_t value) { return woke ? JsonNumber(value) : kJsonNull; };
    json += "{\"by\":" + JsonString(group.by) + ",\"threads\":" + JsonNumber(group.threads) +
            ",\"served\":" + JsonNumber(group.served) +
            ",\"periods\":" + JsonNumber(group.periods) +
            ",\"missed\":" + JsonNumber(group.missed) +
            ",\"wake_us\":{\"p50\":" + figure(group.wakeUs.Percentile(0.5)) +
            ",\"p99\":" + figure(group.wakeUs.Percentile(0.99)) +
            ",\"max\":" + figure(group.wakeUs.Max()) + "}}";
  }
  return json + "]}";
}

}  // namespace quorvane
