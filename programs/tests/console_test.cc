// The console's choices and conversions: which encoding a stream gets, command-line text
// taken into GBK, and cutting GBK text to terminal columns. The
// installed streams are exercised by running the programs on a terminal (indexer/tests).
#include "programs/console.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ConsoleEncodingChoice, SettingForcesOtherwiseTerminalAndLocaleDecide) {
  struct {
    const char* setting;
    bool terminal, utf8Locale;
    ConsoleEncoding expected;
  } cases[] = {
      {nullptr, true, true, ConsoleEncoding::kUtf8},
      {nullptr, true, false, ConsoleEncoding::kGbk},
      {nullptr, false, true, ConsoleEncoding::kGbk},
      {"", true, true, ConsoleEncoding::kUtf8},
      {"auto", false, true, ConsoleEncoding::kGbk},
      {"AUTO", true, true, ConsoleEncoding::kUtf8},
      {"gbk", true, true, ConsoleEncoding::kGbk},
      {"GBK", true, true, ConsoleEncoding::kGbk},
      {"utf8", false, false, ConsoleEncoding::kUtf8},
      {"UTF-8", false, true, ConsoleEncoding::kUtf8},
      {"latin1", true, true, ConsoleEncoding::kUtf8},
      {"latin1", false, true, ConsoleEncoding::kGbk},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseConsoleEncoding(c.setting, c.terminal, c.utf8Locale), c.expected)
        << (c.setting ? c.setting : "(unset)") << " " << c.terminal << c.utf8Locale;
  }
  bool forced = true;
  ConsoleEncoding encoding = ConsoleEncoding::kUtf8;
  EXPECT_FALSE(ParseConsoleSetting("utf16", &forced, &encoding));
  EXPECT_FALSE(forced);
}

TEST(ConsoleEncodingChoice, TheFirstLocaleVariableSetNamesTheCodeset) {
  struct {
    const char *lcAll, *lcCtype, *lang;
    bool utf8;
  } cases[] = {
      {nullptr, nullptr, "C.UTF-8", true},
      {nullptr, nullptr, "zh_CN.utf8", true},
      {nullptr, nullptr, "en_US.UTF-8@euro", true},
      {nullptr, nullptr, "zh_CN.GBK", false},
      {nullptr, nullptr, "C", false},
      {nullptr, nullptr, nullptr, false},
      {"C", nullptr, "C.UTF-8", false},         // LC_ALL wins
      {"", "zh_CN.GB18030", "C.UTF-8", false},  // an empty LC_ALL does not count
      {nullptr, "C.UTF-8", "C", true},
      {nullptr, nullptr, "UTF-8", false},  // no codeset after a dot
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LocaleNamesUtf8(c.lcAll, c.lcCtype, c.lang), c.utf8)
        << (c.lcAll ? c.lcAll : "-") << " " << (c.lcCtype ? c.lcCtype : "-") << " "
        << (c.lang ? c.lang : "-");
  }
}

TEST(ConsoleTextToGbk, Utf8MustBeValidAndInGbk) {
  std::string gbk;
  ASSERT_TRUE(ConsoleTextToGbk(u8"[FIELD] title [AND] 人生", ConsoleEncoding::kUtf8, &gbk));
  EXPECT_EQ(gbk, "[FIELD] title [AND] 人生");
  for (const std::string& bad : {
           std::string("\xC0\x80"),      // overlong
           std::string("\xED\xA0\x80"),  // surrogate
           std::string("\xE4\xB8"),      // cut short
           std::string("\x80"
                       "abc"),               // stray continuation byte
           std::string("\xF0\x9F\x98\x80"),  // an emoji: valid, but GBK lacks it
           std::string("人生"),              // GBK bytes on a UTF-8 console
       }) {
    EXPECT_FALSE(ConsoleTextToGbk(bad, ConsoleEncoding::kUtf8, &gbk)) << bad;
  }
}

TEST(ConsoleTextToGbk, GbkPassesUnchangedWhenWellFormed) {
  std::string gbk;
  ASSERT_TRUE(ConsoleTextToGbk("[FIELD] title [AND] 人生", ConsoleEncoding::kGbk, &gbk));
  EXPECT_EQ(gbk, "[FIELD] title [AND] 人生");
  for (const std::string& bad : {std::string("a\xD6"), std::string("\x80"), std::string("\xD6\x20"),
                                 std::string("\xFF\xA1")}) {
    EXPECT_FALSE(ConsoleTextToGbk(bad, ConsoleEncoding::kGbk, &gbk)) << bad;
  }
}

TEST(GbkColumns, WideCharactersTakeTwoColumnsOthersOne) {
  struct {
    std::string text;
    size_t columns;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"中国", 4},
      {"，。", 4},  // CJK punctuation
      {"ＡＢ", 4},
      {"あア", 4},  // fullwidth, kana
      {"——", 2},
      {"αβ", 2},
      {"ПР", 2},
      {"─┼", 2},  // ambiguous: narrow
      {"a\xD6", 2},
      {"\xD6"
       " b",
       3},  // no character: U+FFFD
  };
  for (const auto& c : cases) EXPECT_EQ(GbkColumns(c.text), c.columns) << c.text;
}

TEST(CutGbkToColumns, TheCutFitsAndNeverSplitsACharacter) {
  struct {
    std::string text;
    size_t columns;
    std::string cut;
  } cases[] = {
      {"中国abc", 0, ""},     {"中国abc", 1, ""},      {"中国abc", 3, "中"},
      {"中国abc", 4, "中国"}, {"中国abc", 5, "中国a"}, {"中国abc", 99, "中国abc"},
      {"a中", 2, "a"},        {"——中", 3, "——"},       {"a\xD6", 2, "a\xD6"},
  };
  for (const auto& c : cases) {
    const std::string cut = CutGbkToColumns(c.text, c.columns);
    EXPECT_EQ(cut, c.cut) << c.text << " " << c.columns;
    EXPECT_LE(GbkColumns(cut), c.columns);
  }
}

}  // namespace
