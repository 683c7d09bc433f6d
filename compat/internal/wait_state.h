// What the layer knows of its waits, for tests that must see a thread inside one.
#pragma once

#include <windows.h>

namespace compat {
// How many threads are blocked inside a wait on this handle's object now: for tests that must
// know a waiter is inside its wait before they check that it stayed there.
LONG WaitersOn(HANDLE object);
}  // namespace compat
