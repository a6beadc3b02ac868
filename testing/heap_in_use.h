// The bytes the allocator has handed out and not taken back (small blocks and mapped large
// ones), for tests that check a buffer is freed rather than kept.
#pragma once

#include <malloc.h>

#include <cstddef>

inline size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}
