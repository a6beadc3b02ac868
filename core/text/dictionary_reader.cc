#include "core/text/dictionary_reader.h"

#include <cstring>

#include "core/text/file_util.h"
#include "core/text/pdat_chars.h"

namespace {

bool IsWhiteSpace(unsigned char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

// Two-byte characters that normalisation replaces by a tab or a parenthesis.
constexpr int kReplacedCharacters[] = {0xA3A8, 0xA1BE, 0xA3A9, 0xA1BF, 0xA3DC, 0xA3FC,
                                       0xA3AC, 0xA3AE, 0xA1A3, 0xA1A2, 0xA1AE, 0xA1B0,
                                       0xA1B1, 0xA3A7, 0xA3AD, 0xA1AA, 0xAAA4};

bool NormalisationChanges(int value, int width) {
  if (width == 1) {
    return (value >= 'A' && value <= 'Z') || value == '"' || value == ',' || value == '/' ||
           value == '_';
  }
  if (value < 0xA1A2 || value > 0xAAA4) return false;  // the range every entry lies in
  if ((value >= 0xA3B0 && value <= 0xA3B9) || (value >= 0xA3C1 && value <= 0xA3DA) ||
      (value >= 0xA3E1 && value <= 0xA3FA)) {
    return true;
  }
  for (int replaced : kReplacedCharacters) {
    if (value == replaced) return true;
  }
  return false;
}

}  // namespace

CDictionaryReader::CDictionaryReader(std::FILE* file, int bufferSize)
    : m_pieceLimit(bufferSize > 1 ? static_cast<size_t>(bufferSize - 1) : 1) {
  if (file != nullptr) {
    // One allocation for a regular file; a pipe or a growing file still reads to its end.
    int64_t size = FileSize(file);
    if (size > 0) m_text.reserve(static_cast<size_t>(size) + 1);
  }
  char chunk[1 << 16];
  size_t got = 0;
  while (file != nullptr && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    m_text.append(chunk, got);
  }
}

CDictionaryReader::~CDictionaryReader() = default;

bool CDictionaryReader::NextWord(const char** word, int* length, int* lineNumber) {
  const char* text = m_text.data();
  while (m_position < m_text.size()) {
    size_t limit =
        m_text.size() - m_position < m_pieceLimit ? m_text.size() - m_position : m_pieceLimit;
    const void* newline = std::memchr(text + m_position, '\n', limit);
    size_t end = newline != nullptr
                     ? static_cast<size_t>(static_cast<const char*>(newline) - text) + 1
                     : m_position + limit;
    size_t start = m_position;
    m_position = end;
    ++m_lineNumber;
    while (start < end && IsWhiteSpace(static_cast<unsigned char>(text[start]))) ++start;
    if (start == end || text[start] == '\0') continue;
    size_t stop = start;
    while (stop < end && text[stop] != '\0' &&
           !IsWhiteSpace(static_cast<unsigned char>(text[stop]))) {
      ++stop;
    }
    *word = text + start;
    *length = static_cast<int>(stop - start);
    if (lineNumber != nullptr) *lineNumber = m_lineNumber;
    return true;
  }
  return false;
}

bool NormalisedTextCanHold(const char* word, int length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(word);
  for (int position = 0; position < length;) {
    int width = 1;
    int value = pdat_chars::CharAt(bytes, position, length, &width);
    position += width;
    if (NormalisationChanges(value, width)) return false;
  }
  return true;
}
