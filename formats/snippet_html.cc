#include "formats/snippet_html.h"

#include "core/text/encoding.h"

namespace {

constexpr char kEllipsis[] = "\xE2\x80\xA6";  // U+2026 in UTF-8

int32_t CodePoints(const std::string& utf8) {
  int32_t count = 0;
  for (const char byte : utf8) {
    if ((static_cast<unsigned char>(byte) & 0xC0u) != 0x80u) ++count;
  }
  return count;
}

}  // namespace

void AppendHtmlEscaped(const std::string& utf8, std::string* html) {
  for (const char c : utf8) {
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
}

void AppendExcerptHtml(const char* text, const tExcerpt& excerpt, std::string* html,
                       std::vector<std::pair<int32_t, int32_t>>* marks) {
  marks->clear();
  int32_t characters = 0;  // of the plain excerpt so far
  std::string piece;
  // Converts and appends text[from, to); each piece is converted on its own, so its
  // characters are exactly those the offsets count.
  auto append = [&](int32_t from, int32_t to) {
    if (to <= from) return;
    piece.clear();
    AppendGbkAsUtf8(text + from, static_cast<size_t>(to - from), &piece);
    characters += CodePoints(piece);
    AppendHtmlEscaped(piece, html);
  };
  if (excerpt.cutBefore) {
    html->append(kEllipsis);
    ++characters;
  }
  int32_t at = excerpt.begin;
  for (const tTextRange& mark : excerpt.marks) {
    append(at, mark.start);
    const int32_t start = characters;
    html->append("<mark>");
    append(mark.start, mark.end);
    html->append("</mark>");
    marks->emplace_back(start, characters);
    at = mark.end;
  }
  append(at, excerpt.end);
  if (excerpt.cutAfter) html->append(kEllipsis);
}
