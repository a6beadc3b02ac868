#include "core/util/large_block.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

void* AllocateLargeBlock(size_t bytes) {
  if (bytes < kHugePage) {
    // Small tables stay on small pages: a huge page would make them cost 2 MiB each.
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  if (bytes > SIZE_MAX - kHugePage) throw std::bad_alloc();
  // Whole huge pages, so that the last one is not shared with other allocations.
  size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* block = std::aligned_alloc(kHugePage, rounded);
  if (block == nullptr) throw std::bad_alloc();
  AdviseHugePages(block, rounded);
  return block;
}

void AdviseHugePages(void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
  uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  uintptr_t end = begin + bytes;
  if (end < begin) return;
  begin = (begin + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  end &= ~(uintptr_t{kHugePage} - 1);
  if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}
