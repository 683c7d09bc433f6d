// Privilege in tests: what this process may do, and a way to check the unprivileged case too.
#pragma once

namespace compat::test {

// CAP_SYS_NICE in the effective set: raising a thread's priority (lowering its nice) is allowed.
bool MayRaisePriority();

// Sets threadsafe death tests: their child starts afresh instead of forking a threaded process.
void UseFreshDeathTestChildren();

// The body of a death-test child (expect exit code 0): drops to uid/gid 65534 when root, runs
// `checks`, and exits with 0 when every expectation in it held, 1 otherwise.
[[noreturn]] void RunUnprivileged(void (*checks)());

}  // namespace compat::test
