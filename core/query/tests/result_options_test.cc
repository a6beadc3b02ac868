// Tests of what the search answers offer beside the page: the matches a query marks in a
// stored text (table of queries and texts), the excerpt around them (fixed cases and
// invariants over random texts), facet counts against a brute-force count, descending pages
// and the unknown field names of a query.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/query/facets.h"
#include "core/query/query.h"
#include "core/query/snippet.h"
#include "core/text/gbk_chars.h"
#include "core/text/text_clean.h"
#include "testing/heap_in_use.h"
#include "testing/records/query_fixture.h"
#include "testing/text_ranges.h"

namespace {

const std::vector<std::string> kWords = {"人生", "人生观", "中国", "人民",
                                         "北京", "hello",  "大学", "学生"};
// Field numbers: title 1, body 2, code 3 (not in "*"), year 4 (filter), note 5 (stored only).
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 CODE code T 1 0 1 0 代码\n"
    "4 YEAR year I 0 1 1 0 年份\n"
    "5 NOTE note T 0 0 1 0 备注\n";

// The text with every range wrapped in [ and ].
std::string Bracketed(const std::string& text, const std::vector<tTextRange>& ranges) {
  std::string out;
  int32_t at = 0;
  for (const tTextRange& range : ranges) {
    out += text.substr(static_cast<size_t>(at), static_cast<size_t>(range.start - at)) + "[" +
           text.substr(static_cast<size_t>(range.start),
                       static_cast<size_t>(range.end - range.start)) +
           "]";
    at = range.end;
  }
  return out + text.substr(static_cast<size_t>(at));
}

class ResultOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fixture.reset(new CQueryFixture(kWords, kSchema));
    ASSERT_TRUE(m_fixture->ok());
  }
  void Load(const std::vector<CMemoryRow>& rows) {
    for (const CMemoryRow& row : rows) ASSERT_TRUE(m_fixture->AddRow(row));
    ASSERT_TRUE(m_fixture->SaveAndLoad("set"));
  }
  std::unique_ptr<CQueryFixture> m_fixture;
};

struct tMarkCase {
  const char* query;
  int field;
  const char* text;
  const char* marked;
};

TEST_F(ResultOptionsTest, MarksStandWhereTheEngineMatchesAndNowhereElse) {
  const tMarkCase cases[] = {
      // A shorter word inside a longer dictionary word is not a match, and the reverse.
      {"[FIELD] body [AND] 人生", 2, "人生观与人生", "人生观与[人生]"},
      {"[FIELD] body [AND] 人生观", 2, "人生观与人生", "[人生观]与人生"},
      // The value is normalised like the text: full-width and capital letters match.
      {"[FIELD] body [AND] ｈｅｌｌｏ", 2, "say ＨＥＬＬＯ, hello ｈｅｌｌｏ",
       "say ＨＥＬＬＯ, [hello] [ｈｅｌｌｏ]"},
      {"[FIELD] body [AND] HELLO", 2, "Hello,hello", "[Hello],[hello]"},
      // A phrase: words at consecutive ordinals, which characters outside the dictionary and
      // punctuation between them do not break.
      {"[FIELD] body [AND] 中国人民", 2, "中国，人民；人民中国人民",
       "[中国，人民]；人民[中国人民]"},
      {"[FIELD] body [AND] 中国人民", 2, "中国大学人民", "中国大学人民"},
      // Overlapping phrases make one mark; touching ones stay two.
      {"[FIELD] body [AND] 中国人民 人民北京", 2, "中国人民北京", "[中国人民北京]"},
      {"[FIELD] body [AND] 中国 人民", 2, "中国人民", "[中国][人民]"},
      // A condition on another field marks nothing here; "*" marks in the fields it covers.
      {"[FIELD] title [AND] 中国", 2, "中国", "中国"},
      {"[FIELD] * [AND] 中国", 2, "中国北京", "[中国]北京"},
      {"[FIELD] * [AND] 中国", 3, "中国北京", "中国北京"},
      {"[FIELD] code [AND] 中国", 3, "中国北京", "[中国]北京"},
      // Values without a dictionary word and filter values mark nothing.
      {"[FIELD] body [AND] xyz 中国", 2, "xyz中国", "xyz[中国]"},
      {"[FIELD] body [AND] 北京 [FIELD] year [AND] 2005", 4, "2005", "2005"},
  };
  Load({});
  CQuery query(m_fixture->schema(), m_fixture->store());
  CMatchFinder finder(m_fixture->trie());
  std::vector<tTextRange> matches;
  for (const tMarkCase& test : cases) {
    query.Parse(test.query);
    CQueryPhrases phrases(m_fixture->schema(), m_fixture->trie(), query.GetConditions());
    const std::string text = test.text;
    finder.Find(text.data(), static_cast<int>(text.size()), phrases.ForField(test.field), 0,
                &matches);
    EXPECT_EQ(Bracketed(text, matches), test.marked) << test.query << " / " << test.text;
  }
  // The index saw the text up to its first NUL.
  query.Parse("[FIELD] body [AND] 北京");
  CQueryPhrases phrases(m_fixture->schema(), m_fixture->trie(), query.GetConditions());
  const std::string withNul("北京\0北京", 9);
  finder.Find(withNul.data(), static_cast<int>(withNul.size()), phrases.ForField(2), 0, &matches);
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(matches[0].start, 0);
  EXPECT_EQ(matches[0].end, 4);
}

// The matches of `phrases` as the whole text segments them: the text normalised one
// character at a time (remembering where each byte came from), segmented in one piece, the
// phrases' words looked for at consecutive ordinals; sorted, overlapping ones merged.
std::vector<tTextRange> WholeTextMatches(const CPDAT& trie, const std::string& stored,
                                         const std::vector<tPhrase>& phrases) {
  std::string normalized;
  std::vector<int32_t> source;
  NormalizeWithSource(stored, &normalized, &source);
  std::vector<int32_t> ids;
  std::vector<CPDAT::tWordSpan> spans;
  const int count = trie.Segment(normalized.c_str(), &ids, nullptr, &spans);
  std::vector<tTextRange> ranges;
  for (const tPhrase& phrase : phrases) {
    const int words = static_cast<int>(phrase.words.size());
    for (int i = 0; i + words <= count; ++i) {
      if (!std::equal(phrase.words.begin(), phrase.words.end(), ids.begin() + i)) continue;
      const CPDAT::tWordSpan& last = spans[static_cast<size_t>(i + words - 1)];
      ranges.push_back({source[static_cast<size_t>(spans[static_cast<size_t>(i)].start)],
                        source[static_cast<size_t>(last.start + last.length)]});
    }
  }
  return SortedMerged(std::move(ranges));
}

// Find segments only the pieces around the places of the first words; over random texts
// that mix words, characters of no word, separators, replaced characters, second bytes
// below 0x80 and lone bytes, it must find what the whole text's segmentation gives: all of
// it without an excerpt length, and exactly the marks of the excerpt with one.
TEST_F(ResultOptionsTest, FindAgreesWithTheWholeTextsSegmentation) {
  Load({});
  const std::vector<std::string> pieces = {
      "人生", "人生观",   "中国", "人民",     "北京", "hello", "HELLO", "ｈｅｌｌｏ", "大学",
      "学生", "生",       "国",   "观",       "，",   "。",    " ",     "-",          "x",
      "a",    "\x81\x41", "\xB0", "\xA3\xAC", "\n",   "\"",    "中\x80"};
  const char* const values[] = {"人生",      "人生观", "中国人民",          "人民 北京",   "hello",
                                "学生 大学", "大学生", "中国 人生观 hello", "北京人民中国"};
  std::mt19937 random(5);
  CQuery query(m_fixture->schema(), m_fixture->store());
  CMatchFinder finder(m_fixture->trie());
  std::vector<tTextRange> matches;
  tExcerpt excerpt;
  int marked = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int n = static_cast<int>(random() % 80); n > 0; --n) {
      text += pieces[random() % pieces.size()];
    }
    query.Parse(std::string("[FIELD] body [AND] ") + values[random() % std::size(values)]);
    const CQueryPhrases phrases(m_fixture->schema(), m_fixture->trie(), query.GetConditions());
    const std::vector<tTextRange> expected =
        WholeTextMatches(m_fixture->trie(), text, phrases.ForField(2));
    const int length = static_cast<int>(text.size());
    finder.Find(text.data(), length, phrases.ForField(2), 0, &matches);
    ASSERT_EQ(Bracketed(text, matches), Bracketed(text, expected)) << round;
    const int maxChars = 1 + static_cast<int>(random() % 30);
    finder.Find(text.data(), length, phrases.ForField(2), maxChars, &matches);
    ChooseExcerpt(text.data(), length, matches, maxChars, &excerpt);
    std::vector<tTextRange> shown;
    for (const tTextRange& range : expected) {
      const int32_t start = std::max(range.start, excerpt.begin);
      const int32_t stop = std::min(range.end, excerpt.end);
      if (start < stop) shown.push_back({start, stop});
    }
    ASSERT_EQ(Bracketed(text, excerpt.marks), Bracketed(text, shown)) << round << " " << maxChars;
    marked += static_cast<int>(shown.size());
  }
  EXPECT_GT(marked, 1000);
}

// The characters of text[begin, end) as Segment reads them in the whole text.
int CharsBetween(const std::string& text, int32_t begin, int32_t end, bool* onBoundaries) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  int chars = 0;
  bool beginSeen = begin == 0;
  bool endSeen = end == 0;
  for (size_t i = 0; i < text.size();) {
    i += static_cast<size_t>(gbk::CharWidth(bytes, i, text.size()));
    if (static_cast<int32_t>(i) > begin && static_cast<int32_t>(i) <= end) ++chars;
    beginSeen = beginSeen || static_cast<int32_t>(i) == begin;
    endSeen = endSeen || static_cast<int32_t>(i) == end;
  }
  *onBoundaries = beginSeen && endSeen;
  return chars;
}

TEST(Excerpt, FixedCases) {
  tExcerpt excerpt;
  // Short: the whole text, with its marks.
  const std::string shortText = "短文人生";
  ChooseExcerpt(shortText.data(), static_cast<int>(shortText.size()), {{4, 8}}, 10, &excerpt);
  EXPECT_EQ(excerpt.begin, 0);
  EXPECT_EQ(excerpt.end, 8);
  EXPECT_FALSE(excerpt.cutBefore || excerpt.cutAfter);
  ASSERT_EQ(excerpt.marks.size(), 1u);

  // Long, a match in the middle after a full stop: the excerpt starts after the full stop.
  std::string text;
  for (int i = 0; i < 40; ++i) text += "甲";
  text += "。";
  for (int i = 0; i < 5; ++i) text += "乙";
  const int32_t matchStart = static_cast<int32_t>(text.size());
  text += "人生";
  for (int i = 0; i < 60; ++i) text += "丙";
  ChooseExcerpt(text.data(), static_cast<int>(text.size()), {{matchStart, matchStart + 4}}, 40,
                &excerpt);
  EXPECT_EQ(excerpt.begin, 82);  // after the 40 甲 and the 。
  EXPECT_TRUE(excerpt.cutBefore);
  EXPECT_TRUE(excerpt.cutAfter);
  bool onBoundaries = false;
  EXPECT_EQ(CharsBetween(text, excerpt.begin, excerpt.end, &onBoundaries), 40);

  // Without a match: the beginning; a match near the end: the last maxChars characters.
  ChooseExcerpt(text.data(), static_cast<int>(text.size()), {}, 20, &excerpt);
  EXPECT_EQ(excerpt.begin, 0);
  EXPECT_TRUE(excerpt.cutAfter);
  const int32_t tail = static_cast<int32_t>(text.size()) - 4;
  ChooseExcerpt(text.data(), static_cast<int>(text.size()), {{tail, tail + 4}}, 20, &excerpt);
  EXPECT_EQ(excerpt.end, static_cast<int32_t>(text.size()));
  EXPECT_FALSE(excerpt.cutAfter);
  EXPECT_EQ(CharsBetween(text, excerpt.begin, excerpt.end, &onBoundaries), 20);
}

// The excerpt of a very long text leaves no buffer of its size with the thread, and the next
// excerpt is still right.
TEST(Excerpt, AVeryLongTextLeavesNoBufferOfItsSizeBehind) {
  const std::string text = std::string(16 << 20, 'a') + "中国";
  tExcerpt excerpt;
  const size_t before = HeapInUse();
  ChooseExcerpt(text.data(), static_cast<int>(text.size()),
                {{static_cast<int32_t>(text.size()) - 4, static_cast<int32_t>(text.size())}}, 20,
                &excerpt);
  EXPECT_EQ(excerpt.end, static_cast<int32_t>(text.size()));
  EXPECT_LT(HeapInUse(), before + (size_t{1} << 20));
  const std::string shortText = "北京大学";
  ChooseExcerpt(shortText.data(), static_cast<int>(shortText.size()), {{0, 4}}, 20, &excerpt);
  EXPECT_EQ(excerpt.begin, 0);
  EXPECT_EQ(excerpt.end, 8);
}

TEST(Excerpt, InvariantsOverRandomTexts) {
  std::mt19937 random(21);
  const std::vector<std::string> pieces = {"a", "b", " ", ",", "中", "国", "。", "，", "\xB0"};
  tExcerpt excerpt;
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const int pieceCount = static_cast<int>(random() % 120);
    for (int i = 0; i < pieceCount; ++i) text += pieces[random() % pieces.size()];
    const int maxChars = 1 + static_cast<int>(random() % 50);
    // Matches on character boundaries, ascending, apart.
    std::vector<int32_t> starts;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();
         i += static_cast<size_t>(gbk::CharWidth(bytes, i, text.size()))) {
      starts.push_back(static_cast<int32_t>(i));
    }
    starts.push_back(static_cast<int32_t>(text.size()));
    std::vector<tTextRange> matches;
    for (size_t c = 0; c + 1 < starts.size(); c += 1 + random() % 30) {
      const size_t end = std::min(starts.size() - 1, c + 1 + random() % 3);
      matches.push_back({starts[c], starts[end]});
      c = end;
    }
    ChooseExcerpt(text.data(), static_cast<int>(text.size()), matches, maxChars, &excerpt);
    bool onBoundaries = false;
    const int chars = CharsBetween(text, excerpt.begin, excerpt.end, &onBoundaries);
    const int allChars = static_cast<int>(starts.size()) - 1;
    ASSERT_TRUE(onBoundaries) << round;
    ASSERT_EQ(excerpt.cutBefore, excerpt.begin > 0) << round;
    ASSERT_EQ(excerpt.cutAfter, excerpt.end < static_cast<int32_t>(text.size())) << round;
    if (allChars <= maxChars) {
      ASSERT_EQ(chars, allChars) << round;
    } else {
      ASSERT_LE(chars, maxChars) << round;
      ASSERT_GE(chars, maxChars * 3 / 4) << round;
    }
    if (!matches.empty()) {
      ASSERT_LE(excerpt.begin, matches[0].start) << round;
      ASSERT_GT(excerpt.end, matches[0].start) << round;
    }
    // The marks are exactly the matches clipped to the excerpt.
    std::vector<tTextRange> clipped;
    for (const tTextRange& match : matches) {
      const int32_t start = std::max(match.start, excerpt.begin);
      const int32_t end = std::min(match.end, excerpt.end);
      if (start < end) clipped.push_back({start, end});
    }
    ASSERT_EQ(clipped.size(), excerpt.marks.size()) << round;
    for (size_t i = 0; i < clipped.size(); ++i) {
      ASSERT_EQ(clipped[i].start, excerpt.marks[i].start) << round;
      ASSERT_EQ(clipped[i].end, excerpt.marks[i].end) << round;
    }
  }
}

TEST_F(ResultOptionsTest, FacetsCountEveryHitAndDescendingPagesReverseAscendingOnes) {
  // Years close together on most records, a few far apart (the two ways of counting).
  std::vector<CMemoryRow> rows;
  std::mt19937 random(5);
  for (int record = 0; record < 300; ++record) {
    int year = 2000 + static_cast<int>(random() % 7);
    if (record % 50 == 0) year = record % 100 == 0 ? -2000000000 : 2000000000;
    rows.push_back(CMemoryRow{{"TITLE", TextValue(record % 3 == 0 ? "中国" : "北京")},
                              {"BODY", TextValue("人民")},
                              {"CODE", TextValue("")},
                              {"YEAR", IntValue(year)},
                              {"NOTE", TextValue(std::to_string(record))}});
  }
  Load(rows);
  CQuery query(m_fixture->schema(), m_fixture->store());
  for (const char* text : {"[FIELD] title [AND] 中国", "[FIELD] body [AND] 人民",
                           "[FIELD] body [AND] 人民 [FIELD] year [AND] 2003 2004"}) {
    const int total = query.Execute(text);
    ASSERT_GT(total, 0) << text;
    std::map<int32_t, int32_t> expected;
    for (const tINDEX_STRUCTURE& hit : query.GetHits()) {
      ++expected[m_fixture->store().GetFilterValue(hit.record, 0)];
    }
    const std::vector<tFacetCount> counts = CountFacet(m_fixture->store(), 0, query.GetHits(), -1);
    int32_t sum = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
      sum += counts[i].count;
      EXPECT_EQ(expected[counts[i].value], counts[i].count) << text;
      if (i > 0) {
        const bool ordered =
            counts[i - 1].count > counts[i].count ||
            (counts[i - 1].count == counts[i].count && counts[i - 1].value < counts[i].value);
        EXPECT_TRUE(ordered) << text << " at " << i;
      }
    }
    EXPECT_EQ(sum, total) << text;
    EXPECT_EQ(counts.size(), expected.size()) << text;
    const std::vector<tFacetCount> top = CountFacet(m_fixture->store(), 0, query.GetHits(), 2);
    ASSERT_EQ(top.size(), std::min<size_t>(2, counts.size()));
    for (size_t i = 0; i < top.size(); ++i) {
      EXPECT_EQ(top[i].value, counts[i].value);
      EXPECT_EQ(top[i].count, counts[i].count);
    }

    // Descending pages of 7, read one after the other, are the ascending list reversed.
    std::vector<int32_t> ascending;
    const ResultPage& all = query.GetPage(0, INT_MAX);
    const size_t fields = static_cast<size_t>(all.fieldCount);
    size_t offset = 0;
    auto notes = [&](const ResultPage& page, std::vector<int32_t>* into) {
      offset = 0;
      for (int32_t r = 0; r < page.returned; ++r) {
        for (size_t f = 0; f < fields; ++f) {
          const size_t length = static_cast<size_t>(page.valueLengths[r * fields + f]);
          if (f + 1 == fields) into->push_back(std::stoi(page.text.substr(offset, length)));
          offset += length;
        }
      }
    };
    notes(all, &ascending);
    std::vector<int32_t> descending;
    for (int start = 0; start < total + 7; start += 7) {
      const ResultPage& page = query.GetPage(start, 7, true);
      EXPECT_EQ(page.total, total);
      EXPECT_EQ(page.start, start);
      notes(page, &descending);
    }
    std::reverse(ascending.begin(), ascending.end());
    EXPECT_EQ(descending, ascending) << text;
  }
}

TEST_F(ResultOptionsTest, UnknownFieldNamesAreReportedOnceEach) {
  Load({});
  CQuery query(m_fixture->schema(), m_fixture->store());
  query.Parse(
      "[FIELD] titel [AND] x [FIELD] body [AND] y [FIELD] titel [AND] z [FIELD] Body [AND] w");
  EXPECT_EQ(query.GetUnknownFields(), (std::vector<std::string>{"titel", "Body"}));
  query.Parse("[FIELD] title [AND] x [FIELD] * [AND] y");
  EXPECT_TRUE(query.GetUnknownFields().empty());
}

}  // namespace
