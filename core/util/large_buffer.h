// CLargeBuffer: a growable block of bytes for tables of many megabytes that are appended to
// for a long time, such as the data-line store's text pool. The block is mapped straight
// from the kernel and grows by remapping, so growing never copies the content (a realloc of
// heap memory copies it whenever the block cannot grow in place); the room is offered huge
// pages (see large_block.h). Fresh room reads as zero bytes.
//
// Ownership: owns its mapping; movable, not copyable. Thread safety: const members may be
// called from many threads; Reserve needs exclusive access and invalidates data().
#pragma once

#include <cstddef>

class CLargeBuffer {
 public:
  CLargeBuffer() = default;
  ~CLargeBuffer();
  CLargeBuffer(CLargeBuffer&& other) noexcept;
  CLargeBuffer& operator=(CLargeBuffer&& other) noexcept;
  CLargeBuffer(const CLargeBuffer&) = delete;
  CLargeBuffer& operator=(const CLargeBuffer&) = delete;

  // Null until the first Reserve.
  char* data() const { return m_data; }
  // Bytes usable from data(), at least what was reserved (rounded up to whole pages).
  size_t capacity() const { return m_capacity; }

  // Makes room for at least `capacity` bytes, keeping the current content; never shrinks.
  // Throws std::bad_alloc when the memory cannot be had (the buffer is then unchanged).
  void Reserve(size_t capacity);

 private:
  char* m_data = nullptr;
  size_t m_capacity = 0;
};
