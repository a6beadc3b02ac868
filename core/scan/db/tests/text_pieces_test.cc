// The length of a wide piece is where the driver put its terminator, whatever length it
// reported: drivers that report too little, too much or nothing, and stale bytes of an
// earlier piece that must not be taken for text.
#include "core/scan/db/text_pieces.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A piece buffer of `capacity` units as the driver left it: `written` (terminator included)
// at the start, the sentinel after it.
std::vector<char16_t> Piece(const std::u16string& written, size_t capacity) {
  std::vector<char16_t> piece(capacity, kPieceSentinel);
  for (size_t i = 0; i < written.size() && i < capacity; ++i) piece[i] = written[i];
  return piece;
}

TEST(WrittenTextUnits, TheTerminatorDecidesWhereTheReportDisagrees) {
  const std::u16string nul(1, u'\0');
  struct Case {
    const char* what;
    std::u16string written;
    int64_t reported;
    size_t expected;
  } const cases[] = {
      {"report agrees", u"中国人民" + nul, 4, 4},
      {"empty text", nul, 0, 0},
      {"reported two too few", u"要有礼貌在这种" + nul, 5, 7},
      {"reported too many", u"abc" + nul, 6, 3},
      {"reported far beyond the buffer", u"abc" + nul, 1000, 3},
      {"no total", u"abcd" + nul, -1, 4},
      {"a NUL inside the text, report agrees", u"ab" + nul + u"cd" + nul, 5, 5},
      {"a NUL inside, reported too many", u"ab" + nul + u"cd" + nul, 7, 5},
      {"no terminator at all", u"abc", 1, 3},
  };
  for (const Case& c : cases) {
    std::vector<char16_t> piece = Piece(c.written, 16);
    EXPECT_EQ(WrittenTextUnits(piece.data(), piece.size(), c.reported), c.expected) << c.what;
  }
}

TEST(WrittenTextUnits, AFullBufferEndsAtItsLastUnit) {
  std::u16string text(15, u'长');
  std::vector<char16_t> piece = Piece(text + std::u16string(1, u'\0'), 16);
  EXPECT_EQ(WrittenTextUnits(piece.data(), piece.size(), 13), 15u);
  EXPECT_EQ(WrittenTextUnits(piece.data(), piece.size(), 40), 15u);
}

}  // namespace
