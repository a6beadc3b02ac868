#include "core/text/text_clean.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "core/text/gbk_chars.h"

namespace {

// Removal windows: a tag or brace block must close within 500 bytes, an escaped "&lt;" tag
// within 700, a named entity within 10 and a numeric reference within 7.
constexpr int kTagWindow = 500;
constexpr int kBraceWindow = 500;
constexpr int kEscapedTagWindow = 700;
constexpr int kNamedEntityWindow = 10;
constexpr int kNumericReferenceWindow = 7;
constexpr int kLtWindow = 5;

// The bytes at which a StripMarkup rule may start.
struct tMarkupStarts {
  bool start[256] = {};
  constexpr tMarkupStarts() {
    for (unsigned char c : {'<', '&', '%', '{', 'n'}) start[c] = true;
  }
};
constexpr tMarkupStarts kMarkupStarts;

// End of the window of `size` bytes from `start`, cut at `length` (written so that it
// cannot overflow near the largest int).
inline int WindowEnd(int start, int size, int length) {
  return length - start > size ? start + size : length;
}

inline unsigned char Byte(const char* text, int at) { return static_cast<unsigned char>(text[at]); }

inline bool IsAsciiLetter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool IsHexDigit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline int HexValue(unsigned char c) { return c >= 'A' ? (c & 0xDF) - 55 : c - '0'; }

// First `pattern` at or after `from` within input[0..length), or -1.
int FindPattern(const char* input, int length, int from, const char* pattern, int size) {
  if (from < 0 || from > length - size) return -1;
  const void* hit =
      memmem(input + from, static_cast<size_t>(length - from), pattern, static_cast<size_t>(size));
  return hit == nullptr ? -1 : static_cast<int>(static_cast<const char*>(hit) - input);
}

// First byte `wanted` in input[from..limit), or -1.
int FindByteBefore(const char* input, int from, int limit, char wanted) {
  if (from >= limit) return -1;
  const void* hit = std::memchr(input + from, wanted, static_cast<size_t>(limit - from));
  return hit == nullptr ? -1 : static_cast<int>(static_cast<const char*>(hit) - input);
}

// An unbounded pattern search whose last answer is remembered. The scan positions only grow,
// so a search that found nothing (or found q) answers every later search starting at or
// before q without scanning again: a text full of "<!--" without "-->" stays linear.
class CMemoSearch {
 public:
  explicit CMemoSearch(const char* pattern)
      : m_pattern(pattern), m_size(static_cast<int>(std::strlen(pattern))) {}

  int Find(const char* input, int length, int from) {
    if (m_searchedFrom >= 0 && from >= m_searchedFrom && (m_found < 0 || m_found >= from)) {
      return m_found;
    }
    m_searchedFrom = from;
    m_found = FindPattern(input, length, from, m_pattern, m_size);
    return m_found;
  }

 private:
  const char* m_pattern;
  int m_size;
  int m_searchedFrom = -1;
  int m_found = -1;
};

// Closing "}" of a brace block opened at `open`, stepping over two-byte characters so that a
// trail byte 0x7D is never taken for it; -1 when none lies within the window.
int FindBraceClose(const char* input, int length, int open) {
  int limit = WindowEnd(open, kBraceWindow, length);
  for (int at = open + 1; at < limit;) {
    unsigned char c = Byte(input, at);
    if (c == '}') return at;
    at += gbk::IsLeadByte(c) ? 2 : 1;
  }
  return -1;
}

bool EqualsIgnoringCase(const char* text, const char* lowerWord, int size) {
  for (int i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
    if (c != static_cast<unsigned char>(lowerWord[i])) return false;
  }
  return true;
}

// One scan of StripMarkup. Each Try* member looks at the byte at m_at; when its rule
// removes something it writes the replacement, moves m_at past the removed bytes and
// returns true. Lookahead reads happen before any write of the same step, and the write
// position never passes m_at, so the output may share the input's buffer.
class CMarkupStripper {
 public:
  CMarkupStripper(const char* input, int length, char* output)
      : m_input(input), m_length(length), m_output(output) {}

  int Run() {
    while (m_at < m_length) {
      int runEnd = PlainRunEnd();
      if (runEnd > m_at) {
        CopyRun(runEnd);
        continue;
      }
      bool handled = false;
      switch (Byte(m_input, m_at)) {
        case '<':
          handled = TryTag();
          break;
        case '&':
          handled = TryEntity();
          break;
        case '%':
          handled = TryPercentEscape();
          break;
        case '{':
          handled = TryBraceBlock();
          break;
        case 'n':
          handled = TryBareNbsp();
          break;
        default:
          break;
      }
      if (!handled) CopyByte();
    }
    m_output[m_written] = '\0';
    return m_written;
  }

 private:
  // End of the run of characters from m_at that no rule can touch: the first byte from which
  // a rule may start ("<", "&", "%", "{", "n") that begins a character. A lead byte takes
  // the byte after it as its trail, so a trail byte "{" or "n" is never taken for markup.
  // The byte after any byte below 0x80 begins a character (that byte is a one-byte
  // character or a trail), so a candidate is a trail exactly when an odd number of bytes of
  // 0x80 or above stands between it and the last such byte, or the start of the run. Each
  // byte is looked at backwards at most once, since the run start moves past a trail found.
  int PlainRunEnd() const {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(m_input);
    int runStart = m_at;
    int at = m_at;
    for (;;) {
      while (at < m_length && !MayStartMarkup(bytes[at])) ++at;
      if (at >= m_length) return m_length;
      int before = at - 1;
      while (before >= runStart && gbk::IsLeadByte(bytes[before])) --before;
      if ((at - 1 - before) % 2 == 0) return at;
      runStart = ++at;  // a trail byte; the byte after it begins a character
    }
  }

  static bool MayStartMarkup(unsigned char c) { return kMarkupStarts.start[c]; }

  void CopyRun(int runEnd) {
    m_previous = Byte(m_input, runEnd - 1);  // before the move may overwrite it
    size_t size = static_cast<size_t>(runEnd - m_at);
    if (m_output + m_written != m_input + m_at) {
      std::memmove(m_output + m_written, m_input + m_at, size);
    }
    m_written += static_cast<int>(size);
    m_at = runEnd;
  }

  unsigned char At(int offset) const { return Byte(m_input, m_at + offset); }
  bool Has(int offset) const { return m_length - m_at > offset; }

  void CopyByte() {
    m_previous = At(0);
    m_output[m_written++] = m_input[m_at++];
  }

  // Replaces input[m_at..last] by one byte.
  bool Replace(int last, char replacement) {
    m_previous = Byte(m_input, last);
    m_output[m_written++] = replacement;
    m_at = last + 1;
    return true;
  }
  bool Remove(int last) { return Replace(last, ' '); }

  bool TryTag() {
    if (!Has(1)) return false;
    unsigned char next = At(1);
    if (!IsAsciiLetter(next) && next != '/' && next != '!' && next != '?') return false;
    if (Has(4) && std::memcmp(m_input + m_at + 1, "!--", 3) == 0) {
      int close = m_commentEnd.Find(m_input, m_length, m_at);
      return close >= 0 && Remove(close + 2);
    }
    if (Has(15) && EqualsIgnoringCase(m_input + m_at + 1, "script>", 7)) {
      int close = m_scriptEndLower.Find(m_input, m_length, m_at + 7);
      if (close < 0) close = m_scriptEndUpper.Find(m_input, m_length, m_at + 7);
      if (close < 0) return false;
      int end = m_scriptTagEnd.Find(m_input, m_length, close);
      return end >= 0 && Remove(end);
    }
    int limit = WindowEnd(m_at, kTagWindow, m_length);
    int end = FindByteBefore(m_input, m_at, limit, '>');
    return end >= 0 && Remove(end);
  }

  bool TryEntity() {
    if (!Has(1)) return false;
    int limit = WindowEnd(m_at, kNamedEntityWindow, m_length);
    int semicolon = FindByteBefore(m_input, m_at, limit, ';');
    if (semicolon < 0) return false;
    int distance = semicolon - m_at;
    unsigned char next = At(1);
    if (next == '#') {
      // A numeric reference becomes one space, not the bytes of its value: a value below 256
      // would put a NUL into the text and cut off everything after it.
      if (distance < kNumericReferenceWindow && Has(4)) return Remove(semicolon);
      return false;
    }
    if (distance < kLtWindow && Has(3) && std::memcmp(m_input + m_at, "&lt;", 4) == 0) {
      // "&gt;" must start less than 700 bytes after the "&" and end inside the input.
      int window = WindowEnd(m_at, kEscapedTagWindow + 3, m_length);
      int gt = FindPattern(m_input, window, m_at, "&gt;", 4);
      return gt >= 0 ? Remove(gt + 3) : Remove(m_at + 3);
    }
    if (IsAsciiLetter(next)) return Remove(semicolon);
    return false;
  }

  // "%XY" with two hex digits becomes the byte 0xXY. Other bytes after "%" are ordinary
  // text ("50%off"), and "%00" becomes a space so that no NUL enters the text.
  bool TryPercentEscape() {
    if (!Has(2) || !IsHexDigit(At(1)) || !IsHexDigit(At(2))) return false;
    int value = (HexValue(At(1)) * 16 + HexValue(At(2))) & 0xFF;
    return Replace(m_at + 2, value == 0 ? ' ' : static_cast<char>(value));
  }

  bool TryBraceBlock() {
    if (!Has(1)) return false;
    bool opens = IsAsciiLetter(At(1)) ||
                 (Has(2) && m_at > 0 && gbk::IsLineSpace(At(1)) && gbk::IsLineSpace(m_previous));
    if (!opens) return false;
    int close = FindBraceClose(m_input, m_length, m_at);
    return close >= 0 && close + 1 < m_length && Remove(close);
  }

  bool TryBareNbsp() {
    return Has(5) && std::memcmp(m_input + m_at, "nbsp;", 5) == 0 && Remove(m_at + 4);
  }

  const char* m_input;
  int m_length;
  char* m_output;
  int m_at = 0;
  int m_written = 0;
  unsigned char m_previous = 0;  // the input byte before m_at (the output may overwrite it)
  CMemoSearch m_commentEnd{"-->"};
  CMemoSearch m_scriptEndLower{"</s"};
  CMemoSearch m_scriptEndUpper{"</S"};
  CMemoSearch m_scriptTagEnd{">"};
};

}  // namespace

void StripMarkup(const char* input, int length, char* output, int* outputLength) {
  if (length < 0) length = 0;
  *outputLength = CMarkupStripper(input, length, output).Run();
}

void NormalizeText(char* text) {
  const gbk::CNormalization& normalization = gbk::Normalization();
  unsigned char* bytes = reinterpret_cast<unsigned char*>(text);
  size_t read = 0;
  size_t write = 0;
  for (unsigned char c; (c = bytes[read]) != 0;) {
    if (gbk::IsLeadByte(c)) {
      const unsigned char trail = bytes[read + 1];
      if (trail != 0) {  // a lead byte before the NUL stands alone
        const unsigned char replacement = normalization.Pair(c, trail);
        if (replacement != 0) {
          bytes[write++] = replacement;
        } else {
          bytes[write++] = c;
          bytes[write++] = trail;
        }
        read += 2;
        continue;
      }
    }
    bytes[write++] = normalization.Single(c);
    ++read;
  }
  bytes[write] = 0;
}
