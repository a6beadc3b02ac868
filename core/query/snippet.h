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

// The phrases (word-number sequences) that a query's indexed conditions ask of each field.
class CQueryPhrases {
 public:
  CQueryPhrases(const CFieldInfo& schema, const CPDAT& trie,
                const std::vector<tCondition>& conditions);
  virtual ~CQueryPhrases();

  // The phrases that mark in field `field` (a field number), without repeats; empty for a
  // field no indexed condition reaches.
  const std::vector<std::vector<int32_t>>& ForField(int field) const;

 private:
  std::vector<std::vector<std::vector<int32_t>>> m_byField;  // by field number
  std::vector<std::vector<int32_t>> m_none;
};

// Finds the phrase matches in stored texts.
class CMatchFinder {
 public:
  explicit CMatchFinder(const CPDAT& trie) : m_trie(trie) {}
  virtual ~CMatchFinder();

  // Replaces *matches by the byte ranges of `text[0, length)` where one of `phrases` stands,
  // in ascending order; overlapping matches are merged into one range, touching ones kept
  // apart.
  void Find(const char* text, int length, const std::vector<std::vector<int32_t>>& phrases,
            std::vector<tTextRange>* matches);

 private:
  const CPDAT& m_trie;
  std::string m_normalized;
  std::vector<int32_t> m_source;  // normalised byte offset -> stored byte offset (+ end)
  std::vector<int32_t> m_ids;
  std::vector<CPDAT::tWordSpan> m_spans;
};

// The excerpt of a stored text: bytes [begin, end), whether text was cut off before or after
// it, and the matches inside it, clipped to it.
struct tExcerpt {
  int32_t begin = 0;
  int32_t end = 0;
  bool cutBefore = false;
  bool cutAfter = false;
  std::vector<tTextRange> marks;
};

// Chooses the excerpt of at most `maxChars` characters (at least 1; characters as Segment reads
// them): the whole text when it is that short; otherwise a window holding the start of the
// first match with some text before it, starting after a punctuation mark or space where one
// is near and ending after one where that keeps the first match whole. Without matches the
// window starts at the beginning. The window never splits a character.
void ChooseExcerpt(const char* text, int length, const std::vector<tTextRange>& matches,
                   int maxChars, tExcerpt* excerpt);
