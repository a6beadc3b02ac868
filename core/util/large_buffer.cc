#include "core/util/large_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <utility>

CLargeBuffer::~CLargeBuffer() {
  if (m_data != nullptr) munmap(m_data, m_capacity);
}

CLargeBuffer::CLargeBuffer(CLargeBuffer&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)),
      m_capacity(std::exchange(other.m_capacity, 0)) {}

CLargeBuffer& CLargeBuffer::operator=(CLargeBuffer&& other) noexcept {
  if (this != &other) {
    if (m_data != nullptr) munmap(m_data, m_capacity);
    m_data = std::exchange(other.m_data, nullptr);
    m_capacity = std::exchange(other.m_capacity, 0);
  }
  return *this;
}

void CLargeBuffer::Reserve(size_t capacity) {
  if (capacity <= m_capacity) return;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (capacity > SIZE_MAX - page) throw std::bad_alloc();
  const size_t rounded = (capacity + page - 1) / page * page;
  void* block = m_data == nullptr ? mmap(nullptr, rounded, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                  : mremap(m_data, m_capacity, rounded, MREMAP_MAYMOVE);
  if (block == MAP_FAILED) throw std::bad_alloc();
  m_data = static_cast<char*>(block);
  m_capacity = rounded;
#ifdef MADV_HUGEPAGE
  // The whole mapping, not just its 2 MiB units: advising a part would split the mapping,
  // and mremap cannot grow a block that spans several mappings.
  madvise(m_data, m_capacity, MADV_HUGEPAGE);
#endif
}
