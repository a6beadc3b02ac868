#include "core/query/snippet.h"

#include <algorithm>
#include <cstring>

#include "core/query/query.h"
#include "core/records/field_info.h"
#include "core/text/char_units.h"
#include "core/text/gbk_chars.h"

namespace {

// Characters after which an excerpt may start or end: white space and the usual ASCII and
// full-width sentence and clause marks (。，、；！？：… in GBK).
bool IsPause(const unsigned char* bytes, size_t position, size_t length) {
  const unsigned char first = bytes[position];
  if (gbk::IsLeadByte(first) && position + 1 < length) {
    const int value = first * 256 + bytes[position + 1];
    switch (value) {
      case 0xA1A3:  // 。
      case 0xA1A2:  // 、
      case 0xA1AD:  // …
      case 0xA3AC:  // ，
      case 0xA3BB:  // ；
      case 0xA3A1:  // ！
      case 0xA3BF:  // ？
      case 0xA3BA:  // ：
        return true;
      default:
        return false;
    }
  }
  return first == ' ' || first == '\t' || first == '\n' || first == '\r' || first == '.' ||
         first == ',' || first == ';' || first == '!' || first == '?' || first == ':';
}

}  // namespace

// --- phrases -------------------------------------------------------------------------------

CQueryPhrases::CQueryPhrases(const CFieldInfo& schema, const CPDAT& trie,
                             const std::vector<tCondition>& conditions, bool contains) {
  const int fieldCount = schema.GetFieldCount();
  m_byField.resize(static_cast<size_t>(std::max(fieldCount, 0)));
  std::vector<int32_t> ids;
  std::vector<CPDAT::tWordSpan> spans;
  for (const tCondition& condition : conditions) {
    if (condition.kind != ConditionKind::kIndexed || condition.field < 0 ||
        condition.field >= fieldCount) {
      continue;
    }
    std::vector<int> targets;
    if (condition.field != 0) {
      targets.push_back(condition.field);
    } else {
      for (int field = 1; field < fieldCount; ++field) {
        const tFIELD_ENTRY& entry = schema.GetField(field);
        if (entry.isIndexed && entry.isWildcard) targets.push_back(field);
      }
    }
    for (const std::string& value : condition.values) {
      tPhrase phrase;
      if (contains) {
        if (CutIntoUnits(value.c_str(), &phrase.units) == 0) continue;
      } else {
        const int count = trie.Segment(value.c_str(), &ids, nullptr, &spans);
        if (count <= 0) continue;  // restricts nothing, marks nothing
        phrase.words.assign(ids.begin(), ids.begin() + count);
        phrase.firstWord =
            value.substr(static_cast<size_t>(spans[0].start), static_cast<size_t>(spans[0].length));
      }
      for (int field : targets) {
        std::vector<tPhrase>& phrases = m_byField[static_cast<size_t>(field)];
        if (std::none_of(phrases.begin(), phrases.end(), [&](const tPhrase& known) {
              return known.words == phrase.words && known.units == phrase.units;
            })) {
          phrases.push_back(phrase);
        }
      }
    }
  }
}

CQueryPhrases::~CQueryPhrases() = default;

const std::vector<tPhrase>& CQueryPhrases::ForField(int field) const {
  if (field < 0 || static_cast<size_t>(field) >= m_byField.size()) return m_none;
  return m_byField[static_cast<size_t>(field)];
}

// --- matches -------------------------------------------------------------------------------

CMatchFinder::~CMatchFinder() = default;

size_t CMatchFinder::NextBoundary(size_t from) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(m_normalized.data());
  const size_t size = m_length;
  const int32_t* codes = m_trie.GetCodeTable().data();
  for (size_t i = from; i < size;) {
    int width = 1;
    const int value = gbk::CharAt(bytes, i, size, &width);
    i += static_cast<size_t>(width);
    if (codes[value] < 0 && (width == 2 || gbk::IsSeparator(bytes[i - 1]))) return i;
  }
  return size;
}

void CMatchFinder::PieceAt(size_t place, size_t* from, size_t* to) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(m_normalized.data());
  const size_t size = m_length;
  const int32_t* codes = m_trie.GetCodeTable().data();
  // Steps over the character at *i; true when a piece boundary follows it.
  auto boundaryAfter = [&](size_t* i) {
    int width = 1;
    const int value = gbk::CharAt(bytes, *i, size, &width);
    *i += static_cast<size_t>(width);
    return codes[value] < 0 && (width == 2 || gbk::IsSeparator(bytes[*i - 1]));
  };
  // A byte below 0x80 ends a character (it is one, or the second byte of one), so the text
  // can be read from the byte after it without reading what comes before. From the last such
  // place at or before `place` (or *from) on: the last boundary up to `place`, and the first
  // after it.
  const size_t floor = *from;
  size_t known = place;
  while (known > floor && bytes[known - 1] >= 0x80) --known;
  size_t start = known;
  bool found = false;
  size_t i = known;
  while (i < size) {
    if (!boundaryAfter(&i)) continue;
    if (i > place) break;
    start = i;
    found = true;
  }
  *to = i;
  // Without a boundary there, the last one before it, one such stretch at a time backwards.
  while (!found && known > floor) {
    const size_t stop = known;
    known = stop - 1;
    while (known > floor && bytes[known - 1] >= 0x80) --known;
    for (i = known; i < stop;) {
      if (boundaryAfter(&i)) {
        start = i;
        found = true;
      }
    }
  }
  *from = found ? start : floor;
}

void CMatchFinder::SegmentPiece(size_t from, size_t to) {
  char* normalized = m_normalized.data();
  const char saved = normalized[to];  // room for the NUL is kept after the end
  normalized[to] = '\0';
  const int count = m_trie.Segment(normalized + from, &m_ids, nullptr, &m_spans);
  normalized[to] = saved;
  for (int i = 0; i < count; ++i) {
    m_words.push_back(m_ids[static_cast<size_t>(i)]);
    CPDAT::tWordSpan span = m_spans[static_cast<size_t>(i)];
    span.start += static_cast<int32_t>(from);
    m_wordSpans.push_back(span);
  }
}

void CMatchFinder::Normalize(const unsigned char* bytes, size_t size) {
  // Character by character, as NormalizeText does; the runs of characters it keeps are
  // copied as they are.
  const gbk::CNormalization& normalization = gbk::Normalization();
  if (m_normalized.size() < size + 1) m_normalized.resize(size + 1);
  char* normalized = m_normalized.data();
  m_shrunk.clear();
  size_t written = 0;
  size_t kept = 0;  // start of the run of kept characters
  auto replace = [&](size_t at, unsigned char replacement) {
    std::memcpy(normalized + written, bytes + kept, at - kept);
    written += at - kept;
    normalized[written++] = static_cast<char>(replacement);
  };
  size_t i = 0;
  while (i < size) {
    const unsigned char c = bytes[i];
    if (gbk::IsLeadByte(c) && i + 1 < size) {
      const unsigned char replacement = normalization.Pair(c, bytes[i + 1]);
      if (replacement != 0) {
        replace(i, replacement);
        m_shrunk.push_back(static_cast<int32_t>(written - 1));
        kept = i + 2;
      }
      i += 2;
    } else {
      const unsigned char replacement = normalization.Single(c);
      if (replacement != c) {
        replace(i, replacement);
        kept = i + 1;
      }
      ++i;
    }
  }
  std::memcpy(normalized + written, bytes + kept, size - kept);
  written += size - kept;
  normalized[written] = '\0';
  m_length = written;
}

int32_t CMatchFinder::Source(size_t offset) const {
  // Every two-byte character that became one byte before `offset` moves it on by one.
  const auto shrunk =
      std::lower_bound(m_shrunk.begin(), m_shrunk.end(), offset,
                       [](int32_t at, size_t place) { return static_cast<size_t>(at) < place; });
  return static_cast<int32_t>(offset) + static_cast<int32_t>(shrunk - m_shrunk.begin());
}

void CMatchFinder::Find(const char* text, int length, const std::vector<tPhrase>& phrases,
                        int maxChars, std::vector<tTextRange>* matches) {
  matches->clear();
  if (phrases.empty() || text == nullptr || length <= 0) return;
  // The index saw the text up to its first NUL (normalisation stops there).
  const void* nul = std::memchr(text, '\0', static_cast<size_t>(length));
  const size_t size = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text)
                                     : static_cast<size_t>(length);
  Normalize(reinterpret_cast<const unsigned char*>(text), size);
  if (!phrases[0].units.empty()) {
    FindUnits(phrases, maxChars, matches);
    MergeRanges(matches);
    return;
  }
  const size_t end = m_length;
  const char* normalized = m_normalized.data();
  // The next place of each phrase's first word (end when there is none).
  size_t bound = end;  // places from here on are not looked at
  auto placeFrom = [&](const tPhrase& phrase, size_t from) {
    const size_t limit = std::min(end, bound - 1 + phrase.firstWord.size());
    if (from >= limit) return end;
    const void* found =
        memmem(normalized + from, limit - from, phrase.firstWord.data(), phrase.firstWord.size());
    return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - normalized)
                            : end;
  };
  m_next.resize(phrases.size());
  for (size_t k = 0; k < phrases.size(); ++k) m_next[k] = placeFrom(phrases[k], 0);
  // The words of one stretch of segmented pieces [stretch start, segmented) are in m_words;
  // `word` is the first of them that does not start before the place looked at.
  m_words.clear();
  m_wordSpans.clear();
  size_t segmented = 0;
  size_t word = 0;
  bool found = false;
  for (;;) {
    size_t place = end;
    for (const size_t next : m_next) place = std::min(place, next);
    if (place >= bound) break;
    if (place >= segmented) {
      // Segment the piece that holds the place; a new stretch when it does not adjoin the
      // last one.
      size_t from = segmented;
      size_t to = end;
      PieceAt(place, &from, &to);
      if (from != segmented) {
        m_words.clear();
        m_wordSpans.clear();
        word = 0;
      }
      SegmentPiece(from, to);
      segmented = to;
    }
    while (word < m_wordSpans.size() && static_cast<size_t>(m_wordSpans[word].start) < place) {
      ++word;
    }
    const bool wordStarts =
        word < m_wordSpans.size() && static_cast<size_t>(m_wordSpans[word].start) == place;
    for (size_t k = 0; k < phrases.size(); ++k) {
      if (m_next[k] != place) continue;
      m_next[k] = placeFrom(phrases[k], place + 1);
      const std::vector<int32_t>& words = phrases[k].words;
      if (!wordStarts || m_words[word] != words[0]) continue;
      // The phrase's further words may lie in the pieces that follow.
      while (m_words.size() < word + words.size() && segmented < end) {
        const size_t to = NextBoundary(segmented);
        SegmentPiece(segmented, to);
        segmented = to;
      }
      if (m_words.size() < word + words.size() ||
          !std::equal(words.begin() + 1, words.end(),
                      m_words.begin() + static_cast<long>(word) + 1)) {
        continue;
      }
      const CPDAT::tWordSpan& last = m_wordSpans[word + words.size() - 1];
      matches->push_back({Source(place), Source(static_cast<size_t>(last.start + last.length))});
      if (!found) {
        found = true;
        if (maxChars > 0) bound = std::min(end, place + 2 * static_cast<size_t>(maxChars));
      }
    }
  }
  MergeRanges(matches);
}

void CMatchFinder::FindUnits(const std::vector<tPhrase>& phrases, int maxChars,
                             std::vector<tTextRange>* matches) {
  CutIntoUnits(m_normalized.data(), &m_units, &m_unitOffsets);
  const size_t count = m_units.size();
  size_t bound = count;  // units from here on are not looked at
  for (size_t place = 0; place < bound; ++place) {
    for (const tPhrase& phrase : phrases) {
      const std::vector<int32_t>& units = phrase.units;
      if (units.empty() || m_units[place] != units[0] || place + units.size() > count ||
          !std::equal(units.begin() + 1, units.end(),
                      m_units.begin() + static_cast<long>(place) + 1)) {
        continue;
      }
      matches->push_back({Source(static_cast<size_t>(m_unitOffsets[place])),
                          Source(static_cast<size_t>(m_unitOffsets[place + units.size()]))});
      if (maxChars > 0 && bound == count) {
        bound = std::min(count, place + 2 * static_cast<size_t>(maxChars));
      }
    }
  }
}

void MergeRanges(std::vector<tTextRange>* matches) {
  if (matches->size() < 2) return;
  std::sort(matches->begin(), matches->end(), [](const tTextRange& a, const tTextRange& b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  size_t kept = 0;
  for (size_t i = 1; i < matches->size(); ++i) {
    tTextRange& last = (*matches)[kept];
    const tTextRange& next = (*matches)[i];
    if (next.start < last.end) {
      last.end = std::max(last.end, next.end);
    } else {
      (*matches)[++kept] = next;
    }
  }
  matches->resize(kept + 1);
}

// --- excerpt -------------------------------------------------------------------------------

void ChooseExcerpt(const char* text, int length, const std::vector<tTextRange>& matches,
                   int maxChars, tExcerpt* excerpt) {
  excerpt->marks.clear();
  excerpt->begin = excerpt->end = 0;
  excerpt->cutBefore = excerpt->cutAfter = false;
  if (text == nullptr || length <= 0) return;
  if (maxChars < 1) maxChars = 1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const size_t size = static_cast<size_t>(length);
  // Byte offset of every character, then the length. The buffer is kept for the next call
  // of this thread unless a very long text made it large: it is freed on return then.
  thread_local std::vector<int32_t> buffer;
  struct tRelease {
    std::vector<int32_t>* buffer;
    ~tRelease() {
      if (buffer->capacity() * sizeof(int32_t) > kKeptExcerptBytes) {
        std::vector<int32_t>().swap(*buffer);
      }
    }
  } const release{&buffer};
  if (buffer.size() < size + 1) buffer.resize(size + 1);
  int32_t* const starts = buffer.data();
  int chars = 0;
  for (size_t i = 0; i < size;) {
    starts[chars++] = static_cast<int32_t>(i);
    i += gbk::IsLeadByte(bytes[i]) && i + 1 < size ? 2 : 1;
  }
  starts[chars] = length;
  // The character that holds byte `offset`.
  auto charOf = [&](int32_t offset) {
    const int32_t* after = std::upper_bound(starts, starts + chars, offset);
    return static_cast<int>(after - starts) - 1;
  };
  int beginChar = 0;
  int endChar = chars;
  if (chars > maxChars) {
    const int anchor = matches.empty() ? 0 : std::max(charOf(matches.front().start), 0);
    const int lead = maxChars / 4;
    beginChar = std::max(0, anchor - lead);
    if (beginChar > 0) {
      // Start after the earliest pause between there and the match, so that the excerpt
      // begins with a clause while keeping as much text before the match as it can.
      for (int c = beginChar; c < anchor; ++c) {
        if (IsPause(bytes, static_cast<size_t>(starts[static_cast<size_t>(c)]), size)) {
          beginChar = c + 1;
          break;
        }
      }
    }
    endChar = beginChar + maxChars;
    if (endChar >= chars) {
      endChar = chars;
      beginChar = std::max(0, chars - maxChars);
    } else {
      // End after the last pause in the final quarter, unless that cuts the first match.
      const int matchEnd = matches.empty() ? beginChar : charOf(matches.front().end - 1) + 1;
      const int floor = std::max(matchEnd, endChar - maxChars / 4);
      for (int c = endChar - 1; c >= floor && c > beginChar; --c) {
        if (IsPause(bytes, static_cast<size_t>(starts[static_cast<size_t>(c)]), size)) {
          endChar = c + 1;
          break;
        }
      }
    }
  }
  excerpt->begin = starts[static_cast<size_t>(beginChar)];
  excerpt->end = starts[static_cast<size_t>(endChar)];
  excerpt->cutBefore = beginChar > 0;
  excerpt->cutAfter = endChar < chars;
  for (const tTextRange& match : matches) {
    if (match.end <= excerpt->begin || match.start >= excerpt->end) continue;
    excerpt->marks.push_back(
        {std::max(match.start, excerpt->begin), std::min(match.end, excerpt->end)});
  }
}
