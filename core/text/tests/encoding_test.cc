// Tests of the encoding module, policy by policy. Plain literals are GBK (the whole tree is
// compiled with -fexec-charset=GBK); u8 and u literals keep their Unicode.
#include "core/text/encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/gbk_reference.h"

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
  EXPECT_TRUE(Utf8ToGbk("\xE4\xB8\xAD", 3, &gbk, ToGbk::kReject));
  EXPECT_EQ(gbk, "\xD6\xD0");
  EXPECT_FALSE(Utf8ToGbk("\xF0\x9F\x98\x80", 4, &gbk, ToGbk::kReject));  // an emoji has no GBK form
}

// GBK is decoded pair by pair: a pair of the two-byte shape that GBK maps to nothing is one
// U+FFFD, and decoding goes on after it, never at its second byte.
TEST(EncodingTest, UnmappedPairsBecomeOneReplacementEach) {
  const struct {
    std::string gbk;
    std::string utf8;
  } cases[] = {
      {"朋友\xAA\xA1啊", u8"朋友\uFFFD啊"},  // AA A1 has no character; A1 B0 is not read
      {"\xAA\xA1\xAA\xA1", u8"\uFFFD\uFFFD"},
      {"\xD6<", u8"\uFFFD<"},  // 0x3C cannot follow a lead byte: read afresh
      {"\x81\x7F", u8"\uFFFD\x7F"},
      {"\xA1\xA1", u8"\u3000"},
  };
  for (const auto& c : cases) {
    std::string utf8;
    AppendGbkAsUtf8(c.gbk.data(), c.gbk.size(), &utf8);
    EXPECT_EQ(utf8, c.utf8) << c.gbk;
  }
  // Every lead and trail byte, between ASCII on both sides, against the reference decoder.
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    std::string gbk;
    for (int trail = 0; trail <= 0xFF; ++trail) {
      gbk += 'a';
      gbk += static_cast<char>(lead);
      gbk += static_cast<char>(trail);
    }
    std::string utf8;
    AppendGbkAsUtf8(gbk.data(), gbk.size(), &utf8);
    ASSERT_EQ(utf8, ReferenceGbkToUtf8(gbk)) << lead;
  }
}

TEST(EncodingTest, Utf8BecomesGbkAndUnencodableCharactersBecomeQuestionMarks) {
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
  for (const Case& c : cases) {
    std::string gbk = "stale";
    EXPECT_EQ(Utf8ToGbk(c.utf8.data(), c.utf8.size(), &gbk, ToGbk::kQuestionMark), c.valid)
        << c.utf8;
    EXPECT_EQ(gbk, c.gbk) << c.utf8;
  }
}

TEST(EncodingTest, GbkIsCopiedWithBytesThatStartNoCharacterReplaced) {
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
    EXPECT_EQ(CopyGbk(c.in.data(), c.in.size(), &gbk), c.valid) << c.in;
    EXPECT_EQ(gbk, c.out) << c.in;
  }
}

// The engine reads every byte from 0x80 up as the first of a two-byte character: no
// character of the basic plane may come out as a lone such byte or a pair whose first byte
// is not a GBK first byte.
TEST(EncodingTest, NoCharacterBecomesALoneHighByte) {
  int converted = 0;
  for (uint32_t code = 0x80; code < 0x10000; ++code) {
    if (code >= 0xD800 && code < 0xE000) continue;
    char16_t unit = static_cast<char16_t>(code);
    std::string gbk;
    Utf16ToGbk(&unit, 1, &gbk);
    if (gbk == "?") continue;
    ++converted;
    ASSERT_EQ(gbk.size(), 2u) << code;
    unsigned char lead = static_cast<unsigned char>(gbk[0]);
    ASSERT_TRUE(lead >= 0x81 && lead <= 0xFE) << code;
  }
  EXPECT_GT(converted, 20000);  // GBK holds over 21000 characters
}

TEST(EncodingTest, Utf16BecomesGbk) {
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
  for (const Case& c : cases) {
    std::string gbk;
    Utf16ToGbk(c.utf16.data(), c.utf16.size(), &gbk);
    EXPECT_EQ(gbk, c.gbk);
  }
}

TEST(EncodingTest, StatementsGoBackToUnicode) {
  std::string utf8;
  const std::string select = "select * from 表 order by 编号";
  AppendGbkAsUtf8(select.data(), select.size(), &utf8, FromGbk::kQuestionMark);
  EXPECT_EQ(utf8, u8"select * from 表 order by 编号");
  utf8.clear();
  AppendGbkAsUtf8(
      "a\xFF\xFF"
      "b",
      4, &utf8, FromGbk::kQuestionMark);  // not GBK
  EXPECT_EQ(utf8.front(), 'a');
  EXPECT_EQ(utf8.back(), 'b');
  EXPECT_NE(utf8.find('?'), std::string::npos);

  std::u16string utf16;
  GbkToUtf16("count 中文", &utf16);
  EXPECT_EQ(utf16, u"count 中文");
}

// Bytes that are no GBK character become one "?" per character as the engine pairs bytes:
// a byte from 0x80 up takes the next byte with it.
TEST(EncodingTest, InvalidGbkBecomesOneQuestionMarkPerEngineCharacter) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string("a\xFF\xFF") + "b", "a?b"},
      {"a\xFF", "a?"},
      {"\xFF\xFF\xD6\xD0", u8"?中"},
  };
  for (const auto& [gbk, expected] : cases) {
    std::string utf8;
    AppendGbkAsUtf8(gbk.data(), gbk.size(), &utf8, FromGbk::kQuestionMark);
    EXPECT_EQ(utf8, expected) << gbk;
  }
}

TEST(EncodingTest, LongTextsConvertWhole) {
  std::string utf8, expected;
  for (int i = 0; i < 5000; ++i) {
    utf8 += u8"中文😀";
    expected += "中文?";
  }
  std::string gbk;
  Utf8ToGbk(utf8.data(), utf8.size(), &gbk, ToGbk::kQuestionMark);
  EXPECT_EQ(gbk, expected);
}

// Strict conversions fail whole: the command-line tool's query and documents, and the HTTP
// query, which follows the platform's GBK (the euro sign as its one byte 0x80), while the
// question-mark policy keeps that byte out of stored text.
TEST(EncodingTest, RejectPolicyFailsWholeAndLeavesTheOutputAsItWas) {
  std::string utf8 = "kept:";
  EXPECT_TRUE(AppendGbkAsUtf8("a中", 3, &utf8, FromGbk::kReject));
  EXPECT_EQ(utf8, u8"kept:a中");
  for (const std::string bad : {"a\xFF", "\xD6", "x\xB0\x20"}) {
    utf8 = "kept:";
    EXPECT_FALSE(AppendGbkAsUtf8(bad.data(), bad.size(), &utf8, FromGbk::kReject)) << bad;
    EXPECT_EQ(utf8, "kept:") << bad;
  }
  std::string gbk;
  EXPECT_TRUE(Utf8ToGbk(u8"€中", sizeof(u8"€中") - 1, &gbk, ToGbk::kReject));
  EXPECT_EQ(gbk, "\x80中");
  EXPECT_FALSE(Utf8ToGbk("\xC0\xAF", 2, &gbk, ToGbk::kReject));  // overlong
  EXPECT_TRUE(Utf8ToGbk(u8"€中", sizeof(u8"€中") - 1, &gbk, ToGbk::kQuestionMark));
  EXPECT_EQ(gbk, "?中");
}

// The table classes exactly what the converters decode as one character.
TEST(EncodingTest, GbkTableAgreesWithDecoding) {
  const CGbkTable& table = CGbkTable::Get();
  int gb2312 = 0, gbkOnly = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      std::string utf8;
      const bool decodes = AppendGbkAsUtf8(pair, 2, &utf8, FromGbk::kReject);
      const uint8_t kind =
          table.PairClass(static_cast<unsigned char>(lead), static_cast<unsigned char>(trail));
      ASSERT_EQ(decodes, kind != CGbkTable::kNoCharacter) << lead << " " << trail;
      if (kind == CGbkTable::kGb2312) ++gb2312;
      if (kind == CGbkTable::kGbkOnly) ++gbkOnly;
    }
  }
  EXPECT_GT(gb2312, 7000);    // GB2312 holds 7445 characters
  EXPECT_GT(gbkOnly, 13000);  // GBK adds about 14000
  EXPECT_EQ(table.SingleClass('a'), CGbkTable::kGb2312);
  EXPECT_EQ(table.SingleClass(0xFF), CGbkTable::kNoCharacter);
}

// GBK arriving in pieces converts as the whole text does, wherever it is cut: a character
// split by a piece's end comes out once its second byte is in, also after an unmapped pair.
TEST(GbkToUtf8Decoder, EverySplitOfTheTextGivesTheSameUtf8) {
  const std::string kUtf8Text = u8"ab 中文，\n第二行";
  for (const std::string& text :
       {std::string("ab 中文，\n第二行"), std::string("朋友\xAA\xA1啊\xAA\xA1\xD6"),
        std::string("\xFF\xA1\xA1\x80\x81")}) {
    const std::string whole = GbkToUtf8(text);
    for (size_t split = 0; split <= text.size(); ++split) {
      CGbkToUtf8Decoder decoder;
      std::string utf8 = decoder.Feed(text.data(), split);
      utf8 += decoder.Feed(text.data() + split, text.size() - split);
      utf8 += decoder.Finish();
      EXPECT_EQ(utf8, whole) << "split at " << split << " of " << text;
    }
  }
  // One byte at a time: each character comes out once its second byte is in.
  const std::string kGbkText = "ab 中文，\n第二行";
  CGbkToUtf8Decoder decoder;
  std::string utf8;
  for (char byte : kGbkText) utf8 += decoder.Feed(&byte, 1);
  EXPECT_EQ(utf8, kUtf8Text);
}

TEST(GbkToUtf8Decoder, BytesThatStartNoCharacterBecomeReplacements) {
  const std::string kReplacement = kReplacementUtf8;
  struct {
    std::string gbk, utf8;
  } cases[] = {
      {"\xFF"
       "a",
       kReplacement + "a"},
      {"\xD6\n", kReplacement + "\n"},  // the line feed is not swallowed as a second byte
      {"\xD6\x7F", kReplacement + "\x7F"},
      {"a\xD6", "a" + kReplacement},  // the text ends inside a character
  };
  for (const auto& c : cases) {
    CGbkToUtf8Decoder decoder;
    std::string utf8 = decoder.Feed(c.gbk.data(), c.gbk.size());
    EXPECT_EQ(utf8 + decoder.Finish(), c.utf8) << c.gbk;
  }
}

}  // namespace
