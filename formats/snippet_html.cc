#include "formats/snippet_html.h"

#include <algorithm>
#include <cstring>

#include "core/text/encoding.h"

namespace {

constexpr char kEllipsis[] = "\xE2\x80\xA6";  // U+2026 in UTF-8

// What each ASCII byte becomes: HTML-escaped, and for a JSON string also with the escapes
// of AppendJsonString (backslash and control characters; the quote is &quot; already).
struct tEscapes {
  char text[128][8];
  uint8_t length[128];

  explicit tEscapes(bool json) {
    static const char kHex[] = "0123456789abcdef";
    for (int c = 0; c < 128; ++c) {
      std::string form(1, static_cast<char>(c));
      switch (c) {
        case '&':
          form = "&amp;";
          break;
        case '<':
          form = "&lt;";
          break;
        case '>':
          form = "&gt;";
          break;
        case '"':
          form = "&quot;";
          break;
        case '\'':
          form = "&#39;";
          break;
        default:
          if (!json) break;
          if (c == '\\') {
            form = "\\\\";
          } else if (c == '\n') {
            form = "\\n";
          } else if (c == '\r') {
            form = "\\r";
          } else if (c == '\t') {
            form = "\\t";
          } else if (c < 0x20) {
            form = std::string("\\u00") + kHex[c >> 4] + kHex[c & 15];
          }
      }
      std::memcpy(text[c], form.data(), form.size());
      length[c] = static_cast<uint8_t>(form.size());
    }
  }
};

const tEscapes& EscapesFor(bool json) {
  static const tEscapes html(false);
  static const tEscapes jsonString(true);
  return json ? jsonString : html;
}

// Most bytes one input byte can become: an escape of up to 6 bytes, or half of the 3 bytes
// of a two-byte character's code point.
constexpr size_t kMostPerByte = 6;

// Writes text[from, to) as escaped UTF-8 from `out` on, cut as GbkPairs::kMapped cuts GBK (a
// byte that starts no GBK character becomes its own character, U+FFFD when it has none, and
// decoding goes on at the next byte); returns the end of what it wrote and adds the
// characters to *characters. Room for kMostPerByte bytes per input byte must be there.
char* PutPiece(const unsigned char* bytes, int32_t from, int32_t to, const tEscapes& escapes,
               char* out, int32_t* characters) {
  const CGbkTable& table = CGbkTable::Get();
  int32_t count = 0;
  for (int32_t i = from; i < to; ++count) {
    const unsigned char c = bytes[i];
    if (c < 0x80) {
      std::memcpy(out, escapes.text[c], sizeof escapes.text[c]);
      out += escapes.length[c];
      ++i;
      continue;
    }
    // A pair GBK maps is one character; any other byte stands alone.
    size_t next = static_cast<size_t>(i);
    const uint32_t code =
        NextGbkCodePoint(table, bytes, static_cast<size_t>(to), &next, GbkPairs::kMapped);
    i = static_cast<int32_t>(next);
    if (code == 0) {
      std::memcpy(out, kReplacementUtf8, 3);
      out += 3;
    } else if (code < 0x80) {
      std::memcpy(out, escapes.text[code], sizeof escapes.text[code]);
      out += escapes.length[code];
    } else {
      out = PutUtf8(code, out);
    }
  }
  *characters += count;
  return out;
}

void AppendExcerpt(const char* text, const tExcerpt& excerpt, bool json, std::string* out,
                   std::vector<std::pair<int32_t, int32_t>>* marks) {
  static constexpr char kOpen[] = "<mark>";
  static constexpr char kClose[] = "</mark>";
  marks->clear();
  const tEscapes& escapes = EscapesFor(json);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const size_t length =
      excerpt.end > excerpt.begin ? static_cast<size_t>(excerpt.end - excerpt.begin) : 0;
  // One pass into a buffer with room for the longest outcome (the escapes copy 8 bytes at
  // once), then one copy.
  const size_t room = 2 + 2 * (sizeof kEllipsis - 1) +
                      excerpt.marks.size() * (sizeof kOpen + sizeof kClose - 2) +
                      length * kMostPerByte + 8;
  thread_local std::vector<char> buffer;
  if (buffer.size() < room) buffer.resize(std::max(room, 2 * buffer.size()));
  char* const first = buffer.data();
  char* put = first;
  if (json) *put++ = '"';
  int32_t characters = 0;  // of the plain excerpt so far
  if (excerpt.cutBefore) {
    std::memcpy(put, kEllipsis, sizeof kEllipsis - 1);
    put += sizeof kEllipsis - 1;
    ++characters;
  }
  int32_t from = excerpt.begin;
  for (const tTextRange& mark : excerpt.marks) {
    put = PutPiece(bytes, from, mark.start, escapes, put, &characters);
    const int32_t start = characters;
    std::memcpy(put, kOpen, sizeof kOpen - 1);
    put += sizeof kOpen - 1;
    put = PutPiece(bytes, mark.start, mark.end, escapes, put, &characters);
    std::memcpy(put, kClose, sizeof kClose - 1);
    put += sizeof kClose - 1;
    marks->emplace_back(start, characters);
    from = mark.end;
  }
  put = PutPiece(bytes, from, excerpt.end, escapes, put, &characters);
  if (excerpt.cutAfter) {
    std::memcpy(put, kEllipsis, sizeof kEllipsis - 1);
    put += sizeof kEllipsis - 1;
  }
  if (json) *put++ = '"';
  out->append(first, static_cast<size_t>(put - first));
}

}  // namespace

void AppendHtmlEscaped(const std::string& utf8, std::string* html) {
  const tEscapes& escapes = EscapesFor(false);
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      html->append(escapes.text[byte], escapes.length[byte]);
    } else {
      html->push_back(c);
    }
  }
}

void AppendExcerptHtml(const char* text, const tExcerpt& excerpt, std::string* html,
                       std::vector<std::pair<int32_t, int32_t>>* marks) {
  AppendExcerpt(text, excerpt, false, html, marks);
}

void AppendExcerptJson(const char* text, const tExcerpt& excerpt, std::string* json,
                       std::vector<std::pair<int32_t, int32_t>>* marks) {
  AppendExcerpt(text, excerpt, true, json, marks);
}
