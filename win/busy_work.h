// One worker's busy work: a chain of dependent double divisions, bound by the divider's
// latency. In a file of its own so that a test can read its machine code.
#pragma once

namespace quorvane {

// Rounds of the chain; each round is three divisions.
constexpr int kBusyRounds = 1000000;

// Runs the chain from `x` and returns where it ends.
double BusyWork(double x);

}  // namespace quorvane
