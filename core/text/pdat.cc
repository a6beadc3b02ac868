// CPDAT: construction, lookups and the trie file. The build is in pdat_build.cc, the
// segmenter in pdat_segment.cc.
#include "core/text/pdat.h"

#include <algorithm>
#include <string>

#include "core/text/gbk_chars.h"
#include "core/util/byte_io.h"
#include "core/util/file_util.h"

namespace {

constexpr int64_t kCodeTableBytes = 4 * static_cast<int64_t>(CPDAT::kCodeTableSize);
constexpr int64_t kHeaderBytes = kCodeTableBytes + 8;
constexpr int64_t kCellBytes = 12;

int64_t Magnitude(int32_t base) { return base < 0 ? -static_cast<int64_t>(base) : base; }

}  // namespace

CPDAT::CPDAT() : m_codes(kCodeTableSize, -1) {}

CPDAT::~CPDAT() = default;

int CPDAT::GetMaxIndex() const { return m_highestIndex; }

int CPDAT::GetWordCount() const { return m_wordCount; }

int64_t CPDAT::Transition(int64_t base, int32_t code, int32_t expectedCheck) const {
  if (code < 0) return -1;  // -1 marks a character in no word; others only come from damage
  int64_t cell = base + code;
  if (cell > m_highestIndex || cell >= static_cast<int64_t>(m_cells.size())) return -1;
  if (m_cells[static_cast<size_t>(cell)].check != expectedCheck) return -1;
  return cell;
}

int CPDAT::LookupWord(const char* key, int length) const {
  if (key == nullptr || length <= 0) return -1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(key);
  const size_t size = static_cast<size_t>(length);
  int64_t base = 0;
  int32_t check = -2;
  int64_t cell = -1;
  for (size_t position = 0; position < size;) {
    int width = 1;
    int value = gbk::CharAt(bytes, position, size, &width);
    position += static_cast<size_t>(width);
    cell = Transition(base, m_codes[static_cast<size_t>(value)], check);
    if (cell < 0) return -1;
    base = Magnitude(m_cells[static_cast<size_t>(cell)].base);
    check = static_cast<int32_t>(cell);
  }
  const tCell& last = m_cells[static_cast<size_t>(cell)];
  return last.base < 0 ? last.value : -1;
}

int CPDAT::LookupString(const char* key) const {
  if (key == nullptr) return -1;
  size_t length = std::char_traits<char>::length(key);
  if (length > 0x7FFFFFFF) return -1;
  return LookupWord(key, static_cast<int>(length));
}

bool CPDAT::Save(const char* path) const {
  if (path == nullptr) return false;
  // Load takes a word count only when the file holds at least as many cells, so that no
  // table sized by the count can outgrow what the file's size backs. Repeated dictionary
  // lines can number words past the highest cell in use; the file then gets free cells up
  // to index count - 1.
  const int32_t savedHighest = std::max(m_highestIndex, m_wordCount - 1);
  std::string image;
  image.reserve(static_cast<size_t>(kHeaderBytes + kCellBytes * (int64_t{savedHighest} + 1)));
  PutBytes(&image, m_codes.data(), m_codes.size() * sizeof(int32_t));
  PutI32(&image, savedHighest);
  PutI32(&image, m_wordCount);
  for (int64_t index = 0; index <= savedHighest; ++index) {
    // A trie that was never built has no cells; its one saved cell is free, and so are the
    // cells past the highest one in use.
    tCell cell = index <= m_highestIndex && static_cast<size_t>(index) < m_cells.size()
                     ? m_cells[static_cast<size_t>(index)]
                     : tCell{-1, -1, -1};
    PutI32(&image, cell.base);
    PutI32(&image, cell.check);
    PutI32(&image, cell.value);
  }
  CPendingFile file(path);
  return file.Open() && file.Write(image.data(), image.size()) && file.Finish() && file.Commit();
}

bool CPDAT::Load(const char* path) {
  if (path == nullptr) return false;
  std::string contents;
  int size = ReadWholeFile(path, &contents);
  if (size < kHeaderBytes + kCellBytes) return false;
  CByteReader reader(contents.data(), contents.size());
  std::vector<int32_t> codes(kCodeTableSize);
  int32_t highestIndex = 0;
  int32_t wordCount = 0;
  if (!reader.ReadI32Array(codes.data(), codes.size()) || !reader.ReadI32(&highestIndex) ||
      !reader.ReadI32(&wordCount)) {
    return false;
  }
  if (highestIndex < 0 || size != kHeaderBytes + kCellBytes * (int64_t{highestIndex} + 1)) {
    return false;
  }
  std::vector<tCell> cells(static_cast<size_t>(highestIndex) + 1);
  int64_t highestValue = -1;
  for (tCell& cell : cells) {
    if (!reader.ReadI32(&cell.base) || !reader.ReadI32(&cell.check) ||
        !reader.ReadI32(&cell.value)) {
      return false;
    }
    if (cell.value < -1) return false;
    if (cell.value >= 0 && cell.check == -1) return false;  // a free cell carries no word
    if (cell.value > highestValue) highestValue = cell.value;
  }
  // The last accepted word always keeps its number, so the count is the highest number + 1.
  // Every number must also have a cell (Save writes free cells up to count - 1), so the term
  // tables that indexes and word lists size by the count stay within what the file backs.
  if (int64_t{wordCount} != highestValue + 1 || wordCount > highestIndex + int64_t{1}) {
    return false;
  }
  // A leaf in cell 0 written as minus its own index is base 0, which reads as "no word ends
  // here". No other root child can hold base 0 with a word number (bases are 1 or more), so
  // such a cell is read as the leaf mark -1 that BuildFromText writes.
  if (cells[0].check == -2 && cells[0].base == 0 && cells[0].value >= 0) cells[0].base = -1;
  m_codes.swap(codes);
  m_cells.swap(cells);
  m_highestIndex = highestIndex;
  m_wordCount = wordCount;
  return true;
}
