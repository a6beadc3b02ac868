#include "core/text/dictionary_reader.h"

#include <cstring>

#include "core/text/gbk_chars.h"
#include "core/util/file_util.h"

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
    while (start < end && gbk::IsSpace(static_cast<unsigned char>(text[start]))) ++start;
    if (start == end || text[start] == '\0') continue;
    size_t stop = start;
    while (stop < end && text[stop] != '\0' &&
           !gbk::IsSpace(static_cast<unsigned char>(text[stop]))) {
      ++stop;
    }
    *word = text + start;
    *length = static_cast<int>(stop - start);
    if (lineNumber != nullptr) *lineNumber = m_lineNumber;
    return true;
  }
  return false;
}
