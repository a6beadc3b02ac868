// Highlighting: where a query's indexed values match in a record's stored text, and the
// excerpt of that text to show around the first match.
//
// A value matches exactly where the engine matches it: its dictionary words (Segment of the
// normalised value) at consecutive ordinals of the field's text as the index saw it, that is
// the stored text (already cleaned of markup) up to its first NUL, normalised and segmented.
// Normalisation turns every character into exactly one character, so each word of the
// normalised text maps back to a byte range of the stored text; the matches are reported as
// such ranges. A value without a dictionary word restricts nothing and marks nothing.
//
// A condition on a field marks in that field; a condition on the all-fields entry "*" marks in
// every field that feeds the all-fields index (indexed and marked for it). Filter conditions
// mark nothing.
//
// Thread safety: CQueryPhrases is read-only once built; CMatchFinder keeps scratch buffers
// and belongs to one thread. The trie and schema are borrowed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/text/pdat.h"

class CFieldInfo;
struct tCondition;

// Bytes [start, end) of a stored text.
struct tTextRange {
  int32_t start;
  int32_t end;
};

// One phrase a query asks of a field: its word numbers and the normalised bytes of its
// first word's token (every match starts with them); under contains matching its character
// units (char_units.h) instead.
struct tPhrase {
  std::vector<int32_t> words;
  std::string firstWord;
  std::vector<int32_t> units;
};

// The phrases that a query's indexed conditions ask of each field.
class CQueryPhrases {
 public:
  // With `contains`, values match as contains matching reads them: where their character
  // units stand in a row.
  CQueryPhrases(const CFieldInfo& schema, const CPDAT& trie,
                const std::vector<tCondition>& conditions, bool contains = false);
  virtual ~CQueryPhrases();

  // The phrases that mark in field `field` (a field number), without repeats; empty for a
  // field no indexed condition reaches.
  const std::vector<tPhrase>& ForField(int field) const;

 private:
  std::vector<std::vector<tPhrase>> m_byField;  // by field number
  std::vector<tPhrase> m_none;
};

// Finds the phrase matches in stored texts.
class CMatchFinder {
 public:
  explicit CMatchFinder(const CPDAT& trie) : m_trie(trie) {}
  virtual ~CMatchFinder();

  // Replaces *matches by the byte ranges of `text[0, length)` where one of `phrases` stands,
  // in ascending order; overlapping matches are merged into one range, touching ones kept
  // apart. With `maxChars` 0 every match is found. Otherwise only what an excerpt of
  // maxChars characters (ChooseExcerpt) can show is certain: the first match and every match
  // that starts less than 2 * maxChars bytes of normalised text after it; matches further on
  // may be missing.
  //
  // Every match starts where a phrase's first word stands, so only the places of the first
  // words are looked at: for each, the text is segmented from the piece boundary before it
  // until the phrase's words are known, where a piece boundary follows a character in no
  // dictionary word (a two-byte one, or a separator). Forward maximum matching always ends a
  // token there, so the pieces give exactly the words of the whole text.
  // Phrases of contains matching (units) are found where their units stand in a row in the
  // units of the normalised text.
  void Find(const char* text, int length, const std::vector<tPhrase>& phrases, int maxChars,
            std::vector<tTextRange>* matches);

 private:
  void FindUnits(const std::vector<tPhrase>& phrases, int maxChars,
                 std::vector<tTextRange>* matches);
  // Normalises text[0, size) into m_normalized, as NormalizeText does, noting in m_shrunk
  // where a two-byte character became one byte.
  void Normalize(const unsigned char* text, size_t size);
  // The stored byte offset of normalised byte offset `offset` (the end maps to the end).
  int32_t Source(size_t offset) const;
  // Segments m_normalized[from, to) (`to` just after a piece boundary or the end) and appends
  // its words to m_words / m_wordSpans.
  void SegmentPiece(size_t from, size_t to);
  // The piece that holds `place`: *from, a piece start at or before it, becomes the start of
  // that piece and *to its end (after its boundary, or the end of the text).
  void PieceAt(size_t place, size_t* from, size_t* to) const;
  // Offset after the first piece boundary at or past `from` (a character start), or the end.
  size_t NextBoundary(size_t from) const;

  const CPDAT& m_trie;
  std::vector<char> m_normalized;  // m_length bytes of normalised text, room for a NUL after
  size_t m_length = 0;
  std::vector<int32_t> m_shrunk;  // normalised offsets of the bytes that replaced two
  std::vector<int32_t> m_ids;
  std::vector<CPDAT::tWordSpan> m_spans;
  std::vector<int32_t> m_words;               // word numbers of the segmented pieces, in text order
  std::vector<CPDAT::tWordSpan> m_wordSpans;  // their places in m_normalized
  std::vector<size_t> m_next;                 // by phrase: next place of its first word
  std::vector<int32_t> m_units;               // contains: units of m_normalized
  std::vector<int32_t> m_unitOffsets;         // and their offsets there
};

// Sorts `matches` and merges overlapping ranges into one (touching ones stay apart).
void MergeRanges(std::vector<tTextRange>* matches);

// The excerpt of a stored text: bytes [begin, end), whether text was cut off before or after
// it, and the matches inside it, clipped to it.
struct tExcerpt {
  int32_t begin = 0;
  int32_t end = 0;
  bool cutBefore = false;
  bool cutAfter = false;
  std::vector<tTextRange> marks;
};

// The per-thread buffer of ChooseExcerpt is freed after a text that made it larger than this.
constexpr size_t kKeptExcerptBytes = size_t{1} << 20;

// Chooses the excerpt of at most `maxChars` characters (at least 1; characters as Segment reads
// them): the whole text when it is that short; otherwise a window holding the start of the
// first match with some text before it, starting after a punctuation mark or space where one
// is near and ending after one where that keeps the first match whole. Without matches the
// window starts at the beginning. The window never splits a character.
void ChooseExcerpt(const char* text, int length, const std::vector<tTextRange>& matches,
                   int maxChars, tExcerpt* excerpt);
