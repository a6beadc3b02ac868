// CPDAT::BuildFromText: dictionary text -> double array.
//
// The placement is fixed, so one dictionary always gives the same trie file: codes by
// character frequency, the root's children at their codes, then pass after pass the pending
// node with the most children (ties: earliest in the pending list) gets the smallest base
// b >= 1 at which all its children's cells are free (a word end skips b == its own cell).
// These keep it fast without changing a single cell:
//  - the pending list is a priority queue ordered by (children descending, list position
//    ascending): a node's first child inherits the node's list position, its other children
//    take new, increasing positions at the end, and childless nodes, which the list drops
//    before every selection, are never queued;
//  - the base search never tries bases one by one: cells are never freed during a build,
//    so a "next free cell" forest skips packed stretches, a bitmap of free cells
//    (CFreeCells) tests 256 candidate bases per child with one load and AND per 64 (or 256)
//    candidates, and the first free pair of cells at each distance between child codes
//    (remembered per distance, since it only moves forward) tells where a search may start;
//  - the tree is built along the previous word's path, whose nodes' children are kept in
//    small per-level tables (CPathChildren), so a sorted dictionary never searches the
//    whole tree; an unsorted one soon switches to a hash of all nodes. The pending list is
//    a heap of single 64-bit keys, and the large arrays ask for huge pages.
// A leaf in cell 0 would get base -0 = 0 and read as "no word ends here"; it gets -1
// instead, which reads as a word end whose children (at base 1 with check 0) never exist,
// so lookups and Segment treat it as a word that nothing continues.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <queue>
#include <string>
#include <vector>

#include "core/text/dictionary_reader.h"
#include "core/text/gbk_chars.h"
#include "core/text/pdat.h"
#include "core/text/pdat_free_cells.h"
#include "core/util/file_util.h"
#include "core/util/large_block.h"
#include "core/util/progress_output.h"

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
  // `expectedNodes` only sizes the first allocation.
  explicit CBuildTree(size_t expectedNodes) : m_nodes(1) {
    m_nodes.reserve(expectedNodes + 1);
    AdviseHugePages(m_nodes.data(), m_nodes.capacity() * sizeof(tTrieBuildNode));
  }

  size_t size() const { return m_nodes.size(); }
  const tTrieBuildNode& node(int32_t index) const { return m_nodes[static_cast<size_t>(index)]; }
  tTrieBuildNode& node(int32_t index) { return m_nodes[static_cast<size_t>(index)]; }

  // Appends a child to `parent`, which must have none for `character`.
  int32_t AddChild(int32_t parent, int32_t character) {
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
    if (!m_slots.empty()) {
      size_t slot = Hash(parent, character) & m_mask;
      while (m_slots[slot].node != kEmpty) slot = (slot + 1) & m_mask;
      m_slots[slot] = tSlot{parent, character, child};
      if (m_nodes.size() * 2 > m_slots.size()) Rehash(m_slots.size() * 2);
    }
    return child;
  }

  // From now on keeps every node in a hash table by (parent, character), for Child.
  void BuildIndex() { Rehash(size_t{1} << 16); }
  bool Indexed() const { return !m_slots.empty(); }

  // Child of `parent` for `character`, appended when absent. Needs BuildIndex.
  int32_t Child(int32_t parent, int32_t character) {
    if (node(parent).childCount == 0) return AddChild(parent, character);
    for (size_t slot = Hash(parent, character) & m_mask; m_slots[slot].node != kEmpty;
         slot = (slot + 1) & m_mask) {
      const tSlot& found = m_slots[slot];
      if (found.parent == parent && found.character == character) return found.node;
    }
    return AddChild(parent, character);
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
  // Refills the table with every node, at least `minimum` slots and at most half full.
  void Rehash(size_t minimum) {
    size_t size = minimum;
    while (size < 2 * m_nodes.size()) size *= 2;
    m_slots.assign(size, tSlot{0, 0, kEmpty});
    m_mask = size - 1;
    for (size_t parent = 0; parent < m_nodes.size(); ++parent) {
      for (int32_t child = m_nodes[parent].firstChild; child >= 0;
           child = node(child).nextSibling) {
        int32_t character = node(child).character;
        size_t slot = Hash(static_cast<int32_t>(parent), character) & m_mask;
        while (m_slots[slot].node != kEmpty) slot = (slot + 1) & m_mask;
        m_slots[slot] = tSlot{static_cast<int32_t>(parent), character, child};
      }
    }
  }

  std::vector<tTrieBuildNode> m_nodes;
  std::vector<tSlot> m_slots;  // empty until BuildIndex
  size_t m_mask = 0;
};

// The children of the nodes on the current insertion path, by character: level d holds
// those of the path's node at depth d (level 0: the root's). One small open-addressing
// table per level, emptied through the list of the slots it used. With dictionaries in
// sorted order a word only ever needs the levels of the path it shares with the word
// before it, and this replaces a search among all the tree's nodes.
class CPathChildren {
 public:
  // The node for `character` among level `level`'s children, or -1.
  int32_t Find(size_t level, int32_t character) const {
    if (level >= m_levels.size() || m_levels[level].slots.empty()) return -1;
    const tLevel& table = m_levels[level];
    for (size_t slot = Slot(table, character); table.slots[slot].node >= 0;
         slot = (slot + 1) & table.mask) {
      if (table.slots[slot].character == character) return table.slots[slot].node;
    }
    return -1;
  }
  // Adds a child that the level does not hold yet.
  void Add(size_t level, int32_t character, int32_t node) {
    if (level >= m_levels.size()) m_levels.resize(level + 1);
    tLevel& table = m_levels[level];
    if (2 * (table.used.size() + 1) > table.slots.size()) Enlarge(&table);
    size_t slot = Slot(table, character);
    while (table.slots[slot].node >= 0) slot = (slot + 1) & table.mask;
    table.slots[slot] = tEntry{character, node};
    table.used.push_back(static_cast<uint32_t>(slot));
  }
  void Clear(size_t level) {
    if (level >= m_levels.size()) return;
    tLevel& table = m_levels[level];
    for (uint32_t slot : table.used) table.slots[slot].node = -1;
    table.used.clear();
  }

 private:
  struct tEntry {
    int32_t character;
    int32_t node;  // -1: empty slot
  };
  struct tLevel {
    std::vector<tEntry> slots;
    std::vector<uint32_t> used;
    size_t mask = 0;
    int shift = 32;
  };
  // Multiplicative hashing: the top bits of character * 2^32 / golden ratio. Needs slots.
  static size_t Slot(const tLevel& table, int32_t character) {
    return static_cast<size_t>((static_cast<uint32_t>(character) * 2654435761u) >> table.shift);
  }
  static void Enlarge(tLevel* table) {
    size_t size = table->slots.empty() ? 16 : 2 * table->slots.size();
    std::vector<tEntry> old;
    old.reserve(table->used.size());
    for (uint32_t slot : table->used) old.push_back(table->slots[slot]);
    table->slots.assign(size, tEntry{0, -1});
    table->mask = size - 1;
    table->shift = 32;
    for (size_t bits = size; bits > 1; bits >>= 1) --table->shift;
    table->used.clear();
    for (const tEntry& entry : old) {
      size_t slot = Slot(*table, entry.character);
      while (table->slots[slot].node >= 0) slot = (slot + 1) & table->mask;
      table->slots[slot] = entry;
      table->used.push_back(static_cast<uint32_t>(slot));
    }
  }

  std::vector<tLevel> m_levels;
};

// The pending list, ordered by (children descending, list position ascending). Every
// pending node has a list position of its own, so an entry is one 64-bit key, (children
// complemented, position), and the node is found from the position: a heap of small keys
// that compare as integers.
class CPendingList {
 public:
  explicit CPendingList(size_t positions) : m_nodes(positions, -1) {}
  void Push(int32_t childCount, int32_t position, int32_t node) {
    m_nodes[static_cast<size_t>(position)] = node;
    m_heap.push(static_cast<uint64_t>(INT32_MAX - childCount) << 32 |
                static_cast<uint32_t>(position));
  }
  bool Empty() const { return m_heap.empty(); }
  size_t Size() const { return m_heap.size(); }
  int32_t TopPosition() const { return static_cast<int32_t>(m_heap.top() & 0xFFFFFFFFu); }
  int32_t TopNode() const { return m_nodes[static_cast<size_t>(TopPosition())]; }
  void Pop() { m_heap.pop(); }

 private:
  std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> m_heap;
  std::vector<int32_t> m_nodes;  // by list position
};

// The placement of a finished build tree into cells.
class CPlacement {
 public:
  CPlacement(CBuildTree* tree, const std::vector<int32_t>& codes, std::vector<CPDAT::tCell>* cells,
             int32_t capacity, int32_t* highestIndex, CProgressOutput* output)
      : m_tree(*tree),
        m_codes(codes),
        m_cells(*cells),
        m_capacity(capacity),
        m_highestIndex(*highestIndex),
        m_output(*output) {
    // The cells usually grow past the first allocation; room reserved up front is only
    // address space until used and saves copying the cells when they do.
    m_cells.reserve(static_cast<size_t>(m_capacity) * 2 + CPDAT::kCodeTableSize);
    AdviseHugePages(m_cells.data(), m_cells.capacity() * sizeof(CPDAT::tCell));
    m_cells.assign(static_cast<size_t>(m_capacity), CPDAT::tCell{kFreeBase, -1, -1});
    m_free.Grow(m_cells.size());
  }

  void Run() {
    // A list position is taken by at most one node.
    CPendingList pending(m_tree.size());
    int32_t nextPosition = 0;
    for (int32_t child = m_tree.node(0).firstChild; child >= 0;
         child = m_tree.node(child).nextSibling) {
      tTrieBuildNode& node = m_tree.node(child);
      node.cell = Code(node);
      Occupy(node.cell, kRootCheck);
      if (node.childCount == 0) MarkLeaf(node);
      if (node.childCount > 0) pending.Push(node.childCount, nextPosition, child);
      ++nextPosition;
    }
    for (int64_t pass = 1; !pending.Empty(); ++pass) {
      const int32_t selectedPosition = pending.TopPosition();
      tTrieBuildNode& node = m_tree.node(pending.TopNode());
      if (pass % kPassReport == 0) Report(pass, node, pending.Size());
      pending.Pop();
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
        int32_t position = first ? selectedPosition : nextPosition++;
        first = false;
        if (childNode.childCount > 0) pending.Push(childNode.childCount, position, child);
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
    // Blocks of 256 candidates (see CFreeCells::FindBlock), starting at multiples of 8 so
    // that each child reads a fixed row of the bitmap; candidates below the first free cell
    // >= `start` are masked off in the first block. The skipped own cell can only reject
    // one candidate, after which the search goes on with the next block. (Asking first the
    // child that ruled out the last block measured slower: the work is the AND itself.)
    int64_t position = m_free.NextFree(start);
    uint64_t firstMask = ~uint64_t{0} << (position & 7);
    position &= ~int64_t{7};
    m_rows.clear();
    for (int32_t distance : m_distances) m_rows.push_back(m_free.Row(distance));
    for (;;) {
      uint64_t fits[4];
      position =
          m_free.FindBlock(m_free.Row(0), m_rows.data(), m_rows.size(), position, firstMask, fits);
      for (int index = 0; index < 4; ++index) {
        uint64_t bits = fits[index];
        while (bits != 0) {
          int64_t base = position + 64 * index + __builtin_ctzll(bits) - lowest;
          bits &= bits - 1;
          if (!(skipOwnCell && base == node.cell)) return static_cast<int32_t>(base);
        }
      }
      position += 256;
      firstMask = ~uint64_t{0};
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
  int32_t m_capacity;  // cells allocated; grows by the rule of Reserve
  int32_t& m_highestIndex;
  CProgressOutput& m_output;
  CFreeCells m_free;
  std::vector<int32_t> m_distances;
  std::vector<const uint8_t*> m_rows;
  std::vector<int64_t> m_firstPair;  // by distance: see FirstFreePair
};

// The "%d\t%s Completed!\n" lines of the accepted words, formatted into a local buffer
// and handed to the progress output in large pieces.
class CWordLines {
 public:
  explicit CWordLines(CProgressOutput* output) : m_output(*output) {}
  ~CWordLines() { Flush(); }
  CWordLines(const CWordLines&) = delete;
  CWordLines& operator=(const CWordLines&) = delete;

  void Add(int32_t number, const char* word, int length) {
    static const char kTail[] = " Completed!\n";
    const size_t needed = 12 + static_cast<size_t>(length) + sizeof kTail;
    if (m_used + needed > sizeof m_buffer) Flush();
    if (needed > sizeof m_buffer) {  // a word longer than the buffer, whole
      m_output.Number(number);
      m_output.Byte('\t');
      m_output.Bytes(word, static_cast<size_t>(length));
      m_output.Text(kTail);
      return;
    }
    char digits[12];
    char* first = digits + sizeof digits;
    uint32_t value = static_cast<uint32_t>(number);  // word counts are never negative
    do {
      *--first = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    char* out = m_buffer + m_used;
    const size_t digitCount = static_cast<size_t>(digits + sizeof digits - first);
    std::memcpy(out, first, digitCount);
    out += digitCount;
    *out++ = '\t';
    std::memcpy(out, word, static_cast<size_t>(length));
    out += length;
    std::memcpy(out, kTail, sizeof kTail - 1);
    out += sizeof kTail - 1;
    m_used = static_cast<size_t>(out - m_buffer);
  }
  void Flush() {
    if (m_used > 0) m_output.Bytes(m_buffer, m_used);
    m_used = 0;
  }

 private:
  CProgressOutput& m_output;
  char m_buffer[1 << 16];
  size_t m_used = 0;
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
  CWordLines lines(&output);
  CDictionaryReader reader(file.get(), kDictionaryPieceSize);
  // A dictionary of two-byte words with a frequency column has about a node per six bytes
  // of text; sizing for one per eight keeps memory low and costs at most one regrowth.
  CBuildTree tree(reader.GetTextSize() / 8);
  std::vector<int32_t> frequency(kCodeTableSize, 0);
  int32_t wordCount = 0;
  // Dictionaries are mostly sorted, so a word usually shares its first characters with the
  // one before it: the nodes of the previous word's path are kept, with their children.
  struct tPathStep {
    int32_t character;
    int32_t node;
  };
  std::vector<tPathStep> wordPath;
  std::vector<int32_t> characters;
  CPathChildren pathChildren;
  // Nodes that a word reaches off the previous word's path have their children listed
  // again; past a budget of such work (an unsorted dictionary) the tree indexes all its
  // nodes instead.
  size_t relistedChildren = 0;
  const char* word = nullptr;
  int length = 0;
  while (reader.NextWord(&word, &length)) {
    if (exclusion != nullptr && exclusion->LookupWord(word, length) >= 0) continue;
    const auto* bytes = reinterpret_cast<const unsigned char*>(word);
    characters.clear();
    const size_t size = static_cast<size_t>(length);
    for (size_t position = 0; position < size;) {
      int width = 1;
      int value = gbk::CharAt(bytes, position, size, &width);
      position += static_cast<size_t>(width);
      // A saturating count: a character repeated over 2^31 times keeps the top rank.
      if (frequency[static_cast<size_t>(value)] < INT32_MAX)
        ++frequency[static_cast<size_t>(value)];
      characters.push_back(value);
    }
    size_t common = 0;
    while (common < characters.size() && common < wordPath.size() &&
           wordPath[common].character == characters[common]) {
      ++common;
    }
    if (!tree.Indexed()) {
      for (size_t level = common + 1; level <= wordPath.size(); ++level) pathChildren.Clear(level);
    }
    wordPath.resize(common);
    int32_t node = common == 0 ? 0 : wordPath[common - 1].node;
    for (size_t depth = common; depth < characters.size(); ++depth) {
      const int32_t value = characters[depth];
      int32_t child;
      if (tree.Indexed()) {
        child = tree.Child(node, value);
      } else {
        child = pathChildren.Find(depth, value);
        if (child < 0) {
          child = tree.AddChild(node, value);
          pathChildren.Add(depth, value, child);
        } else {
          // A node left by an earlier word: its children become the next level.
          for (int32_t next = tree.node(child).firstChild; next >= 0;
               next = tree.node(next).nextSibling) {
            pathChildren.Add(depth + 1, tree.node(next).character, next);
            ++relistedChildren;
          }
        }
      }
      wordPath.push_back({value, child});
      node = child;
    }
    if (!tree.Indexed() && relistedChildren > tree.size() + 1024) tree.BuildIndex();
    tree.node(node).word = wordCount;
    ++wordCount;
    lines.Add(wordCount, word, length);
    const gbk::WordReach reach = gbk::ReachInNormalizedText(word, length);
    if (reach != gbk::WordReach::kAnyText) {
      lines.Flush();
      output.Flush();
      std::fprintf(stderr, "Warning: word %d \"%s\" %s\n", wordCount - 1,
                   std::string(word, static_cast<size_t>(length)).c_str(),
                   reach == gbk::WordReach::kNever
                       ? "never matches normalised text"
                       : "matches only text that writes its capitals full-width");
    }
  }
  file.reset();
  lines.Flush();

  m_cells.clear();
  m_highestIndex = 0;
  m_wordCount = wordCount;
  AssignCodes(frequency, &m_codes);
  const int32_t firstCapacity = static_cast<int32_t>(wordCount * 1.5);
  CPlacement placement(&tree, m_codes, &m_cells, firstCapacity, &m_highestIndex, &output);
  placement.Run();
  return wordCount;
}
