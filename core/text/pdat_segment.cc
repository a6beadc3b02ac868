// CPDAT::Segment: forward maximum matching over the double array.
//
// One pass over the text, keeping the start of the current candidate, the longest word
// found from it so far (m bytes, word number w) and the walk state. When the walk cannot go
// on, the candidate's longest word is emitted and the scan resumes right after it, so no
// byte is lost or written twice: the token text never exceeds 2L + 1 bytes and there are at
// most L word numbers. A character that begins a dictionary word but ends none, and whose
// continuation fails, is emitted alone without a word number (m is then its width).
#include <cstring>

#include "core/text/gbk_chars.h"
#include "core/text/pdat.h"

namespace {

// How many bytes ahead of the scan the cells of coming candidates are asked for.
constexpr size_t kPrefetchDistance = 16;

// Where Segment writes: the token text (optional) and the word numbers (optional, counted
// either way).
class CSegmentOutput {
 public:
  CSegmentOutput(const char* text, int32_t* ids, char* tokens, CPDAT::tWordSpan* spans)
      : m_text(text), m_ids(ids), m_tokens(tokens), m_spans(spans) {}

  // Appends text[start, start + length) and a tab; the pending word number goes with it.
  void Emit(size_t start, size_t length, int32_t* word) {
    if (m_tokens != nullptr) {
      std::memcpy(m_tokens + m_tokenLength, m_text + start, length);
      m_tokenLength += length;
      m_tokens[m_tokenLength++] = '\t';
    }
    if (*word != -1) {
      if (m_ids != nullptr) m_ids[m_idCount] = *word;
      if (m_spans != nullptr) {
        m_spans[m_idCount] = {static_cast<int32_t>(start), static_cast<int32_t>(length)};
      }
      ++m_idCount;
      *word = -1;
    }
  }
  void Byte(char byte) {
    if (m_tokens != nullptr) m_tokens[m_tokenLength++] = byte;
  }
  int Finish() {
    if (m_tokens != nullptr) m_tokens[m_tokenLength] = '\0';
    return m_idCount;
  }

 private:
  const char* m_text;
  int32_t* m_ids;
  char* m_tokens;
  CPDAT::tWordSpan* m_spans;
  size_t m_tokenLength = 0;
  int m_idCount = 0;
};

}  // namespace

int CPDAT::Segment(const char* text, std::vector<int32_t>* ids, std::vector<char>* tokens) const {
  return Segment(text, ids, tokens, nullptr);
}

int CPDAT::Segment(const char* text, std::vector<int32_t>* ids, std::vector<char>* tokens,
                   std::vector<tWordSpan>* spans) const {
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  if (ids != nullptr && ids->size() < length + 2) ids->resize(length + 2);
  if (tokens != nullptr && tokens->size() < 2 * length + 1) tokens->resize(2 * length + 1);
  if (spans != nullptr && spans->size() < length + 2) spans->resize(length + 2);
  CSegmentOutput output(text, ids != nullptr ? ids->data() : nullptr,
                        tokens != nullptr ? tokens->data() : nullptr,
                        spans != nullptr ? spans->data() : nullptr);
  if (length == 0) return output.Finish();

  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const int32_t* codes = m_codes.data();
  const tCell* cells = m_cells.data();
  const int64_t cellLimit = static_cast<int64_t>(m_cells.size()) < int64_t{m_highestIndex} + 1
                                ? static_cast<int64_t>(m_cells.size())
                                : int64_t{m_highestIndex} + 1;
  size_t offset = 0;    // start of the current candidate
  size_t position = 0;  // scan position
  size_t matched = 0;   // bytes of the longest word from offset (or the first character)
  int32_t word = -1;    // number of that word, -1 when none
  int64_t base = 0;
  int64_t check = -2;

  // The cells of second characters lie all over the array, so reading them is what costs.
  // A cursor running a few characters ahead of the scan asks for the second-level cell of a
  // candidate starting at each character it passes, so those reads overlap.
  size_t ahead = 0;
  auto prefetchAhead = [&](size_t until) {
    while (ahead < until && ahead < length) {
      int width = 1;
      const int first = gbk::CharAt(bytes, ahead, length, &width);
      const size_t next = ahead + static_cast<size_t>(width);
      const int32_t firstCode = codes[first];
      if (next < length && firstCode >= 0 && firstCode < cellLimit &&
          cells[firstCode].check == -2) {
        const int second = gbk::CharAt(bytes, next, length, &width);
        int64_t firstBase = cells[firstCode].base;
        if (firstBase < 0) firstBase = -firstBase;
        const int32_t secondCode = codes[second];
        if (secondCode >= 0 && firstBase + secondCode < cellLimit) {
          __builtin_prefetch(&cells[firstBase + secondCode]);
        }
      }
      ahead = next;
    }
  };

  for (;;) {
    prefetchAhead(position + kPrefetchDistance);
    if (position >= length) {
      if (offset >= length || matched == 0) break;
      output.Emit(offset, matched, &word);
      offset = position = offset + matched;
      base = 0, check = -2, matched = 0;
      continue;
    }
    const size_t start = position;
    int width = 1;
    const int value = gbk::CharAt(bytes, position, length, &width);
    position += static_cast<size_t>(width);
    const int32_t code = codes[value];
    int64_t cell = code >= 0 ? base + code : -1;
    if (cell >= 0 && (cell >= cellLimit || cells[cell].check != check)) cell = -1;

    if (cell < 0) {
      if (matched > 0) {  // the candidate ends: emit its longest word, rescan after it
        output.Emit(offset, matched, &word);
        offset = position = offset + matched;
        base = 0, check = -2, matched = 0;
        continue;
      }
      // Unmatched: the character, and after a one-byte non-separator the ASCII run that
      // follows up to the next separator.
      for (size_t index = start; index < position; ++index) output.Byte(text[index]);
      if (position - start == 1 && !gbk::IsSeparator(bytes[start])) {
        while (position < length && !gbk::IsLeadByte(bytes[position]) &&
               !gbk::IsSeparator(bytes[position])) {
          output.Byte(text[position++]);
        }
      }
      output.Byte('\t');
      offset = position;
      base = 0, check = -2, matched = 0;
      continue;
    }

    check = cell;
    const int32_t cellBase = cells[cell].base;
    if (cellBase >= 0) {  // an inner node where no word ends
      base = cellBase;
      if (matched == 0) matched = position - start;
      continue;
    }
    base = -int64_t{cellBase};
    word = cells[cell].value;
    matched = position - offset;
    if (base == cell) {  // a leaf: nothing longer can match
      output.Emit(offset, matched, &word);
      offset = position;
      base = 0, check = -2, matched = 0;
    }
  }
  return output.Finish();
}
