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
    bool valid;
  } const cases[] = {
      {"", "", true},
      {"plain ascii", "plain ascii", true},
      {u8"中国人民", "中国人民", true},
      {u8"a😀b", "a?b", true},  // outside GBK: one "?" per character
      {u8"😀😀", "??", true},
      {u8"表１２", "表１２", true},  // second bytes that look like ASCII survive
      {u8"€中国", "?中国", true},    // GBK's one-byte euro 0x80 would swallow the next byte
      {std::string("\xD0\xBB\xD0\xBB"), "лл", true},  // as UTF-8 these bytes are "лл"
      // Bytes that are no UTF-8 become "?" each; the rest is still converted.
      {std::string("中"), "??", false},              // GBK bytes are not guessed to be GBK
      {std::string("\xC0\xAF"), "??", false},        // overlong form
      {std::string("ab\xE4\xB8"), "ab??", false},    // cut-off sequence
      {std::string("\xFF") + u8"中", "?中", false},  // one bad byte, then a character
  };
  CGbkConverter converter;
  ASSERT_TRUE(converter.IsReady());
  for (const Case& c : cases) {
    std::string gbk = "stale";
    EXPECT_EQ(converter.Utf8ToGbk(c.utf8.data(), c.utf8.size(), &gbk), c.valid) << c.utf8;
    EXPECT_EQ(gbk, c.gbk) << c.utf8;
  }
}

TEST(GbkConverterTest, GbkIsCopiedWithBytesThatStartNoCharacterReplaced) {
  struct Case {
    std::string in;
    std::string out;
    bool valid;
  } const cases[] = {
      {"", "", true},
      {"谢谢 ok", "谢谢 ok", true},  // D0 BB D0 BB: GBK, though also valid UTF-8
      {"\x81\x40\xFE\xFE", "\x81\x40\xFE\xFE", true},
      {"\x80中", "?中", false},  // 0x80 starts no GBK character
      {"a\xFF", "a?", false},
      {"中\xB0", "中?", false},        // a first byte at the end
      {"\xB0\x7F!", "?\x7F!", false},  // 0x7F cannot follow
      {"\xB0\x20中", "? 中", false},   // nor can a blank; the blank stays
  };
  for (const Case& c : cases) {
    std::string gbk = "stale";
    EXPECT_EQ(CGbkConverter::CopyGbk(c.in.data(), c.in.size(), &gbk), c.valid) << c.in;
    EXPECT_EQ(gbk, c.out) << c.in;
  }
}

// The engine reads every byte from 0x80 up as the first of a two-byte character: no
// character of the basic plane may come out as a lone such byte or a pair whose first byte
// is not a GBK first byte.
TEST(GbkConverterTest, NoCharacterBecomesALoneHighByte) {
  int converted = 0;
  for (uint32_t code = 0x80; code < 0x10000; ++code) {
    if (code >= 0xD800 && code < 0xE000) continue;
    char16_t unit = static_cast<char16_t>(code);
    std::string gbk;
    CGbkConverter::Utf16ToGbk(&unit, 1, &gbk);
    if (gbk == "?") continue;
    ++converted;
    ASSERT_EQ(gbk.size(), 2u) << code;
    unsigned char lead = static_cast<unsigned char>(gbk[0]);
    ASSERT_TRUE(lead >= 0x81 && lead <= 0xFE) << code;
  }
  EXPECT_GT(converted, 20000);  // GBK holds over 21000 characters
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
