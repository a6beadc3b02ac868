// Tests of StripMarkup, NormalizeText and gbk::FindAligned. String literals are compiled to GBK,
// so "中国" below is the four bytes D6 D0 B9 FA.
#include "core/text/text_clean.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/text/gbk_chars.h"

namespace {

using gbk::FindAligned;

std::string Strip(const std::string& raw) {
  std::vector<char> output(raw.size() + 1, 'X');
  int length = -1;
  StripMarkup(raw.data(), static_cast<int>(raw.size()), output.data(), &length);
  EXPECT_GE(length, 0);
  EXPECT_LE(static_cast<size_t>(length), raw.size());
  EXPECT_EQ(output[length], '\0');
  return std::string(output.data(), static_cast<size_t>(length));
}

std::string StripInPlace(const std::string& raw) {
  std::vector<char> buffer(raw.begin(), raw.end());
  buffer.push_back('\0');
  int length = -1;
  StripMarkup(buffer.data(), static_cast<int>(raw.size()), buffer.data(), &length);
  return std::string(buffer.data(), static_cast<size_t>(length));
}

std::string Normalize(const std::string& raw) {
  std::vector<char> buffer(raw.begin(), raw.end());
  buffer.push_back('\0');
  NormalizeText(buffer.data());
  return std::string(buffer.data());
}

struct CleanCase {
  const char* raw;
  const char* cleaned;
};

// Characters whose second byte looks like markup: 皗 = B0 7B ("{"), 皚 = B0 7D ("}"),
// 皀 = B0 6E ("n").
TEST(StripMarkupTest, TrailBytesOfTestCharactersAreMarkupLookalikes) {
  EXPECT_EQ(std::string("皗"), "\xB0\x7B");
  EXPECT_EQ(std::string("皚"), "\xB0\x7D");
  EXPECT_EQ(std::string("皀"), "\xB0\x6E");
}

const CleanCase kStripCases[] = {
    // Tags, comments and scripts.
    {"<p>中国</p>", " 中国 "},
    {"x<!-- note -->y", "x y"},
    {"x<!-->y", "x y"},
    {"x<!-- open y", "x<!-- open y"},
    {"<br/>a</b>", " a "},
    {"a<?xml v?>b", "a b"},
    {"a<!DOCTYPE html>b", "a b"},
    {"a<1b>c", "a<1b>c"},
    {"a < b > c", "a < b > c"},
    {"a<b", "a<b"},
    {"a<", "a<"},
    {"<script>var a = 1 < 2;</script>after", " after"},
    {"<SCRIPT>if (a > b) x();</SCRIPT>after", " after"},
    {"<Script>x</script >tail", " tail"},
    {"<script>ab", " ab"},  // too short for a script element: an ordinary tag
    {"<script>never closed", "<script>never closed"},
    // Entities.
    {"&amp;", " "},
    {"a&nbsp;b", "a b"},
    {"&lt;b&gt;", " "},
    {"x&lt;b&gt;bold&lt;/b&gt;y", "x bold y"},
    {"x&lt;y", "x y"},
    {"a&#65;b", "a b"},
    {"a&#1234;b", "a b"},
    {"a&#20013;b", "a&#20013;b"},  // ";" 7 bytes away: not a numeric reference
    {"a&#;bc", "a bc"},
    {"R&D", "R&D"},
    {"a & b;", "a & b;"},
    {"&verylongname;", "&verylongname;"},
    {"a&", "a&"},
    // Percent escapes.
    {"a%41b", "aAb"},
    {"%d6%D0%b9%fa", "中国"},
    {"a%00b", "a b"},
    {"50%off", "50%off"},
    {"100%", "100%"},
    {"%4", "%4"},
    // Brace blocks.
    {"{abc}x", " x"},
    {"a { x }b", "a  b"},
    {"a{ x }b", "a{ x }b"},
    {"{1}x", "{1}x"},
    {"{abc}", "{abc}"},  // the "}" must not be the last byte
    {"word} more}", "word} more}"},
    {"{abc", "{abc"},
    // Bare "nbsp;".
    {"a nbsp;b", "a  b"},
    {"anbsp;", "anbsp;"},
    {"nbsp", "nbsp"},
    // Two-byte characters are never split: a trail byte is not markup.
    {"皗abc}x", "皗abc}x"},
    {"皀bsp;x", "皀bsp;x"},
    {"a皚b", "a皚b"},
    {"{ab皚cd}x", " x"},     // the block ends at the real "}", not at the trail byte
    {"{ab皚cd", "{ab皚cd"},  // no real "}": nothing is removed
    {"x皗 皗 }y", "x皗 皗 }y"},
    {"中\xB0", "中\xB0"},      // a lead byte as the last byte stays
    {"\xB0<b>x", "\xB0<b>x"},  // a lead byte takes even a "<" as its trail
    {"\xB0\xB0<b>x", "\xB0\xB0 x"},
    {"a中皀bsp;", "a中皀bsp;"},
    {"a中文nbsp;x", "a中文 x"},
    {"中皗ab}x", "中皗ab}x"},
};

TEST(StripMarkupTest, CleansTheTable) {
  for (const CleanCase& row : kStripCases) {
    EXPECT_EQ(Strip(row.raw), row.cleaned) << "raw: " << row.raw;
    EXPECT_EQ(StripInPlace(row.raw), row.cleaned) << "in place, raw: " << row.raw;
  }
}

TEST(StripMarkupTest, TagMustCloseWithin500Bytes) {
  std::string near = "<a" + std::string(497, 'x') + ">z";  // ">" 499 bytes after "<"
  std::string far = "<a" + std::string(498, 'x') + ">z";   // 500 bytes after
  EXPECT_EQ(Strip(near), " z");
  EXPECT_EQ(Strip(far), far);
}

TEST(StripMarkupTest, EscapedTagMustCloseWithin700Bytes) {
  std::string near = "&lt;" + std::string(695, 'x') + "&gt;z";  // "&gt;" at 699
  std::string far = "&lt;" + std::string(696, 'x') + "&gt;z";   // at 700: only "&lt;" goes
  EXPECT_EQ(Strip(near), " z");
  EXPECT_EQ(Strip(far), " " + std::string(696, 'x') + " z");
}

TEST(StripMarkupTest, BraceBlockMustCloseWithin500Bytes) {
  std::string near = "{a" + std::string(497, 'x') + "}z";
  std::string far = "{a" + std::string(498, 'x') + "}z";
  EXPECT_EQ(Strip(near), " z");
  EXPECT_EQ(Strip(far), far);
}

// The searches stop at the given length even when the bytes after it would complete the
// markup, and NUL bytes inside the input are ordinary bytes.
TEST(StripMarkupTest, ReadsOnlyTheGivenLength) {
  const char text[] = "<a x>y";
  char output[16];
  int length = 0;
  StripMarkup(text, 4, output, &length);
  EXPECT_EQ(std::string(output, length), "<a x");

  const char comment[] = "<!-- x -->";
  StripMarkup(comment, 8, output, &length);
  EXPECT_EQ(std::string(output, length), "<!-- x -");

  std::string withNul("a\0<b>c", 6);
  EXPECT_EQ(Strip(withNul), std::string("a\0 c", 4));
  EXPECT_EQ(Strip(""), "");
}

// Random byte soup rich in markup bytes and GBK lead bytes, in exactly sized buffers so that
// the sanitizer build catches any read or write outside them. The in-place run must agree.
TEST(StripMarkupTest, RandomInputStaysInsideItsBuffers) {
  const std::string alphabet = "<>!-/?&;#%{}nbsp; \t\r\nsScriptRIPT>0aF9zx\xB0\x81\xFE\x7B\x7D";
  std::mt19937 random(20261208);
  for (int round = 0; round < 3000; ++round) {
    size_t size = random() % (round < 2000 ? 64 : 1200);
    std::string raw(size, '\0');
    for (char& c : raw) {
      c = random() % 8 == 0 ? static_cast<char>(random() % 256)
                            : alphabet[random() % alphabet.size()];
    }
    std::unique_ptr<char[]> input(new char[size == 0 ? 1 : size]);
    std::memcpy(input.get(), raw.data(), size);
    std::unique_ptr<char[]> output(new char[size + 1]);
    int length = -1;
    StripMarkup(input.get(), static_cast<int>(size), output.get(), &length);
    ASSERT_GE(length, 0);
    ASSERT_LE(static_cast<size_t>(length), size);
    ASSERT_EQ(output[length], '\0');
    std::string separate(output.get(), static_cast<size_t>(length));

    std::unique_ptr<char[]> shared(new char[size + 1]);
    std::memcpy(shared.get(), raw.data(), size);
    StripMarkup(shared.get(), static_cast<int>(size), shared.get(), &length);
    ASSERT_EQ(std::string(shared.get(), static_cast<size_t>(length)), separate) << round;
  }
}

// A plain, unoptimised statement of the cleaning rules: one position at a time, whole-text
// searches, characters stepped one by one. The real scanner skips runs and remembers its
// searches; both must give the same text.
class CReferenceStripper {
 public:
  explicit CReferenceStripper(const std::string& input)
      : m_in(input), m_length(static_cast<int>(input.size())) {}

  std::string Run() {
    while (m_at < m_length) {
      unsigned char c = Byte(m_at);
      if (c >= 0x80 && m_at + 1 < m_length) {
        m_out.append(m_in, m_at, 2);
        m_previous = Byte(m_at + 1);
        m_at += 2;
        continue;
      }
      if (!Tag() && !Entity() && !Percent() && !Brace() && !Nbsp()) {
        m_out += m_in[m_at];
        m_previous = c;
        ++m_at;
      }
    }
    return m_out;
  }

 private:
  unsigned char Byte(int at) const { return static_cast<unsigned char>(m_in[at]); }
  static bool Letter(unsigned char c) { return std::isalpha(c) != 0 && c < 0x80; }
  static bool Space(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool Hex(unsigned char c) { return c < 0x80 && std::isxdigit(c) != 0; }
  int Find(const std::string& pattern, int from) const {
    size_t hit = m_in.find(pattern, static_cast<size_t>(from));
    return hit == std::string::npos ? -1 : static_cast<int>(hit);
  }
  bool Remove(int last) {
    m_out += ' ';
    m_previous = Byte(last);
    m_at = last + 1;
    return true;
  }

  bool Tag() {
    if (Byte(m_at) != '<' || m_at + 1 >= m_length) return false;
    unsigned char next = Byte(m_at + 1);
    if (!Letter(next) && next != '/' && next != '!' && next != '?') return false;
    if (m_at + 4 < m_length && m_in.compare(m_at + 1, 3, "!--") == 0) {
      int close = Find("-->", m_at);
      return close >= 0 && Remove(close + 2);
    }
    std::string seven = m_in.substr(m_at + 1, 7);
    for (char& c : seven) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (m_at + 15 < m_length && seven == "script>") {
      int close = Find("</s", m_at + 7);
      if (close < 0) close = Find("</S", m_at + 7);
      int end = close < 0 ? -1 : Find(">", close);
      return end >= 0 && Remove(end);
    }
    int end = Find(">", m_at);
    return end >= 0 && end - m_at < 500 && Remove(end);
  }

  bool Entity() {
    if (Byte(m_at) != '&' || m_at + 1 >= m_length) return false;
    int semicolon = Find(";", m_at);
    if (semicolon < 0) return false;
    int distance = semicolon - m_at;
    if (Byte(m_at + 1) == '#') return distance < 7 && m_at + 4 < m_length && Remove(semicolon);
    if (distance < 5 && m_in.compare(m_at, 4, "&lt;") == 0) {
      int gt = Find("&gt;", m_at);
      return gt >= 0 && gt - m_at < 700 ? Remove(gt + 3) : Remove(m_at + 3);
    }
    return Letter(Byte(m_at + 1)) && distance < 10 && Remove(semicolon);
  }

  bool Percent() {
    if (Byte(m_at) != '%' || m_at + 2 >= m_length || !Hex(Byte(m_at + 1)) || !Hex(Byte(m_at + 2))) {
      return false;
    }
    int value = std::stoi(m_in.substr(m_at + 1, 2), nullptr, 16);
    m_out += value == 0 ? ' ' : static_cast<char>(value);
    m_previous = Byte(m_at + 2);
    m_at += 3;
    return true;
  }

  bool Brace() {
    if (Byte(m_at) != '{' || m_at + 1 >= m_length) return false;
    bool opens = Letter(Byte(m_at + 1)) ||
                 (m_at + 2 < m_length && m_at > 0 && Space(Byte(m_at + 1)) && Space(m_previous));
    if (!opens) return false;
    for (int at = m_at + 1; at < m_length && at - m_at < 500; at += Byte(at) >= 0x80 ? 2 : 1) {
      if (Byte(at) == '}') return at + 1 < m_length && Remove(at);
    }
    return false;
  }

  bool Nbsp() {
    return m_at + 5 < m_length && m_in.compare(m_at, 5, "nbsp;") == 0 && Remove(m_at + 4);
  }

  const std::string& m_in;
  int m_length;
  std::string m_out;
  int m_at = 0;
  unsigned char m_previous = 0;
};

TEST(StripMarkupTest, AgreesWithThePlainStatementOfTheRules) {
  const std::string pieces[] = {"<",  ">",    "<!--", "-->", "<script>", "</script>", "</S",  "&",
                                ";",  "&lt;", "&gt;", "&#",  "&amp;",    "%",         "%4",   "1F",
                                "{",  "}",    "{a",   " { ", "nbsp;",    "n",         "x",    " ",
                                "\n", "ab",   "中",   "皗",  "皚",       "皀",        "\xB0", "0"};
  std::mt19937 random(4242);
  for (int round = 0; round < 20000; ++round) {
    std::string raw;
    for (int count = static_cast<int>(random() % 40); count > 0; --count) {
      raw += pieces[random() % (sizeof pieces / sizeof pieces[0])];
    }
    if (round % 100 == 0) raw += std::string(random() % 800, 'y') + ">}&gt;";
    ASSERT_EQ(Strip(raw), CReferenceStripper(raw).Run()) << "raw: " << raw;
  }
}

// Text without any markup byte comes out unchanged, whatever its two-byte characters hold.
TEST(StripMarkupTest, PlainGbkTextIsUnchanged) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::string text;
    for (int i = 0; i < 100; ++i) {
      text += static_cast<char>(0x81 + random() % 0x7E);
      int trail = 0x40 + random() % 0xBF;
      text += static_cast<char>(trail == 0x7F ? 0x7B : trail);
      text += random() % 2 ? "ab" : "nbsp";
    }
    ASSERT_EQ(Strip(text), text);
  }
}

const CleanCase kNormalizeCases[] = {
    {"ＡＢ１２，Hello", "AB12\thello"},
    {"a_b/c", "a\tb\tc"},
    {"\"x\",y", "\tx\t\ty"},
    {"，A", "\ta"},
    {"（x）【y】", "(x)(y)"},
    {"中国。人民、A", "中国\t人民\ta"},
    {"ａｂｃｘｙｚ０９", "abcxyz09"},
    {"＼｜．‘“”＇－—", "\t\t\t\t\t\t\t\t\t"},
    {"\xAA\xA4", "\t"},
    {"ā", "ā"},  // A8 A1 spans two characters of the "(" set; not a member
    {"ABC", "abc"},
    {"中\xB0", "中\xB0"},
    {"", ""},
};

TEST(NormalizeTextTest, NormalizesTheTable) {
  for (const CleanCase& row : kNormalizeCases) {
    EXPECT_EQ(Normalize(row.raw), row.cleaned) << "raw: " << row.raw;
  }
}

// Every two-byte character against a plain map of the replacements.
TEST(NormalizeTextTest, EveryTwoByteCharacterMatchesTheReplacementMap) {
  std::map<std::string, std::string> replaced = {
      {"（", "("},  {"【", "("},  {"）", ")"},  {"】", ")"},  {"＼", "\t"},      {"｜", "\t"},
      {"，", "\t"}, {"．", "\t"}, {"。", "\t"}, {"、", "\t"}, {"‘", "\t"},       {"“", "\t"},
      {"”", "\t"},  {"＇", "\t"}, {"－", "\t"}, {"—", "\t"},  {"\xAA\xA4", "\t"}};
  for (char c = '0'; c <= '9'; ++c)
    replaced[std::string{'\xA3', static_cast<char>(c + 0x80)}] = std::string(1, c);
  for (char c = 'A'; c <= 'Z'; ++c)
    replaced[std::string{'\xA3', static_cast<char>(c + 0x80)}] = std::string(1, c);
  for (char c = 'a'; c <= 'z'; ++c)
    replaced[std::string{'\xA3', static_cast<char>(c + 0x80)}] = std::string(1, c);
  ASSERT_EQ(replaced.size(), 17u + 10 + 26 + 26);
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      std::string character{static_cast<char>(lead), static_cast<char>(trail)};
      auto hit = replaced.find(character);
      std::string expected = hit == replaced.end() ? character : hit->second;
      ASSERT_EQ(Normalize("x" + character + "Q"), "x" + expected + "q") << lead << " " << trail;
    }
  }
}

TEST(FindAlignedTest, ReportsOnlyAnEvenFirstOccurrence) {
  EXPECT_EQ(FindAligned("abcd", "cd"), 2);
  EXPECT_EQ(FindAligned("abcd", "ab"), 0);
  EXPECT_EQ(FindAligned("abcd", "bc"), -1);
  EXPECT_EQ(FindAligned("abcd", ""), -1);
  EXPECT_EQ(FindAligned("abcd", "e"), -1);
  EXPECT_EQ(FindAligned("", "a"), -1);
  EXPECT_EQ(FindAligned("xaaa", "aa"), -1);  // first at 1, although 2 would be even
  EXPECT_EQ(FindAligned("（【", "【"), 2);
}

}  // namespace
