// CDictionaryReader: the words of a dictionary or word-list text, one per line. A line is
// read the way a fixed buffer of `bufferSize` bytes reads it: pieces of at most
// bufferSize - 1 bytes that end after a line feed, a longer line giving several pieces,
// each counted as a line of its own. A piece's word is its first run of bytes that are
// neither white space (gbk::IsSpace) nor NUL; a piece without one has no word.
// The reader reads the whole stream at construction and lends out pointers into its copy.
#pragma once

#include <cstdio>
#include <string>

// Line buffer sizes of the two text formats.
constexpr int kDictionaryPieceSize = 3072;
constexpr int kWordListPieceSize = 1024;

class CDictionaryReader {
 public:
  CDictionaryReader(std::FILE* file, int bufferSize);
  virtual ~CDictionaryReader();
  CDictionaryReader(const CDictionaryReader&) = delete;
  CDictionaryReader& operator=(const CDictionaryReader&) = delete;

  // Next piece that holds a word: *word points at its bytes (not NUL-terminated, valid
  // while the reader lives), *length is its length, and *lineNumber (when given) is the
  // number of the piece from 1, blank pieces included. False at the end of the text.
  bool NextWord(const char** word, int* length, int* lineNumber = nullptr);
  size_t GetTextSize() const { return m_text.size(); }

 private:
  std::string m_text;
  size_t m_position = 0;
  size_t m_pieceLimit;
  int m_lineNumber = 0;
};
