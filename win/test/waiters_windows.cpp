#include "waiters.h"

namespace quorvane::test {

// No documented call lists a semaphore's waiters, and Wine's wait chain traversal is a stub.
std::optional<LONG> WaitersOn(HANDLE) {
  return std::nullopt;
}

}  // namespace quorvane::test
