// Allocation failures injected on the calling thread, for the tests that check that no
// exception leaves the library. Linking this replaces the global operator new/delete.
#pragma once

// From now on, the n-th allocation (0-based) of this thread throws std::bad_alloc; n < 0
// disarms.
void FailAllocationAfter(long n);
// True when an armed failure has fired (and disarms).
bool AllocationFailureFired();
