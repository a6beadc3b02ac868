// Large build tables: blocks of many megabytes that the index build and the data-line store
// fill once, front to back or scattered. Fresh memory is paid for page by page when it is
// first touched; with 4 KiB pages that is one kernel entry per page and, on virtual machines,
// costs more than filling the memory. AllocateLargeBlock therefore hands out blocks aligned
// to 2 MiB and asks the kernel to back them with huge pages (transparent huge pages, in
// "madvise" mode on stock kernels); AdviseHugePages does the same for the 2 MiB-aligned part
// of a block obtained elsewhere (e.g. grown with realloc). The advice changes no content and
// is ignored where it is not supported.
//
// Ownership: a LargeArray owns its block and frees it with std::free. Thread safety: none
// needed (plain allocation).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

struct CLargeBlockFree {
  void operator()(void* block) const { std::free(block); }
};

// An owned block of T, released with std::free. T must be trivially destructible.
template <typename T>
using LargeArray = std::unique_ptr<T[], CLargeBlockFree>;

// Uninitialised memory for at least `bytes` bytes (at least one byte). From 2 MiB on the
// block is 2 MiB-aligned, rounded up to whole 2 MiB units and offered huge pages; a smaller
// block is plain malloc memory. Throws std::bad_alloc when the memory cannot be had.
void* AllocateLargeBlock(size_t bytes);

// Asks for huge pages for the whole 2 MiB units inside [data, data + bytes). No effect on the
// content; touched small pages are left as they are.
void AdviseHugePages(void* data, size_t bytes);

template <typename T>
LargeArray<T> AllocateLargeArray(size_t count) {
  return LargeArray<T>(static_cast<T*>(AllocateLargeBlock(count * sizeof(T))));
}
