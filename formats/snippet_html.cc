#include "formats/snippet_html.h"

#include "core/text/encoding.h"

namespace {

constexpr char kEllipsis[] = "\xE2\x80\xA6";  // U+2026 in UTF-8

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
  } else {
    if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    }
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
  }
  out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
}

int32_t CodePoints(const std::string& utf8) {
  int32_t count = 0;
  for (const char byte : utf8) {
    if ((static_cast<unsigned char>(byte) & 0xC0u) != 0x80u) ++count;
  }
  return count;
}

void AppendEscaped(char c, std::string* html) {
  switch (c) {
    case '&':
      html->append("&amp;");
      break;
    case '<':
      html->append("&lt;");
      break;
    case '>':
      html->append("&gt;");
      break;
    case '"':
      html->append("&quot;");
      break;
    case '\'':
      html->append("&#39;");
      break;
    default:
      html->push_back(c);
  }
}

// Converts text[from, to) to escaped UTF-8 as AppendGbkAsUtf8 would (a byte that starts no
// GBK character becomes U+FFFD and decoding goes on at the next byte), through the
// converter's own table instead of a call per piece; returns the characters written.
int32_t AppendPiece(const char* text, int32_t from, int32_t to, std::string* html) {
  const CGbkTable& table = CGbkTable::Get();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  int32_t characters = 0;
  std::string single;
  for (int32_t i = from; i < to; ++characters) {
    const unsigned char c = bytes[i];
    if (c < 0x80) {
      AppendEscaped(static_cast<char>(c), html);
      ++i;
      continue;
    }
    const uint32_t code = i + 1 < to ? table.PairCodePoint(c, bytes[i + 1]) : 0;
    if (code != 0) {
      AppendUtf8(code, html);
      i += 2;
      continue;
    }
    // A byte that stands alone: whatever the converter makes of it, one character.
    single.clear();
    AppendGbkAsUtf8(text + i, 1, &single);
    characters += CodePoints(single) - 1;
    AppendHtmlEscaped(single, html);
    ++i;
  }
  return characters;
}

}  // namespace

void AppendHtmlEscaped(const std::string& utf8, std::string* html) {
  for (const char c : utf8) AppendEscaped(c, html);
}

void AppendExcerptHtml(const char* text, const tExcerpt& excerpt, std::string* html,
                       std::vector<std::pair<int32_t, int32_t>>* marks) {
  marks->clear();
  int32_t characters = 0;  // of the plain excerpt so far
  if (excerpt.cutBefore) {
    html->append(kEllipsis);
    ++characters;
  }
  int32_t at = excerpt.begin;
  for (const tTextRange& mark : excerpt.marks) {
    characters += AppendPiece(text, at, mark.start, html);
    const int32_t start = characters;
    html->append("<mark>");
    characters += AppendPiece(text, mark.start, mark.end, html);
    html->append("</mark>");
    marks->emplace_back(start, characters);
    at = mark.end;
  }
  AppendPiece(text, at, excerpt.end, html);
  if (excerpt.cutAfter) html->append(kEllipsis);
}
