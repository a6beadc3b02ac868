#include "testing/reference_trie.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/text/pdat.h"
#include "core/util/byte_io.h"

namespace {

struct tNode {
  int character = 0;
  std::vector<std::unique_ptr<tNode>> children;
  int cell = 0;
  int parent = -1;
  int word = -1;
};

struct tCellModel {
  int base = -1;
  int check = -1;
  int value = -1;
};

// Calls visit(word) for each line's word, exactly as fgets + sscanf("%s") read them.
template <typename Visit>
void ForEachLineWord(const char* path, const CPDAT* exclusion, Visit visit) {
  std::FILE* file = std::fopen(path, "rt");
  if (file == nullptr) return;
  char line[3072];
  char word[3072];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::sscanf(line, "%s", word) != 1) continue;
    if (exclusion != nullptr && exclusion->LookupString(word) != -1) continue;
    visit(std::string(word));
  }
  std::fclose(file);
}

std::vector<int> Characters(const std::string& word) {
  std::vector<int> characters;
  const auto* bytes = reinterpret_cast<const unsigned char*>(word.data());
  for (size_t index = 0; index < word.size();) {
    if (bytes[index] >= 0x80 && index + 1 < word.size()) {
      characters.push_back(bytes[index] * 256 + bytes[index + 1]);
      index += 2;
    } else {
      characters.push_back(bytes[index]);
      index += 1;
    }
  }
  return characters;
}

class CLiteralBuilder {
 public:
  tReferenceTrie Build(const char* path, const CPDAT* exclusion) {
    std::vector<int> frequency(65536, 0);
    int lowest = 65536;
    int highest = 0;
    tNode root;
    int wordCount = 0;
    bool opened = false;
    if (std::FILE* probe = std::fopen(path, "rt")) {
      opened = true;
      std::fclose(probe);
    }
    ForEachLineWord(path, exclusion, [&](const std::string& word) {
      tNode* node = &root;
      std::vector<int> characters = Characters(word);
      for (size_t index = 0; index < characters.size(); ++index) {
        int character = characters[index];
        ++frequency[static_cast<size_t>(character)];
        if (character < lowest) lowest = character;
        if (character > highest) highest = character;
        tNode* child = nullptr;
        for (auto& candidate : node->children) {
          if (candidate->character == character) child = candidate.get();
        }
        if (child == nullptr) {
          node->children.push_back(std::make_unique<tNode>());
          child = node->children.back().get();
          child->character = character;
        }
        if (index + 1 == characters.size()) child->word = wordCount;
        node = child;
      }
      ++wordCount;
      char text[4096];
      std::snprintf(text, sizeof text, "%d\t%s Completed!\n", wordCount, word.c_str());
      m_result.progress += text;
    });
    m_result.wordCount = wordCount;
    if (!opened) return m_result;

    m_capacity = static_cast<int>(wordCount * 1.5);
    m_cells.assign(static_cast<size_t>(m_capacity), tCellModel());
    m_highest = 0;

    m_codes.assign(65536, -1);
    for (int code = 0;; ++code) {
      int best = -1;
      for (int value = lowest; value <= highest; ++value) {
        if (frequency[static_cast<size_t>(value)] > 0 &&
            (best < 0 ||
             frequency[static_cast<size_t>(value)] > frequency[static_cast<size_t>(best)])) {
          best = value;
        }
      }
      if (best < 0) break;
      m_codes[static_cast<size_t>(best)] = code;
      frequency[static_cast<size_t>(best)] = 0;
    }

    for (auto& child : root.children) {
      child->cell = Code(*child);
      Grow(child->cell);
      Cell(child->cell).check = -2;
      if (child->children.empty()) Leaf(*child);
    }
    std::vector<tNode*> pending;
    for (auto& child : root.children) pending.push_back(child.get());
    for (int pass = 1;; ++pass) {
      std::vector<tNode*> kept;
      for (tNode* node : pending) {
        if (!node->children.empty()) kept.push_back(node);
      }
      pending.swap(kept);
      if (pending.empty()) break;
      size_t selected = 0;
      for (size_t index = 1; index < pending.size(); ++index) {
        if (pending[index]->children.size() > pending[selected]->children.size()) selected = index;
      }
      tNode* node = pending[selected];
      if (pass % 100 == 0) {
        char text[256];
        int length = std::snprintf(
            text, sizeof text,
            "Line %d:Selected Node=%c%c,Count=\t%d,Selected Children Count=\t%d\n", pass,
            (node->character >> 8) & 0xFF, node->character & 0xFF, static_cast<int>(pending.size()),
            static_cast<int>(node->children.size()));
        m_result.progress.append(text, static_cast<size_t>(length));
      }
      if (node->cell > m_highest) m_highest = node->cell;
      int base = 1;
      for (;; ++base) {
        bool skip = node->word >= 0 && base == node->cell;
        bool fits = true;
        for (auto& child : node->children) {
          int index = base + Code(*child);
          Grow(index);
          if (Cell(index).base != -1 || Cell(index).check != -1) {
            fits = false;
            break;
          }
        }
        if (fits && skip) ++m_result.skippedOwnCells;
        if (fits && !skip) break;
      }
      if (node->word >= 0) {
        Cell(node->cell).base = -base;
        Cell(node->cell).value = node->word;
      } else {
        Cell(node->cell).base = base;
      }
      for (auto& child : node->children) {
        child->cell = base + Code(*child);
        child->parent = node->cell;
        Grow(child->cell);
        Cell(child->cell).check = node->cell;
        if (child->children.empty()) Leaf(*child);
      }
      pending[selected] = node->children[0].get();
      for (size_t index = 1; index < node->children.size(); ++index) {
        pending.push_back(node->children[index].get());
      }
    }

    for (int code : m_codes) PutI32(&m_result.image, code);
    PutI32(&m_result.image, m_highest);
    PutI32(&m_result.image, wordCount);
    for (int index = 0; index <= m_highest; ++index) {
      tCellModel cell = static_cast<size_t>(index) < m_cells.size()
                            ? m_cells[static_cast<size_t>(index)]
                            : tCellModel();
      PutI32(&m_result.image, cell.base);
      PutI32(&m_result.image, cell.check);
      PutI32(&m_result.image, cell.value);
    }
    m_result.capacity = m_capacity;
    return m_result;
  }

 private:
  int Code(const tNode& node) const { return m_codes[static_cast<size_t>(node.character)]; }
  tCellModel& Cell(int index) { return m_cells[static_cast<size_t>(index)]; }
  void Grow(int index) {
    if (index < m_capacity) return;
    m_capacity = index + 100;
    m_cells.resize(static_cast<size_t>(m_capacity));
  }
  // A leaf's base is minus its own index; cell 0 takes -1 so that it still reads as a word.
  void Leaf(const tNode& node) {
    Cell(node.cell).base = node.cell == 0 ? -1 : -node.cell;
    Cell(node.cell).value = node.word;
    if (node.cell > m_highest) m_highest = node.cell;
  }

  tReferenceTrie m_result;
  std::vector<int> m_codes;
  std::vector<tCellModel> m_cells;
  int m_capacity = 0;
  int m_highest = 0;
};

}  // namespace

tReferenceTrie ReferenceBuildTrie(const char* path, const CPDAT* exclusion) {
  return CLiteralBuilder().Build(path, exclusion);
}

std::map<std::string, int> ReferenceDictionary(const char* path, const CPDAT* exclusion,
                                               int* wordCount) {
  std::map<std::string, int> words;
  int count = 0;
  ForEachLineWord(path, exclusion, [&](const std::string& word) { words[word] = count++; });
  if (wordCount != nullptr) *wordCount = count;
  return words;
}
