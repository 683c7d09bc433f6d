#include "waiters.h"

#include "wait_state.h"

namespace quorvane::test {

std::optional<LONG> WaitersOn(HANDLE object) {
  return compat::WaitersOn(object);
}

}  // namespace quorvane::test
