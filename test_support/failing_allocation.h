// Running out of memory on demand. Linked into a test executable, this replaces the global
// operator new and delete for the executable and for every library it loads, so a test can see
// what a call does when one of its allocations fails.
#pragma once

namespace quorvane::test {

// While it lives, the calling thread's next `allowed` allocations succeed and every later one
// throws std::bad_alloc. Other threads allocate as usual.
class FailingAllocations {
 public:
  explicit FailingAllocations(int allowed);
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace quorvane::test
