// The excerpt HTML against a model written character by character through the public
// converter, over random GBK text with escapes, control characters, pairs without a Unicode
// form and lone bytes; and its JSON form against AppendJsonString of the HTML.
#include "formats/snippet_html.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/text/encoding.h"
#include "formats/json_page.h"

namespace {

int CodePoints(const std::string& utf8) {
  int count = 0;
  for (const char byte : utf8) count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  return count;
}

void Escaped(const std::string& utf8, std::string* html) {
  for (const char c : utf8) {
    switch (c) {
      case '&':
        *html += "&amp;";
        break;
      case '<':
        *html += "&lt;";
        break;
      case '>':
        *html += "&gt;";
        break;
      case '"':
        *html += "&quot;";
        break;
      case '\'':
        *html += "&#39;";
        break;
      default:
        *html += c;
    }
  }
}

// The HTML of text[from, to) and its characters, one character at a time: a pair the
// converter turns into one character that is not U+FFFD is that character; any other byte
// stands alone.
int32_t ModelPiece(const std::string& text, int32_t from, int32_t to, std::string* html) {
  int32_t characters = 0;
  for (int32_t i = from; i < to; ++characters) {
    const auto c = static_cast<unsigned char>(text[static_cast<size_t>(i)]);
    std::string utf8;
    int width = 1;
    if (c >= 0x80 && i + 1 < to) {
      AppendGbkAsUtf8(text.data() + i, 2, &utf8);
      if (CodePoints(utf8) == 1 && utf8 != "\xEF\xBF\xBD") width = 2;
    }
    if (width == 1) {
      utf8.clear();
      AppendGbkAsUtf8(text.data() + i, 1, &utf8);
    }
    Escaped(utf8, html);
    i += width;
  }
  return characters;
}

TEST(ExcerptHtml, AgreesWithTheModelAndItsJsonFormWithAppendJsonString) {
  const std::vector<std::string> pieces = {"a",
                                           "Z",
                                           " ",
                                           "&",
                                           "<",
                                           ">",
                                           "\"",
                                           "'",
                                           "\\",
                                           "\n",
                                           "\t",
                                           "\r",
                                           std::string(1, '\x01'),
                                           "\x7F",
                                           "\xD6\xD0",
                                           "\xB9\xFA",
                                           "\xA1\xA3",
                                           "\xAA\xA1",
                                           "\x81\x40",
                                           "\xFF\xFF",
                                           "\x80",
                                           "\xA3\xC1"};
  std::mt19937 random(17);
  std::string html;
  std::string json;
  std::string expected;
  std::vector<std::pair<int32_t, int32_t>> marks;
  std::vector<std::pair<int32_t, int32_t>> jsonMarks;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int n = static_cast<int>(random() % 40); n > 0; --n) {
      text += pieces[random() % pieces.size()];
    }
    if (random() % 4 == 0) text += '\xB0';  // a lead byte at the end stands alone
    // Character starts as the excerpt sees them (a lead byte takes the next byte).
    std::vector<int32_t> starts;
    for (size_t i = 0; i < text.size();
         i += static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size() ? 2 : 1) {
      starts.push_back(static_cast<int32_t>(i));
    }
    starts.push_back(static_cast<int32_t>(text.size()));
    const size_t last = starts.size() - 1;
    tExcerpt excerpt;
    const size_t begin = random() % (last + 1);
    const size_t end = begin + random() % (last - begin + 1);
    excerpt.begin = starts[begin];
    excerpt.end = starts[end];
    excerpt.cutBefore = random() % 2 == 0;
    excerpt.cutAfter = random() % 2 == 0;
    for (size_t c = begin; c < end; c += 1 + random() % 4) {
      const size_t stop = std::min(end, c + 1 + random() % 3);
      excerpt.marks.push_back({starts[c], starts[stop]});
      c = stop;
    }
    // The model.
    expected.clear();
    std::vector<std::pair<int32_t, int32_t>> expectedMarks;
    int32_t characters = 0;
    if (excerpt.cutBefore) {
      expected += "\xE2\x80\xA6";
      ++characters;
    }
    int32_t at = excerpt.begin;
    for (const tTextRange& mark : excerpt.marks) {
      characters += ModelPiece(text, at, mark.start, &expected);
      const int32_t start = characters;
      expected += "<mark>";
      characters += ModelPiece(text, mark.start, mark.end, &expected);
      expected += "</mark>";
      expectedMarks.emplace_back(start, characters);
      at = mark.end;
    }
    ModelPiece(text, at, excerpt.end, &expected);
    if (excerpt.cutAfter) expected += "\xE2\x80\xA6";

    html = "prefix";
    AppendExcerptHtml(text.data(), excerpt, &html, &marks);
    ASSERT_EQ(html, "prefix" + expected) << round;
    ASSERT_EQ(marks, expectedMarks) << round;
    json = "{";
    AppendExcerptJson(text.data(), excerpt, &json, &jsonMarks);
    std::string quoted = "{";
    AppendJsonString(expected, &quoted);
    ASSERT_EQ(json, quoted) << round;
    ASSERT_EQ(jsonMarks, expectedMarks) << round;
  }
}

}  // namespace
