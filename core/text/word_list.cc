#include "core/text/word_list.h"

#include <utility>

#include "core/text/dictionary_reader.h"
#include "core/text/pdat.h"
#include "core/util/byte_io.h"
#include "core/util/file_util.h"
#include "core/util/progress_output.h"

namespace {

struct tStoredWord {
  int32_t wordNumber;
  int32_t offset;
};

}  // namespace

CWordList::CWordList() = default;

CWordList::~CWordList() = default;

int CWordList::GetWordCount() const { return m_wordCount; }

int CWordList::BuildFromText(const char* path, const CPDAT& trie) {
  if (path == nullptr) return 0;
  FilePtr file = OpenFile(path, "rt");
  if (!file) return 0;
  CDictionaryReader reader(file.get(), kWordListPieceSize);
  file.reset();

  CProgressOutput output;
  std::vector<tStoredWord> stored;
  std::string text;
  const char* word = nullptr;
  int length = 0;
  int lineNumber = 0;
  while (reader.NextWord(&word, &length, &lineNumber)) {
    output.Text("Line ");
    output.Number(lineNumber);
    output.Byte(':');
    output.Bytes(word, static_cast<size_t>(length));
    output.Byte('\n');
    int wordNumber = trie.LookupWord(word, length);
    if (wordNumber < 0) continue;
    if (text.size() + static_cast<size_t>(length) + 1 > 0x7FFFFFFF)
      break;  // text offsets are int32
    stored.push_back({wordNumber, static_cast<int32_t>(text.size())});
    text.append(word, static_cast<size_t>(length));
    text.push_back('\0');
  }

  // Every number the trie hands out must have an entry, repeated dictionary lines included.
  int32_t tableSize =
      trie.GetMaxIndex() > trie.GetWordCount() ? trie.GetMaxIndex() : trie.GetWordCount();
  std::vector<int32_t> offsets(static_cast<size_t>(tableSize) + 1, 0);
  for (const tStoredWord& entry : stored) {
    if (entry.wordNumber <= tableSize)
      offsets[static_cast<size_t>(entry.wordNumber)] = entry.offset;
  }
  m_wordCount = static_cast<int32_t>(stored.size());
  m_tableSize = tableSize;
  m_offsets.swap(offsets);
  m_text.swap(text);
  return m_wordCount;
}

bool CWordList::Save(const char* path) const {
  if (path == nullptr) return false;
  std::string image;
  PutI32(&image, m_wordCount);
  PutI32(&image, m_tableSize);
  for (int32_t index = 0; index <= m_tableSize; ++index) {
    PutI32(&image, static_cast<size_t>(index) < m_offsets.size()
                       ? m_offsets[static_cast<size_t>(index)]
                       : 0);
  }
  PutI32(&image, static_cast<int32_t>(m_text.size()));
  PutBytes(&image, m_text.data(), m_text.size());
  CPendingFile file(path);
  return file.Open() && file.Write(image.data(), image.size()) && file.Finish() && file.Commit();
}

bool CWordList::Load(const char* path) {
  if (path == nullptr) return false;
  std::string contents;
  if (ReadWholeFile(path, &contents) == 0) return false;
  CByteReader reader(contents.data(), contents.size());
  int32_t wordCount = 0;
  int32_t tableSize = 0;
  if (!reader.ReadI32(&wordCount) || !reader.ReadI32(&tableSize)) return false;
  if (wordCount < 0 || tableSize < 0) return false;
  size_t entries = static_cast<size_t>(tableSize) + 1;
  if (entries > reader.remaining() / 4) return false;
  std::vector<int32_t> offsets(entries);
  int32_t textLength = 0;
  const char* text = nullptr;
  if (!reader.ReadI32Array(offsets.data(), entries) || !reader.ReadI32(&textLength) ||
      textLength < 0 || !reader.ReadBytes(static_cast<size_t>(textLength), &text) ||
      reader.remaining() != 0) {
    return false;
  }
  // Every stored word takes at least two bytes (a byte and its NUL).
  if (wordCount > textLength / 2) return false;
  if (textLength > 0 && text[textLength - 1] != '\0') return false;
  for (int32_t offset : offsets) {
    if (offset < 0 || (offset >= textLength && offset != 0)) return false;
  }
  m_wordCount = wordCount;
  m_tableSize = tableSize;
  m_offsets.swap(offsets);
  m_text.assign(text, static_cast<size_t>(textLength));
  return true;
}

const char* CWordList::GetWord(int wordNumber) const {
  if (wordNumber < 0 || wordNumber >= m_tableSize || m_text.empty()) return nullptr;
  return m_text.data() + m_offsets[static_cast<size_t>(wordNumber)];
}
