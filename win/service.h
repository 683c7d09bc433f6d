// The service phase: with every registration held, each worker runs a periodic loop like an
// audio callback and counts the periods it missed, so that a grant is judged by what it gave.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "observation.h"
#include "report.h"

namespace quorvane {

constexpr double kServiceSecondsMin = 0.1;
constexpr double kServiceSecondsMax = 60;
constexpr std::int64_t kServicePeriodMinUs = 100;
constexpr std::int64_t kServicePeriodMaxUs = 1000000;

struct ServiceSettings {
  bool enabled = false;
  double seconds = 1.0;
  std::int64_t periodUs = 2667;  // 128 frames at 48 kHz
  std::int64_t workUs = 100;
};

// Wake-up latencies in microseconds, in fixed buckets rather than a sample per period: 1 µs
// wide below 1024 µs, then 16 per doubling up to 2^26 µs (67 s), where the last one ends.
template <typename Count>
class LatencyHistogram {
 public:
  static constexpr int kFineBuckets = 1024;
  static constexpr int kFineBits = 10;
  static constexpr int kSubBucketBits = 4;
  static constexpr int kDoublings = 16;
  static constexpr int kBuckets = kFineBuckets + (kDoublings << kSubBucketBits);

  void Add(std::int64_t microseconds);
  template <typename Other>
  void Merge(const LatencyHistogram<Other>& other);
  std::uint64_t Samples() const { return samples; }
  std::int64_t Max() const { return max; }
  // The smallest bucket top that `share` of the samples do not exceed, at most the maximum.
  std::int64_t Percentile(double share) const;

  // The bucket a latency falls in, and the largest latency it holds.
  static int Bucket(std::int64_t microseconds);
  static std::int64_t BucketTop(int bucket);

  std::array<Count, kBuckets> counts{};
  std::uint64_t samples = 0;
  std::int64_t max = 0;
};

// A worker's own figures fit 32-bit counts (60 s of 100 µs periods); a group's may not.
using WorkerHistogram = LatencyHistogram<std::uint32_t>;
using GroupHistogram = LatencyHistogram<std::uint64_t>;

// What one worker got from its phase.
struct ServiceResult {
  std::int64_t periods = 0;
  std::int64_t missed = 0;
  WorkerHistogram wakeUs;
};

// The threads that held the same thing, and what they got together.
struct ServiceGroup {
  Hold hold = Hold::kRefused;
  std::string by;  // the grant's source for applied grants, else what the threads held
  std::int32_t threads = 0;
  std::int32_t served = 0;  // threads without a missed period
  std::int64_t periods = 0;
  std::int64_t missed = 0;
  GroupHistogram wakeUs;
};

struct ServiceSummary {
  ServiceSettings settings;
  std::int64_t timerResolutionNs = 0;
  std::vector<ServiceGroup> groups;
  // Threads that ran real-time with every registration held, and those of them served.
  std::int32_t RealTime() const;
  std::int32_t Served() const;
};

class ServicePhase {
 public:
  // Calibrates the work and reads the timer's resolution, on the calling thread.
  explicit ServicePhase(const ServiceSettings& settings);

  // Runs the phase on the calling worker, which has passed the start barrier and read what it
  // holds, and adds what it got to the group of what it holds.
  void Serve(const WorkerObservation& observation);
  // The groups in the report's order; call once every worker has served.
  ServiceSummary Summary();

  // The periodic loop alone: deadlines every period from `start` (nanoseconds of ServiceNow),
  // those before the phase's end counted as its periods.
  ServiceResult Run(std::int64_t start) const;

  ServiceSettings settings;
  std::int64_t workRounds = 0;  // rounds of the work chain that take the work's time
  std::int64_t timerResolutionNs = 0;
  // The first deadline, set by the first worker past the barrier: every deadline counts from
  // there.
  std::atomic<std::int64_t> phaseStart{0};

 private:
  std::mutex groupsLock;
  std::vector<ServiceGroup> groups;
};

// The section as text: the headline and a line per group.
void PrintService(const ServiceSummary& summary, std::ostream& out);
// The section's JSON object.
std::string ServiceJson(const ServiceSummary& summary);

}  // namespace quorvane
