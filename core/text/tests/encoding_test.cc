// Tests of the encoding module: GBK decoding with U+FFFD for what starts no character, strict
// UTF-8 validation, and UTF-8 to GBK conversion that refuses characters without a GBK form.
#include "core/text/encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EncodingTest, ConversionsAreStrictInAndVisibleOut) {
  const struct {
    std::string gbk;
    std::string utf8;
  } decodings[] = {
      {"abc", "abc"},
      {"\xD6\xD0\xB9\xFA", "\xE4\xB8\xAD\xE5\x9B\xBD"},
      {"a\x80z", "a\xE2\x82\xACz"},  // the euro sign of code page 936
      {"a\xFFz", "a\xEF\xBF\xBDz"},
      {"\xFF\xD6\xD0", "\xEF\xBF\xBD\xE4\xB8\xAD"},
      {"x\xD6", "x\xEF\xBF\xBD"},  // a lead byte at the end
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& decoding : decodings) {
    std::string utf8;
    AppendGbkAsUtf8(decoding.gbk.data(), decoding.gbk.size(), &utf8);
    EXPECT_EQ(utf8, decoding.utf8) << decoding.gbk;
  }
  const struct {
    std::string text;
    bool valid;
  } utf8Cases[] = {{"plain", true},
                   {"\xE4\xB8\xAD", true},
                   {"\xC3\x28", false},
                   {"\xE4\xB8", false},
                   {"\xC0\xAF", false},
                   {"\xED\xA0\x80", false},
                   {"\xF4\x90\x80\x80", false},
                   {"\xF0\x9F\x98\x80", true},
                   {"\xFF", false}};
  for (const auto& item : utf8Cases) EXPECT_EQ(IsValidUtf8(item.text), item.valid) << item.text;
  std::string gbk;
  EXPECT_TRUE(Utf8ToGbk("\xE4\xB8\xAD", &gbk));
  EXPECT_EQ(gbk, "\xD6\xD0");
  EXPECT_FALSE(Utf8ToGbk("\xF0\x9F\x98\x80", &gbk));  // an emoji has no GBK form
}

}  // namespace
