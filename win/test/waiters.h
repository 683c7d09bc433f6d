// What a test can see of the threads blocked in a wait, on each platform.
#pragma once

#include <windows.h>

#include <optional>

namespace quorvane::test {

// How many threads are blocked inside a wait on `object` now, where the platform tells (the
// Linux layer does); nothing where it does not: Windows keeps a semaphore's waiters to itself.
std::optional<LONG> WaitersOn(HANDLE object);

}  // namespace quorvane::test
