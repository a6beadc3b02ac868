// CPDAT::BuildFromText: dictionary text -> double array.
//
// The cells are exactly those of the classic placement: codes by character frequency, the
// root's children at their codes, then pass after pass the pending node with the most
// children (ties: earliest in the pending list) gets the smallest base b >= 1 at which all
// its children's cells are free (a word end skips b == its own cell). Two things keep it
// fast without changing a single cell:
//  - the pending list is a priority queue ordered by (children descending, list position
//    ascending): a node's first child inherits the node's list position, its other children
//    take new, increasing positions at the end, and childless nodes, which the list drops
//    before every selection, are never queued;
//  - the base search never tries bases one by one: cells are never freed during a build,
//    so a "next free cell" forest skips packed stretches, a bitmap of free cells tests 256
//    candidate bases per child with a few word operations, and the first free pair of cells
//    at each distance between child codes (remembered per distance, since it only moves
//    forward) tells where a search may start.
// A leaf in cell 0 would get base -0 = 0 and read as "no word ends here"; it gets -1
// instead, which reads as a word end whose children (at base 1 with check 0) never exist,
// so lookups and Segment treat it as a word that nothing continues.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <queue>
#include <string>
#include <vector>

#include "core/text/dictionary_reader.h"
#include "core/text/file_util.h"
#include "core/text/pdat.h"
#include "core/text/pdat_chars.h"
#include "core/text/progress_output.h"

namespace {

constexpr int kFreeBase = -1;
constexpr int kRootCheck = -2;
constexpr int kGrowthCells = 100;
constexpr int kPassReport = 100;

// The build tree in flat arrays; node 0 is the root. Children are kept in order of first
// appearance through firstChild/nextSibling; a hash table finds a child by character.
struct tTrieBuildNode {
  int32_t character = 0;
  int32_t childCount = 0;
  int32_t firstChild = -1;
  int32_t lastChild = -1;
  int32_t nextSibling = -1;
  int32_t cell = 0;
  int32_t word = -1;
};

class CBuildTree {
 public:
  // `expectedNodes` only sizes the first allocations.
  explicit CBuildTree(size_t expectedNodes) : m_nodes(1) {
    m_nodes.reserve(expectedNodes + 1);
    size_t slots = 1 << 16;
    while (slots < 2 * expectedNodes) slots *= 2;
    m_slots.assign(slots, tSlot{0, 0, kEmpty});
    m_mask = slots - 1;
  }

  const tTrieBuildNode& node(int32_t index) const { return m_nodes[static_cast<size_t>(index)]; }
  tTrieBuildNode& node(int32_t index) { return m_nodes[static_cast<size_t>(index)]; }

  // Child of `parent` for `character`, appended when absent.
  int32_t Child(int32_t parent, int32_t character) {
    size_t slot = Hash(parent, character) & m_mask;
    for (; m_slots[slot].node != kEmpty; slot = (slot + 1) & m_mask) {
      const tSlot& found = m_slots[slot];
      if (found.parent == parent && found.character == character) return found.node;
    }
    int32_t child = static_cast<int32_t>(m_nodes.size());
    m_nodes.emplace_back();
    m_nodes.back().character = character;
    tTrieBuildNode& owner = node(parent);
    if (owner.lastChild < 0) {
      owner.firstChild = child;
    } else {
      node(owner.lastChild).nextSibling = child;
    }
    owner.lastChild = child;
    ++owner.childCount;
    m_slots[slot] = tSlot{parent, character, child};
    if (m_nodes.size() * 2 > m_slots.size()) Rehash();
    return child;
  }

 private:
  static constexpr int32_t kEmpty = -1;
  // The key lives in the slot, so a probe reads one place.
  struct tSlot {
    int32_t parent;
    int32_t character;
    int32_t node;
  };
  static size_t Hash(int32_t parent, int32_t character) {
    uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(parent)) << 16) ^
                   static_cast<uint32_t>(character);
    key *= 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(key >> 24);
  }
  void Rehash() {
    std::vector<tSlot> slots(m_slots.size() * 2, tSlot{0, 0, kEmpty});
    size_t mask = slots.size() - 1;
    for (const tSlot& entry : m_slots) {
      if (entry.node == kEmpty) continue;
      size_t slot = Hash(entry.parent, entry.character) & mask;
      while (slots[slot].node != kEmpty) slot = (slot + 1) & mask;
      slots[slot] = entry;
    }
    m_slots.swap(slots);
    m_mask = mask;
  }

  std::vector<tTrieBuildNode> m_nodes;
  std::vector<tSlot> m_slots;
  size_t m_mask;
};

// Which cells are free, in two forms. Cells only ever become used during a build, so a
// "next free cell" forest (each used cell points past itself, lookups halve their paths)
// skips packed stretches, and a bitmap (1 = free) tests 64 consecutive cells at once.
// Cells beyond what was grown are free.
class CFreeCells {
 public:
  void Grow(size_t size) {
    for (size_t index = m_next.size(); index < size; ++index) {
      m_next.push_back(static_cast<int32_t>(index));
    }
    // Searches look up to a code's width past the last cell: those words read as free.
    m_bits.resize((size + kMaxReach) / 64 + 2, ~uint64_t{0});
  }
  // First free cell >= index.
  int64_t NextFree(int64_t index) {
    const int64_t size = static_cast<int64_t>(m_next.size());
    while (index < size && m_next[static_cast<size_t>(index)] != index) {
      int32_t next = m_next[static_cast<size_t>(index)];
      if (next < size) m_next[static_cast<size_t>(index)] = m_next[static_cast<size_t>(next)];
      index = next;
    }
    return index;
  }
  void Use(int32_t index) {
    m_next[static_cast<size_t>(index)] = index + 1;
    m_bits[static_cast<size_t>(index) >> 6] &= ~(uint64_t{1} << (index & 63));
  }
  // Bit j: whether cell position + j is free. Valid for positions below the grown size
  // plus kMaxReach - 64.
  uint64_t Window(int64_t position) const {
    size_t word = static_cast<size_t>(position >> 6);
    int shift = static_cast<int>(position & 63);
    uint64_t low = m_bits[word] >> shift;
    return shift == 0 ? low : low | (m_bits[word + 1] << (64 - shift));
  }
  // Bits [position, position + 256) as four windows.
  void Window4(int64_t position, uint64_t* windows) const {
    const uint64_t* words = m_bits.data() + (position >> 6);
    const int shift = static_cast<int>(position & 63);
    for (int index = 0; index < 4; ++index) {
      // (x << 1) << (63 - shift) is x << (64 - shift), and 0 for a shift of 0.
      windows[index] = (words[index] >> shift) | ((words[index + 1] << 1) << (63 - shift));
    }
  }
  static constexpr int64_t kMaxReach = CPDAT::kCodeTableSize + 512;

 private:
  std::vector<int32_t> m_next;
  std::vector<uint64_t> m_bits;
};

struct tPending {
  int32_t childCount;
  int64_t position;
  int32_t node;
};
struct tPendingOrder {
  bool operator()(const tPending& left, const tPending& right) const {
    if (left.childCount != right.childCount) return left.childCount < right.childCount;
    return left.position > right.position;
  }
};

// The placement of a finished build tree into cells.
class CPlacement {
 public:
  CPlacement(CBuildTree* tree, const std::vector<int32_t>& codes, std::vector<CPDAT::tCell>* cells,
             int32_t* capacity, int32_t* highestIndex, CProgressOutput* output)
      : m_tree(*tree),
        m_codes(codes),
        m_cells(*cells),
        m_capacity(*capacity),
        m_highestIndex(*highestIndex),
        m_output(*output) {
    m_cells.assign(static_cast<size_t>(m_capacity), CPDAT::tCell{kFreeBase, -1, -1});
    m_free.Grow(m_cells.size());
  }

  void Run() {
    std::priority_queue<tPending, std::vector<tPending>, tPendingOrder> pending;
    int64_t nextPosition = 0;
    for (int32_t child = m_tree.node(0).firstChild; child >= 0;
         child = m_tree.node(child).nextSibling) {
      tTrieBuildNode& node = m_tree.node(child);
      node.cell = Code(node);
      Occupy(node.cell, kRootCheck);
      if (node.childCount == 0) MarkLeaf(node);
      if (node.childCount > 0) pending.push({node.childCount, nextPosition, child});
      ++nextPosition;
    }
    for (int64_t pass = 1; !pending.empty(); ++pass) {
      tPending selected = pending.top();
      tTrieBuildNode& node = m_tree.node(selected.node);
      if (pass % kPassReport == 0) Report(pass, node, pending.size());
      pending.pop();
      if (node.cell > m_highestIndex) m_highestIndex = node.cell;
      int32_t base = FindBase(node);
      CPDAT::tCell& cell = m_cells[static_cast<size_t>(node.cell)];
      if (node.word >= 0) {
        cell.base = -base;
        cell.value = node.word;
      } else {
        cell.base = base;
      }
      bool first = true;
      for (int32_t child = node.firstChild; child >= 0; child = m_tree.node(child).nextSibling) {
        tTrieBuildNode& childNode = m_tree.node(child);
        childNode.cell = base + Code(childNode);
        Occupy(childNode.cell, node.cell);
        if (childNode.childCount == 0) MarkLeaf(childNode);
        int64_t position = first ? selected.position : nextPosition++;
        first = false;
        if (childNode.childCount > 0) pending.push({childNode.childCount, position, child});
      }
    }
  }

 private:
  int32_t Code(const tTrieBuildNode& node) const {
    return m_codes[static_cast<size_t>(node.character)];
  }

  void Reserve(int64_t index) {
    if (index < m_capacity) return;
    m_capacity = static_cast<int32_t>(index + kGrowthCells);
    m_cells.resize(static_cast<size_t>(m_capacity), CPDAT::tCell{kFreeBase, -1, -1});
    m_free.Grow(m_cells.size());
  }

  void Occupy(int32_t index, int32_t check) {
    Reserve(index);
    m_cells[static_cast<size_t>(index)].check = check;
    m_free.Use(index);
  }

  void MarkLeaf(const tTrieBuildNode& node) {
    CPDAT::tCell& cell = m_cells[static_cast<size_t>(node.cell)];
    cell.base = node.cell == 0 ? -1 : -node.cell;
    cell.value = node.word;
    if (node.cell > m_highestIndex) m_highestIndex = node.cell;
  }

  // Smallest b >= 1 at which every child's cell is free, b == the node's own cell skipped
  // for a word end. The search runs over h = b + lowest code; with two or more children,
  // every other child adds a distance d from the lowest code, and no h below the first
  // position where h and h + d are both free can work, which lets the search start there.
  int32_t FindBase(const tTrieBuildNode& node) {
    m_distances.clear();
    for (int32_t child = node.firstChild; child >= 0; child = m_tree.node(child).nextSibling) {
      m_distances.push_back(Code(m_tree.node(child)));
    }
    std::sort(m_distances.begin(), m_distances.end());
    const int32_t lowest = m_distances[0];
    // Any two children i < j (codes ci < cj) need a free pair at distance cj - ci, the
    // first of them at h + (ci - lowest): the first such pair bounds h from below. The
    // pairs with the lowest code and the neighbouring pairs are asked.
    int64_t start = int64_t{lowest} + 1;
    for (size_t index = 1; index < m_distances.size(); ++index) {
      int64_t first = FirstFreePair(m_distances[index] - lowest);
      if (first > start) start = first;
      if (index >= 2) {
        int64_t offset = m_distances[index - 1] - lowest;
        first = FirstFreePair(m_distances[index] - m_distances[index - 1]) - offset;
        if (first > start) start = first;
      }
    }
    for (int32_t& distance : m_distances) distance -= lowest;
    m_distances.erase(m_distances.begin());
    const bool skipOwnCell = node.word >= 0;
    // 256 candidates at a time: few branches, and the loads of one block overlap; a block
    // where the lowest child finds no free cell moves on to the next free cell. Past the
    // last cell every window is all free, so positions stay within the bitmap's reach.
    int64_t position = m_free.NextFree(start);
    for (;;) {
      uint64_t fits[4];
      m_free.Window4(position, fits);
      if ((fits[0] | fits[1] | fits[2] | fits[3]) == 0) {
        position = m_free.NextFree(position + 256);
        continue;
      }
      for (size_t index = 0; index < m_distances.size(); ++index) {
        uint64_t windows[4];
        m_free.Window4(position + m_distances[index], windows);
        fits[0] &= windows[0];
        fits[1] &= windows[1];
        fits[2] &= windows[2];
        fits[3] &= windows[3];
        if ((fits[0] | fits[1] | fits[2] | fits[3]) == 0) {
          // The child that ruled out this block is likely to rule out the next: ask it first.
          std::swap(m_distances[0], m_distances[index]);
          break;
        }
      }
      for (int index = 0; index < 4; ++index) {
        while (fits[index] != 0) {
          int64_t base = position + 64 * index + __builtin_ctzll(fits[index]) - lowest;
          fits[index] &= fits[index] - 1;
          if (!(skipOwnCell && base == node.cell)) return static_cast<int32_t>(base);
        }
      }
      position += 256;
    }
  }

  // First cell h with h and h + distance both free. Cells are only ever taken, so the
  // answer never moves back and each distance resumes where its last search ended.
  int64_t FirstFreePair(int32_t distance) {
    if (static_cast<size_t>(distance) >= m_firstPair.size()) {
      m_firstPair.resize(static_cast<size_t>(distance) + 1, 0);
    }
    int64_t position = m_free.NextFree(m_firstPair[static_cast<size_t>(distance)]);
    for (;;) {
      uint64_t first = m_free.Window(position);
      if (first == 0) {
        position = m_free.NextFree(position + 64);
        continue;
      }
      uint64_t second = m_free.Window(position + distance);
      if (second == 0) {
        int64_t bound = m_free.NextFree(position + distance + 64) - distance;
        position = bound > position + 64 ? bound : position + 64;
        continue;
      }
      if ((first & second) != 0) {
        position += __builtin_ctzll(first & second);
        break;
      }
      position += 64;
    }
    m_firstPair[static_cast<size_t>(distance)] = position;
    return position;
  }

  void Report(int64_t pass, const tTrieBuildNode& node, size_t listLength) {
    m_output.Text("Line ");
    m_output.Number(pass);
    m_output.Text(":Selected Node=");
    m_output.Byte(static_cast<char>((node.character >> 8) & 0xFF));
    m_output.Byte(static_cast<char>(node.character & 0xFF));
    m_output.Text(",Count=\t");
    m_output.Number(static_cast<int64_t>(listLength));
    m_output.Text(",Selected Children Count=\t");
    m_output.Number(node.childCount);
    m_output.Byte('\n');
  }

  CBuildTree& m_tree;
  const std::vector<int32_t>& m_codes;
  std::vector<CPDAT::tCell>& m_cells;
  int32_t& m_capacity;
  int32_t& m_highestIndex;
  CProgressOutput& m_output;
  CFreeCells m_free;
  std::vector<int32_t> m_distances;
  std::vector<int64_t> m_firstPair;  // by distance: see FirstFreePair
};

// Codes by descending frequency, ties to the smaller character value; -1 for the rest.
void AssignCodes(const std::vector<int32_t>& frequency, std::vector<int32_t>* codes) {
  std::vector<int32_t> characters;
  for (int32_t value = 0; value < CPDAT::kCodeTableSize; ++value) {
    if (frequency[static_cast<size_t>(value)] > 0) characters.push_back(value);
  }
  std::stable_sort(characters.begin(), characters.end(), [&](int32_t left, int32_t right) {
    return frequency[static_cast<size_t>(left)] > frequency[static_cast<size_t>(right)];
  });
  codes->assign(CPDAT::kCodeTableSize, -1);
  for (size_t code = 0; code < characters.size(); ++code) {
    (*codes)[static_cast<size_t>(characters[code])] = static_cast<int32_t>(code);
  }
}

}  // namespace

int CPDAT::BuildFromText(const char* path, const CPDAT* exclusion) {
  if (path == nullptr) return 0;
  FilePtr file = OpenFile(path, "rt");
  if (!file) return 0;

  CProgressOutput output;
  CDictionaryReader reader(file.get(), kDictionaryPieceSize);
  // A dictionary of two-byte words with a frequency column has about a node per six bytes
  // of text; sizing for one per eight keeps memory low and costs at most one regrowth.
  CBuildTree tree(reader.GetTextSize() / 8);
  std::vector<int32_t> frequency(kCodeTableSize, 0);
  int32_t wordCount = 0;
  // Dictionaries are mostly sorted, so a word usually shares its first characters with the
  // one before it: the nodes of the previous word's path are kept.
  struct tPathStep {
    int32_t character;
    int32_t node;
  };
  std::vector<tPathStep> previous;
  const char* word = nullptr;
  int length = 0;
  while (reader.NextWord(&word, &length)) {
    if (exclusion != nullptr && exclusion->LookupWord(word, length) >= 0) continue;
    const auto* bytes = reinterpret_cast<const unsigned char*>(word);
    int32_t node = 0;
    size_t depth = 0;
    bool onPath = true;  // still on the previous word's path: its nodes need no search
    for (int position = 0; position < length; ++depth) {
      int width = 1;
      int value = pdat_chars::CharAt(bytes, position, length, &width);
      position += width;
      // A saturating count: a character repeated over 2^31 times keeps the top rank.
      if (frequency[static_cast<size_t>(value)] < INT32_MAX)
        ++frequency[static_cast<size_t>(value)];
      onPath = onPath && depth < previous.size() && previous[depth].character == value;
      if (onPath) {
        node = previous[depth].node;
        continue;
      }
      node = tree.Child(node, value);
      if (depth < previous.size()) {
        previous[depth] = {value, node};
      } else {
        previous.push_back({value, node});
      }
    }
    previous.resize(depth);
    tree.node(node).word = wordCount;
    ++wordCount;
    output.Number(wordCount);
    output.Byte('\t');
    output.Bytes(word, static_cast<size_t>(length));
    output.Text(" Completed!\n");
    if (!NormalisedTextCanHold(word, length)) {
      output.Flush();
      std::fprintf(stderr, "Warning: word %d \"%s\" never matches normalised text\n", wordCount - 1,
                   std::string(word, static_cast<size_t>(length)).c_str());
    }
  }
  file.reset();

  m_cells.clear();
  m_capacity = static_cast<int32_t>(wordCount * 1.5);
  m_highestIndex = 0;
  m_wordCount = wordCount;
  AssignCodes(frequency, &m_codes);
  CPlacement placement(&tree, m_codes, &m_cells, &m_capacity, &m_highestIndex, &output);
  placement.Run();
  return wordCount;
}
