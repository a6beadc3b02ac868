// The character rules of GBK text, in one place for every part of the engine that reads
// text byte by byte: the trie build and lookups, Segment, StripMarkup and NormalizeText, the
// dictionary reader and the database layer's GBK classification.
//
// Characters: a byte 0x01..0x7F is a one-byte character; a byte 0x80..0xFF starts a
// two-byte character (value first * 256 + second) unless it is the last byte of the text,
// where it is a one-byte character of its own. That lead range is wider than GBK's own
// (0x81..0xFE) on purpose: every byte is classified alike everywhere, so the index, the
// queries and the database layer always pair the same bytes into characters.
//
// The predicates are inline table or range tests, meant for the hot loops of Segment and
// the cleaner. Nothing here keeps state that changes; every function is safe on any thread.
#pragma once

#include <cstddef>

namespace gbk {

constexpr bool IsLeadByte(unsigned char byte) { return byte >= 0x80; }

// Width (1 or 2) of the character at bytes[position] of a text of `length` bytes.
constexpr int CharWidth(const unsigned char* bytes, size_t position, size_t length) {
  return IsLeadByte(bytes[position]) && position + 1 < length ? 2 : 1;
}

// Value of the character at bytes[position] of a text of `length` bytes; its width goes to
// *width.
inline int CharAt(const unsigned char* bytes, size_t position, size_t length, int* width) {
  const unsigned char first = bytes[position];
  if (IsLeadByte(first) && position + 1 < length) {
    *width = 2;
    return first * 256 + bytes[position + 1];
  }
  *width = 1;
  return first;
}

namespace detail {

struct tByteClasses {
  bool separator[256] = {};
  constexpr tByteClasses() {
    const char separators[] = " \t-_,.:/~#%^*()";
    for (int index = 0; separators[index] != '\0'; ++index) {
      separator[static_cast<unsigned char>(separators[index])] = true;
    }
  }
};
constexpr tByteClasses kByteClasses;

}  // namespace detail

// The bytes at which Segment ends a run of unmatched ASCII: space, tab and -_,.:/~#%^*().
constexpr bool IsSeparator(unsigned char byte) { return detail::kByteClasses.separator[byte]; }

// White space of the C locale (space, \t, \n, \v, \f, \r): what delimits the word of a
// dictionary or word-list line and the columns of a schema line, and what a decimal number
// may be preceded by.
constexpr bool IsSpace(unsigned char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

// Space, tab, carriage return and line feed: what is trimmed from a field's text, and the
// bytes around a "{" that make StripMarkup take it for a brace block.
constexpr bool IsLineSpace(unsigned char byte) {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

// NormalizeText's rule, one character at a time: ASCII capitals to lower case; full-width
// digits and letters to ASCII (a full-width capital becomes an ASCII capital); （【 to "(";
// ）】 to ")"; ＼｜，．。、‘“”＇－—, the character AA A4 and '"' ',' '/' '_' to a tab.
// Built once, on first use.
class CNormalization {
 public:
  // Replacement of the two-byte character (lead, trail): one byte below 0x80, or 0 when the
  // character is kept.
  unsigned char Pair(unsigned char lead, unsigned char trail) const {
    return m_pair[m_row[lead]][trail];
  }
  // Replacement of the one-byte character `byte`: the byte itself when it is kept.
  unsigned char Single(unsigned char byte) const { return m_single[byte]; }
  // True when NormalizeText can write the one-byte character `byte`, kept or as a
  // replacement: false for ASCII capitals only when no two-byte character becomes them.
  bool CanWrite(unsigned char byte) const { return m_written[byte]; }

  CNormalization();

 private:
  static constexpr int kMaxRows = 8;
  unsigned char m_row[256];  // lead byte -> row of m_pair (row 0: no replacements)
  unsigned char m_pair[kMaxRows][256];
  unsigned char m_single[256];
  bool m_written[256];
};

const CNormalization& Normalization();

// How a dictionary word stands to normalised text, which is all the index and the queries
// ever segment.
enum class WordReach {
  kAnyText,        // every character may stand in normalised text as written
  kFullWidthOnly,  // an ASCII capital: normalised text holds one only where the raw text
                   // wrote a full-width capital, so only such text matches the word
  kNever,          // a character normalisation always replaces: the word never matches
};
WordReach ReachInNormalizedText(const char* word, int length);

// Position of the first occurrence of `key` in `text` (both NUL-terminated), or -1 when the
// key is empty, absent, or its first occurrence starts at an odd offset. With `text` a
// string of two-byte characters this answers "is the character `key` one of them".
int FindAligned(const char* text, const char* key);

}  // namespace gbk
