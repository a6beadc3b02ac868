// Tests of the code-page conversions of the database layer. Plain literals are GBK (the
// whole tree is compiled with -fexec-charset=GBK); u8 and u literals keep their Unicode.
#include "core/records/db/gbk_converter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(GbkConverterTest, Utf8BecomesGbkAndUnencodableCharactersBecomeQuestionMarks) {
  struct Case {
    std::string utf8;
    std::string gbk;
  } const cases[] = {
      {"", ""},
      {"plain ascii", "plain ascii"},
      {u8"中国人民", "中国人民"},
      {u8"a😀b", "a?b"},  // outside GBK: one "?" per character
      {u8"😀😀", "??"},
      {u8"表１２", "表１２"},                     // second bytes that look like ASCII survive
      {std::string("中国"), "中国"},              // not UTF-8: taken as GBK already
      {std::string("\xC0\xAF"), "\xC0\xAF"},      // overlong form is not UTF-8
      {std::string("ab\xE4\xB8"), "ab\xE4\xB8"},  // cut-off sequence is not UTF-8
  };
  CGbkConverter converter;
  ASSERT_TRUE(converter.IsReady());
  for (const Case& c : cases) {
    std::string gbk = "stale";
    converter.Utf8ToGbk(c.utf8.data(), c.utf8.size(), &gbk);
    EXPECT_EQ(gbk, c.gbk) << c.utf8;
  }
}

TEST(GbkConverterTest, Utf16BecomesGbk) {
  struct Case {
    std::u16string utf16;
    std::string gbk;
  } const cases[] = {
      {u"", ""},
      {u"id", "id"},
      {u"北京大学", "北京大学"},
      {u"x😀y", "x?y"},                                          // a surrogate pair is one character
      {std::u16string(u"a") + char16_t(0xD800) + u"b", "a?b"},  // unpaired surrogate
      {std::u16string(u"z") + char16_t(0xDC00), "z?"},
  };
  CGbkConverter converter;
  for (const Case& c : cases) {
    std::string gbk;
    converter.Utf16ToGbk(c.utf16.data(), c.utf16.size(), &gbk);
    EXPECT_EQ(gbk, c.gbk);
  }
}

TEST(GbkConverterTest, StatementsGoBackToUnicode) {
  CGbkConverter converter;
  std::string utf8;
  converter.GbkToUtf8("select * from 表 order by 编号", &utf8);
  EXPECT_EQ(utf8, u8"select * from 表 order by 编号");
  converter.GbkToUtf8(std::string("a\xFF\xFF"
                                  "b"),
                      &utf8);  // not GBK
  EXPECT_EQ(utf8.front(), 'a');
  EXPECT_EQ(utf8.back(), 'b');
  EXPECT_NE(utf8.find('?'), std::string::npos);

  std::u16string utf16;
  converter.GbkToUtf16("count 中文", &utf16);
  EXPECT_EQ(utf16, u"count 中文");
}

// Bytes that are no GBK character become one "?" per character as the engine pairs bytes:
// a byte from 0x80 up takes the next byte with it.
TEST(GbkConverterTest, InvalidGbkBecomesOneQuestionMarkPerEngineCharacter) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string("a\xFF\xFF") + "b", "a?b"},
      {"a\xFF", "a?"},
      {"\xFF\xFF\xD6\xD0", u8"?中"},
  };
  CGbkConverter converter;
  for (const auto& [gbk, expected] : cases) {
    std::string utf8;
    converter.GbkToUtf8(gbk, &utf8);
    EXPECT_EQ(utf8, expected) << gbk;
  }
}

TEST(GbkConverterTest, LongTextsConvertWhole) {
  CGbkConverter converter;
  std::string utf8, expected;
  for (int i = 0; i < 5000; ++i) {
    utf8 += u8"中文😀";
    expected += "中文?";
  }
  std::string gbk;
  converter.Utf8ToGbk(utf8.data(), utf8.size(), &gbk);
  EXPECT_EQ(gbk, expected);
}

}  // namespace
