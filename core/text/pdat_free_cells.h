// CFreeCells: which cells of a double array under construction are free, for the trie
// build's first-fit base search. Cells only ever become used during a build, never free
// again, which both forms below rely on:
//  - a "next free cell" forest: each used cell points past itself and lookups halve their
//    paths, so packed stretches are skipped in near-constant time;
//  - a bitmap (1 = free) in eight copies, copy s shifted by s cells, so that the bits of
//    the 64 or 256 cells from any position on are a plain unaligned load from one copy.
// Cells at or beyond the grown size read as free, up to kMaxReach cells past it. The
// object owns its memory; one build uses it from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class CFreeCells {
 public:
  CFreeCells() = default;
  virtual ~CFreeCells();
  CFreeCells(const CFreeCells&) = delete;
  CFreeCells& operator=(const CFreeCells&) = delete;

  // How far past the grown size positions may be read: the widest distance between two
  // character codes plus two blocks of the search.
  static constexpr int64_t kMaxReach = 65536 + 1024;

  // Makes cells [0, size) known (new ones free). Never shrinks. Invalidates rows.
  void Grow(size_t size);

  // First free cell >= index (index itself when at or beyond the grown size).
  int64_t NextFree(int64_t index) {
    const int64_t size = static_cast<int64_t>(m_next.size());
    while (index < size && m_next[static_cast<size_t>(index)] != index) {
      int32_t next = m_next[static_cast<size_t>(index)];
      if (next < size) m_next[static_cast<size_t>(index)] = m_next[static_cast<size_t>(next)];
      index = next;
    }
    return index;
  }

  // Marks cell `index` (< the grown size) used.
  void Use(int32_t index);

  // Bit j: whether cell position + j is free, for position < grown size + kMaxReach - 64.
  uint64_t Window(int64_t position) const {
    uint64_t word;
    std::memcpy(&word, Address(position), sizeof word);
    return word;
  }

  // The row of cells `distance` further on: for a position that is a multiple of 8, bit j
  // of the bytes from row + position / 8 on tells whether cell position + distance + j is
  // free. Valid until the next Grow.
  const uint8_t* Row(int32_t distance) const { return Address(distance); }

  // The block search of the base search. From `position` (a multiple of 8) on, finds the
  // first block of 256 candidates h = block + j (j < 256) such that cell h is free in
  // `lowestRow` and in each of the `count` rows; in the first block, bits of the first
  // word outside `firstMask` are no candidates. Writes the block's candidates to
  // fits[0..4) (bit j of fits[j / 64]) and returns the block's position (a multiple of 8).
  // Rows come from Row() with distances below 65536; past the last cell every row reads
  // free, so the search always ends within reach.
  int64_t FindBlock(const uint8_t* lowestRow, const uint8_t* const* rows, size_t count,
                    int64_t position, uint64_t firstMask, uint64_t* fits);

  // Tests only: true makes FindBlock use its portable form even where the wide one runs.
  static void ForcePortableSearch(bool portable);

 private:
  static constexpr size_t kCopies = 8;
  const uint8_t* Address(int64_t position) const {
    return m_copies.data() + static_cast<size_t>(position & 7) * m_stride +
           static_cast<size_t>(position >> 3);
  }

  std::vector<int32_t> m_next;    // the forest: m_next[i] == i for a free cell
  std::vector<uint8_t> m_copies;  // kCopies rows of m_stride bytes; copy s bit j: cell j + s
  size_t m_stride = 0;
};
