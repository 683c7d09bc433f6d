#include "failing_allocation.h"

#include <cstdlib>
#include <new>

namespace {
// Allocations the thread may still make; negative: no limit.
thread_local int allowedAllocations = -1;
}  // namespace

namespace quorvane::test {

FailingAllocations::FailingAllocations(int allowed) {
  allowedAllocations = allowed;
}

FailingAllocations::~FailingAllocations() {
  allowedAllocations = -1;
}

}  // namespace quorvane::test

// Delete is replaced with new: under AddressSanitizer, memory from this malloc must not reach
// the sanitizer's own operator delete. The array and sized forms forward to these.
void* operator new(std::size_t size) {
  if (allowedAllocations == 0) throw std::bad_alloc();
  if (allowedAllocations > 0) --allowedAllocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
  std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
