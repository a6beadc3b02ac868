#include "client/tests/allocation_failure.h"

#include <cstdlib>
#include <new>

namespace {

thread_local long t_countdown = -1;
thread_local bool t_fired = false;

}  // namespace

void FailAllocationAfter(long n) {
  t_countdown = n;
  t_fired = false;
}

bool AllocationFailureFired() {
  const bool fired = t_fired;
  t_countdown = -1;
  t_fired = false;
  return fired;
}

void* operator new(std::size_t size) {
  if (t_countdown >= 0 && t_countdown-- == 0) {
    t_fired = true;
    throw std::bad_alloc();
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
