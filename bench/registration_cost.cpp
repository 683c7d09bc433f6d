// What one registration costs, made as the tool's workers make it (the MMCSS client: the
// provider's grant, then the priority), each on a thread of its own and reverted before the
// next, so that every one asks the provider afresh. Run it with the provider beside it.
//   quorvane_registration_cost [REGISTRATIONS]    (default 25: RealtimeKit's burst allowance)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "mmcss.h"

namespace {

struct Attempt {
  double milliseconds;
  bool granted;
};

Attempt RegisterOnce(quorvane::MmcssClient& client) {
  Attempt attempt{};
  std::thread([&] {
    const auto start = std::chrono::steady_clock::now();
    HANDLE registration = client.SetThreadCharacteristics(quorvane::kProAudioHigh, nullptr);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    attempt = {took.count(), registration != nullptr};
    client.SetThreadCharacteristics(quorvane::kNoMmcss, registration);
  }).join();
  return attempt;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 25;
  if (count < 1) {
    std::fprintf(stderr, "usage: %s [REGISTRATIONS >= 1]\n", argv[0]);
    return 2;
  }
  quorvane::MmcssClient client;
  if (!quorvane::MmcssClient::IsAvailable()) {
    std::fprintf(stderr, "no avrt library with the three calls beside this program\n");
    return 1;
  }
  std::vector<double> times;
  long granted = 0;
  for (long i = 0; i < count; ++i) {
    const Attempt attempt = RegisterOnce(client);
    times.push_back(attempt.milliseconds);
    granted += attempt.granted ? 1 : 0;
  }
  // The first includes what a process does once: the provider's connection to its service.
  const double first = times.front();
  std::sort(times.begin(), times.end());
  const double median = times.size() % 2 == 1
                            ? times[times.size() / 2]
                            : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
  std::printf("%ld registrations, %ld granted: median %.3f ms, worst %.3f ms, first %.3f ms\n",
              count, granted, median, times.back(), first);
  return 0;
}
