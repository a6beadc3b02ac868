// Allocation failures on demand for tests of what a failed allocation does: linking this file
// replaces the global operator new, and while a limit is set every allocation of at least that
// many bytes, on any thread, throws std::bad_alloc as it would under a memory limit.
#pragma once

#include <cstddef>

// Sets the limit in bytes; 0 turns the failures off.
void FailAllocationsFrom(size_t bytes);
