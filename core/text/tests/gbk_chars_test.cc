// Tests of the shared character rules: how characters are paired, and what the dictionary
// check says about words against what NormalizeText really writes.
#include "core/text/gbk_chars.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/text/text_clean.h"

namespace {

TEST(GbkChars, EveryByteFrom0x80StartsATwoByteCharacterExceptAtTheEnd) {
  const struct {
    std::string text;
    size_t position;
    int width;
    int value;
  } cases[] = {
      {"a", 0, 1, 'a'},
      {"\x80\x41", 0, 2, 0x8041},  // 0x80 and "A": 0x80 pairs like every lead byte
      {"\x81\x40", 0, 2, 0x8140},
      {"\xFF\xFF", 0, 2, 0xFFFF},
      {"x\xB0", 1, 1, 0xB0},  // a lead byte as the last byte stands alone
      {"\xB0", 0, 1, 0xB0},
  };
  for (const auto& test : cases) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(test.text.data());
    int width = 0;
    EXPECT_EQ(gbk::CharAt(bytes, test.position, test.text.size(), &width), test.value) << test.text;
    EXPECT_EQ(width, test.width) << test.text;
    EXPECT_EQ(gbk::CharWidth(bytes, test.position, test.text.size()), test.width) << test.text;
  }
}

std::string Normalized(std::string text) {
  NormalizeText(&text[0]);
  return text.c_str();
}

// The reference: NormalizeText itself, run over every character. A one-byte character can
// stand in normalised text when some character normalises to a text holding it; a word
// matches text as written only when every character normalises to itself.
TEST(GbkChars, WordReachAgreesWithWhatNormalizeTextWrites) {
  std::set<unsigned char> written;  // one-byte characters of some normalised text
  auto collect = [&](const std::string& character) {
    const std::string text = Normalized(character);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0; at < text.size(); at += gbk::CharWidth(bytes, at, text.size())) {
      if (gbk::CharWidth(bytes, at, text.size()) == 1) written.insert(bytes[at]);
    }
  };
  for (int byte = 1; byte < 0x80; ++byte) collect(std::string(1, static_cast<char>(byte)));
  for (int lead = 0x80; lead < 256; ++lead) {
    for (int trail = 1; trail < 256; ++trail) {
      collect(std::string{static_cast<char>(lead), static_cast<char>(trail)});
    }
  }
  for (int byte = 1; byte < 0x80; ++byte) {
    const std::string word(1, static_cast<char>(byte));
    gbk::WordReach expected = written.count(static_cast<unsigned char>(byte)) == 0
                                  ? gbk::WordReach::kNever
                              : Normalized(word) != word ? gbk::WordReach::kFullWidthOnly
                                                         : gbk::WordReach::kAnyText;
    EXPECT_EQ(gbk::ReachInNormalizedText(word.data(), 1), expected) << byte;
  }
  for (int lead = 0x80; lead < 256; ++lead) {
    for (int trail = 1; trail < 256; ++trail) {
      const std::string word{static_cast<char>(lead), static_cast<char>(trail)};
      gbk::WordReach expected =
          Normalized(word) != word ? gbk::WordReach::kNever : gbk::WordReach::kAnyText;
      ASSERT_EQ(gbk::ReachInNormalizedText(word.data(), 2), expected) << lead << " " << trail;
    }
  }
}

TEST(GbkChars, WordReachOfWholeWords) {
  const struct {
    std::string word;
    gbk::WordReach reach;
  } cases[] = {
      {"ibm", gbk::WordReach::kAnyText},
      {"中国", gbk::WordReach::kAnyText},
      {"IBM", gbk::WordReach::kFullWidthOnly},  // "ＩＢＭ" normalises to it
      {"T恤", gbk::WordReach::kFullWidthOnly},
      {"ＩＢＭ", gbk::WordReach::kNever},
      {"Ｉ，", gbk::WordReach::kNever},
      {"A_b", gbk::WordReach::kNever},      // a capital does not hide a character never written
      {"x\xB0", gbk::WordReach::kAnyText},  // a lone lead byte at the end is kept as it is
      {"", gbk::WordReach::kAnyText},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(gbk::ReachInNormalizedText(test.word.data(), static_cast<int>(test.word.size())),
              test.reach)
        << test.word;
  }
}

}  // namespace
