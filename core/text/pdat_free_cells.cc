#include "core/text/pdat_free_cells.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define PDAT_WIDE_SEARCH 1
#endif

namespace {

std::atomic<bool> g_portableOnly{false};

uint64_t LoadWord(const uint8_t* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// One block of 256 candidates at a time, in four 64-bit words.
int64_t FindBlockPortable(CFreeCells* cells, const uint8_t* lowestRow, const uint8_t* const* rows,
                          size_t count, int64_t position, uint64_t firstMask, uint64_t* fits) {
  for (;;) {
    const size_t at = static_cast<size_t>(position >> 3);
    uint64_t f0 = LoadWord(lowestRow + at) & firstMask;
    uint64_t f1 = LoadWord(lowestRow + at + 8);
    uint64_t f2 = LoadWord(lowestRow + at + 16);
    uint64_t f3 = LoadWord(lowestRow + at + 24);
    firstMask = ~uint64_t{0};
    if ((f0 | f1 | f2 | f3) == 0) {
      // No free cell for the lowest child in this block: on to its next free cell.
      position = cells->NextFree(position + 256) & ~int64_t{7};
      continue;
    }
    for (size_t index = 0; index < count; ++index) {
      const uint8_t* row = rows[index] + at;
      f0 &= LoadWord(row);
      f1 &= LoadWord(row + 8);
      f2 &= LoadWord(row + 16);
      f3 &= LoadWord(row + 24);
      if ((f0 | f1 | f2 | f3) == 0) break;
    }
    if ((f0 | f1 | f2 | f3) != 0) {
      fits[0] = f0;
      fits[1] = f1;
      fits[2] = f2;
      fits[3] = f3;
      return position;
    }
    position += 256;
  }
}

#ifdef PDAT_WIDE_SEARCH
// Two blocks at a time, one 256-bit operation per block and row: the two AND chains are
// independent, so they overlap. (Four at a time measured slower.)
__attribute__((target("avx2"))) int64_t FindBlockWide(CFreeCells* cells, const uint8_t* lowestRow,
                                                      const uint8_t* const* rows, size_t count,
                                                      int64_t position, uint64_t firstMask,
                                                      uint64_t* fits) {
  __m256i mask = _mm256_set_epi64x(-1, -1, -1, static_cast<long long>(firstMask));
  for (;;) {
    const size_t at = static_cast<size_t>(position >> 3);
    __m256i first = _mm256_and_si256(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lowestRow + at)), mask);
    __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lowestRow + at + 32));
    mask = _mm256_set1_epi64x(-1);
    __m256i either = _mm256_or_si256(first, second);
    if (_mm256_testz_si256(either, either)) {
      position = cells->NextFree(position + 512) & ~int64_t{7};
      continue;
    }
    for (size_t index = 0; index < count; ++index) {
      const uint8_t* row = rows[index] + at;
      first = _mm256_and_si256(first, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row)));
      second =
          _mm256_and_si256(second, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32)));
      either = _mm256_or_si256(first, second);
      if (_mm256_testz_si256(either, either)) break;
    }
    if (!_mm256_testz_si256(first, first)) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(fits), first);
      return position;
    }
    if (!_mm256_testz_si256(second, second)) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(fits), second);
      return position + 256;
    }
    position += 512;
  }
}
#endif

}  // namespace

CFreeCells::~CFreeCells() = default;

void CFreeCells::Grow(size_t size) {
  if (m_next.capacity() < size) m_next.reserve(2 * size);
  for (size_t index = m_next.size(); index < size; ++index) {
    m_next.push_back(static_cast<int32_t>(index));
  }
  // Reads reach kMaxReach cells past the size, plus a 512-cell double block: those read free.
  size_t needed = (size + static_cast<size_t>(kMaxReach)) / 8 + 256;
  if (needed > m_stride) {
    size_t stride = m_stride == 0 ? needed : std::max(needed, 2 * m_stride);
    std::vector<uint8_t> copies(kCopies * stride, 0xFF);
    for (size_t copy = 0; copy < kCopies && m_stride > 0; ++copy) {
      std::memcpy(copies.data() + copy * stride, m_copies.data() + copy * m_stride, m_stride);
    }
    m_copies.swap(copies);
    m_stride = stride;
  }
}

void CFreeCells::Use(int32_t index) {
  m_next[static_cast<size_t>(index)] = index + 1;
  for (int32_t copy = 0; copy < static_cast<int32_t>(kCopies) && copy <= index; ++copy) {
    int32_t bit = index - copy;
    m_copies[static_cast<size_t>(copy) * m_stride + static_cast<size_t>(bit >> 3)] &=
        static_cast<uint8_t>(~(1u << (bit & 7)));
  }
}

int64_t CFreeCells::FindBlock(const uint8_t* lowestRow, const uint8_t* const* rows, size_t count,
                              int64_t position, uint64_t firstMask, uint64_t* fits) {
#ifdef PDAT_WIDE_SEARCH
  static const bool hasWide = __builtin_cpu_supports("avx2");
  if (hasWide && !g_portableOnly.load(std::memory_order_relaxed)) {
    return FindBlockWide(this, lowestRow, rows, count, position, firstMask, fits);
  }
#endif
  return FindBlockPortable(this, lowestRow, rows, count, position, firstMask, fits);
}

void CFreeCells::ForcePortableSearch(bool portable) {
  g_portableOnly.store(portable, std::memory_order_relaxed);
}
