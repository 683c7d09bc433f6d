#include "busy_work.h"

namespace quorvane {

double BusyWork(double x) {
  // x / x is 1 only for finite non-zero x: without -ffast-math the compiler must divide.
  for (int i = 0; i < kBusyRounds; ++i) {
    x = x / x + 3e-05;
    x = x / x + 8.6e-05;
    x = x / x + 0.000159;
  }
  return x;
}

}  // namespace quorvane
