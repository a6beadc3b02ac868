// Tests of the search-box language: the parsed tree for a table of texts (errors with their
// positions), and evaluation checked against set algebra over single-word answers of the
// brute-force reference scan, on generated records and on the demo texts.
#include "core/query/text_query.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/query/query.h"
#include "testing/records/query_fixture.h"

namespace {

struct tTreeCase {
  const char* text;
  const char* tree;  // DescribeTextTree, or "" for an error
  size_t position;   // of the error
};

TEST(TextQueryParseTest, TreesAndErrorPositions) {
  const tTreeCase cases[] = {
      {"明月", "明月", 0},
      {"  明月  故乡 ", "(and 明月 故乡)", 0},
      {"明月 故乡 OR 家乡", "(and 明月 (or 故乡 家乡))", 0},
      {"明月|故乡 家乡", "(and (or 明月 故乡) 家乡)", 0},
      {"a OR b OR c", "(or a b c)", 0},
      {"(明月 故乡) OR 家乡", "(or (and 明月 故乡) 家乡)", 0},
      {"人生 -朋友", "(and 人生 (not 朋友))", 0},
      {"人生 -(朋友 OR 故乡)", "(and 人生 (not (or 朋友 故乡)))", 0},
      {"\"明月 故乡\" x", "(and \"明月 故乡\" x)", 0},
      {"title:明月 body:\"a b\"", "(and title:明月 body:\"a b\")", 0},
      {"x year:1990..1999", "(and x year:[1990..1999])", 0},
      {"x year:>=2000", "(and x year:[2000..])", 0},
      {"x year:>2000", "(and x year:[2001..])", 0},
      {"x year:<2000", "(and x year:[..1999])", 0},
      {"x year:2005", "(and x year:2005)", 0},
      {"x year:-5..5", "(and x year:[-5..5])", 0},
      {"ORANGE OR_X", "(and ORANGE OR_X)", 0},
      {"a-b 12:30", "(and a-b 12:30)", 0},
      {"a OR(b c)", "(or a (and b c))", 0},
      {"or and", "(and or and)", 0},
      // A '|' byte inside a two-byte character is no operator.
      {"\x81\x7c", "\x81\x7c", 0},
      // Errors, positions in characters.
      {"", "", 0},
      {"   ", "", 3},
      {"-人生", "", 0},
      {"-人生 -(朋友)", "", 0},
      {"人生 (-朋友)", "", 4},
      {"明月 OR", "", 3},
      {"OR 明月", "", 0},
      {"明月 | | 故乡", "", 3},
      {"a -b OR c", "", 2},
      {"a OR -b", "", 5},
      {"明月 (故乡", "", 3},
      {"明月 故乡)", "", 5},
      {"明月 \"故乡", "", 3},
      {"明月 \"\"", "", 3},
      {"a ()", "", 3},
      {"a - b", "", 2},
      {"a --b", "", 3},
      {"title:", "", 0},
      {"a title:(b)", "", 2},
      {"x year:1999..1990", "", 2},
      {"x year:>=abc", "", 2},
      {"x year:1..2..3", "", 2},
  };
  for (const tTreeCase& test : cases) {
    const tTextParse parse = ParseTextQuery(test.text);
    if (test.tree[0] == '\0') {
      EXPECT_FALSE(parse.ok) << test.text;
      EXPECT_EQ(parse.position, test.position) << test.text << ": " << parse.error;
      EXPECT_FALSE(parse.error.empty()) << test.text;
    } else {
      ASSERT_TRUE(parse.ok) << test.text << ": " << parse.error << " at " << parse.position;
      EXPECT_EQ(DescribeTextTree(parse.root), test.tree) << test.text;
    }
  }
}

TEST(TextQueryParseTest, DepthAndLengthAreBounded) {
  for (const int depth : {kMaxTextDepth, kMaxTextDepth + 1, 100000}) {
    const std::string text = std::string(static_cast<size_t>(depth), '(') + "a" +
                             std::string(static_cast<size_t>(depth), ')');
    const tTextParse parse = ParseTextQuery(text);
    EXPECT_EQ(parse.ok, depth <= kMaxTextDepth) << depth;
    if (!parse.ok) {
      EXPECT_EQ(parse.position, static_cast<size_t>(kMaxTextDepth));
    }
  }
  std::string exclusions = "a";
  for (int i = 0; i < 100000; ++i) exclusions += " -(b";
  EXPECT_FALSE(ParseTextQuery(exclusions).ok);
  std::string words;
  for (int i = 0; i < 50; ++i) words += "w" + std::to_string(i) + " OR ";
  words += "end";
  EXPECT_TRUE(ParseTextQuery(words, 51).ok);
  const tTextParse over = ParseTextQuery(words, 50);
  EXPECT_FALSE(over.ok);
  EXPECT_NE(over.error.find("50"), std::string::npos);
}

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "上海"};
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 YEAR year I 0 1 1 0 年份\n"
    "4 NOTE note T 0 0 1 0 备注\n";

using tRecords = std::vector<int>;

// A model value: a record set and whether it restricts anything.
struct tModel {
  bool restricts = false;
  tRecords records;
};

tRecords Union(const tRecords& a, const tRecords& b) {
  tRecords out;
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}
tRecords Intersection(const tRecords& a, const tRecords& b) {
  tRecords out;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}
tRecords Difference(const tRecords& a, const tRecords& b) {
  tRecords out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

class TextQueryEvalTest : public ::testing::Test {
 protected:
  void Build(const std::vector<std::string>& words, const std::string& schema,
             const std::vector<CMemoryRow>& rows) {
    m_fixture.reset(new CQueryFixture(words, schema));
    ASSERT_TRUE(m_fixture->ok());
    if (m_match == MatchMode::kContains) m_fixture->EnableContains();
    for (const CMemoryRow& row : rows) ASSERT_TRUE(m_fixture->AddRow(row));
    ASSERT_TRUE(m_fixture->SaveAndLoad("set"));
  }

  // One word's answer from the reference scan (field 0: "*").
  tModel Single(int field, const std::string& value) {
    tModel model;
    if (m_match == MatchMode::kContains) {
      // Under contains matching the one-term answers come from the engine (its contains
      // lookups are checked against a substring model elsewhere); the algebra is checked here.
      const char* names[] = {"*", "title", "body"};
      const std::string term = field == 0 ? value : std::string(names[field]) + ":" + value;
      const tTextParse parse = ParseTextQuery(term);
      CQuery engine(m_fixture->schema(), m_fixture->store());
      engine.SetMatch(MatchMode::kContains);
      tTextEvaluation evaluation;
      EXPECT_TRUE(EvaluateTextQuery(parse.root, "*", m_fixture->schema(), &engine, &evaluation));
      for (const tINDEX_STRUCTURE& hit : engine.GetHits()) model.records.push_back(hit.record);
      model.restricts = evaluation.unrestricting.empty();
      return model;
    }
    model.records = m_fixture->reference().Search({{field, {value}}, {0, {kAnchor}}});
    // The anchor holds in every record and restricts; the value restricts when it changes
    // the answer or has a dictionary word.
    model.restricts = HasWord(value);
    return model;
  }
  bool HasWord(const std::string& value) const {
    std::vector<int32_t> ids;
    std::string copy = value;
    return m_fixture->trie().Segment(copy.c_str(), &ids, nullptr) > 0;
  }
  tRecords Run(const std::string& text) {
    const tTextParse parse = ParseTextQuery(text);
    EXPECT_TRUE(parse.ok) << text << ": " << parse.error;
    CQuery engine(m_fixture->schema(), m_fixture->store());
    engine.SetMatch(m_match);
    tTextEvaluation evaluation;
    EXPECT_TRUE(EvaluateTextQuery(parse.root, "*", m_fixture->schema(), &engine, &evaluation))
        << text << ": " << evaluation.error;
    tRecords records;
    for (const tINDEX_STRUCTURE& hit : engine.GetHits()) records.push_back(hit.record);
    return records;
  }

  // A random expression over `values` as text with its model answer.
  tModel Leaf(std::mt19937* random, const std::vector<std::string>& values, std::string* text) {
    const size_t pick = (*random)() % values.size();
    const int field = static_cast<int>((*random)() % 3);
    const char* prefixes[] = {"", "title:", "body:"};
    *text += prefixes[field];
    *text += values[pick];
    return Single(field, values[pick]);
  }
  tModel Alternatives(std::mt19937* random, const std::vector<std::string>& values,
                      std::string* text, int depth) {
    tModel model = Primary(random, values, text, depth);
    const int more = static_cast<int>((*random)() % 3);
    for (int i = 0; i < more; ++i) {
      *text += (*random)() % 2 ? " OR " : "|";
      tModel next = Primary(random, values, text, depth);
      if (!next.restricts) continue;
      model.records = model.restricts ? Union(model.records, next.records) : next.records;
      model.restricts = true;
    }
    return model;
  }
  tModel Primary(std::mt19937* random, const std::vector<std::string>& values, std::string* text,
                 int depth) {
    if (depth > 0 && (*random)() % 4 == 0) {
      *text += "(";
      tModel model = Group(random, values, text, depth - 1);
      *text += ")";
      return model;
    }
    return Leaf(random, values, text);
  }
  tModel Group(std::mt19937* random, const std::vector<std::string>& values, std::string* text,
               int depth) {
    tModel model;
    tRecords excluded;
    const int members = 1 + static_cast<int>((*random)() % 3);
    for (int i = 0; i < members; ++i) {
      if (i > 0) *text += " ";
      const bool exclusion = i > 0 && (*random)() % 3 == 0;
      if (exclusion) *text += "-";
      tModel member = exclusion ? Primary(random, values, text, depth)
                                : Alternatives(random, values, text, depth);
      if (!member.restricts) continue;
      if (exclusion) {
        excluded = Union(excluded, member.records);
      } else {
        model.records =
            model.restricts ? Intersection(model.records, member.records) : member.records;
        model.restricts = true;
      }
    }
    model.records = Difference(model.records, excluded);
    return model;
  }

  void CheckAlgebra(const std::vector<std::string>& values, uint32_t seed, int trials) {
    std::mt19937 random(seed);
    int nonEmpty = 0;
    for (int trial = 0; trial < trials; ++trial) {
      std::string text;
      tModel model = Group(&random, values, &text, 2);
      if (!model.restricts) model.records.clear();
      ASSERT_EQ(Run(text), model.records) << text;
      if (!model.records.empty()) ++nonEmpty;
    }
    EXPECT_GT(nonEmpty, trials / 5);
  }

  static constexpr const char* kAnchor = "锚";
  MatchMode m_match = MatchMode::kWords;
  std::unique_ptr<CQueryFixture> m_fixture;
};

std::string RandomText(std::mt19937* random, int words) {
  std::string text = "锚 ";  // every record holds the anchor word
  for (int i = 0; i < words; ++i) text += kWords[(*random)() % kWords.size()] + " ";
  return text;
}

TEST_F(TextQueryEvalTest, OperatorsAreSetAlgebraOverSingleWordAnswers) {
  std::mt19937 random(29);
  std::vector<CMemoryRow> rows;
  std::vector<int> years;
  for (int record = 0; record < 200; ++record) {
    years.push_back(1995 + static_cast<int>(random() % 10));
    rows.push_back({{"TITLE", TextValue(RandomText(&random, static_cast<int>(random() % 4)))},
                    {"BODY", TextValue(RandomText(&random, static_cast<int>(random() % 8)))},
                    {"YEAR", IntValue(years.back())},
                    {"NOTE", TextValue(std::to_string(record))}});
  }
  std::vector<std::string> words = kWords;
  words.push_back("锚");
  Build(words, kSchema, rows);
  // Values: single words, two-word phrases, and one without a dictionary word.
  std::vector<std::string> values = {"中国", "人民",     "北京",     "大学", "学生",
                                     "上海", "中国人民", "大学学生", "xyz"};
  CheckAlgebra(values, 7, 400);

  // Ranges and comparisons against the filter values, alone and beside words.
  struct tRangeCase {
    const char* range;
    int low;
    int high;
  };
  const tRangeCase ranges[] = {{"1997..2000", 1997, 2000}, {">=2001", 2001, 9999},
                               {">2001", 2002, 9999},      {"<=1996", 0, 1996},
                               {"<1996", 0, 1995},         {"1999", 1999, 1999},
                               {"2050..2060", 2050, 2060}};
  for (const tRangeCase& test : ranges) {
    tRecords inRange;
    for (size_t record = 0; record < years.size(); ++record) {
      if (years[record] >= test.low && years[record] <= test.high) {
        inRange.push_back(static_cast<int>(record));
      }
    }
    EXPECT_EQ(Run(std::string("year:") + test.range), inRange) << test.range;
    EXPECT_EQ(Run(std::string("北京 year:") + test.range),
              Intersection(Single(0, "北京").records, inRange))
        << test.range;
    EXPECT_EQ(Run(std::string("北京 -year:") + test.range),
              Difference(Single(0, "北京").records, inRange))
        << test.range;
  }
}

TEST_F(TextQueryEvalTest, UnderContainsMatchingTheOperatorsAreSetAlgebraToo) {
  m_match = MatchMode::kContains;
  std::mt19937 random(31);
  std::vector<CMemoryRow> rows;
  for (int record = 0; record < 150; ++record) {
    rows.push_back({{"TITLE", TextValue(RandomText(&random, static_cast<int>(random() % 4)))},
                    {"BODY", TextValue(RandomText(&random, static_cast<int>(random() % 8)))},
                    {"YEAR", IntValue(2000)},
                    {"NOTE", TextValue(std::to_string(record))}});
  }
  std::vector<std::string> words = kWords;
  words.push_back("锚");
  Build(words, kSchema, rows);
  ASSERT_FALSE(HasFailure());
  // Values inside and across words (国人, 京大), whole words, and one of no character units.
  const std::vector<std::string> values = {"中国", "国人", "京大", "北京", "学生",
                                           "上海", "人民", "学",   "，"};
  CheckAlgebra(values, 17, 300);
}

TEST_F(TextQueryEvalTest, FieldsOfTheWrongKindAreRefused) {
  Build(kWords, kSchema,
        {{{"TITLE", TextValue("中国")},
          {"BODY", TextValue("")},
          {"YEAR", IntValue(2000)},
          {"NOTE", TextValue("0")}}});
  ASSERT_FALSE(HasFailure());
  CQuery engine(m_fixture->schema(), m_fixture->store());
  const struct {
    const char* text;
    size_t position;
  } cases[] = {{"中国 nosuch:x", 3}, {"中国 year:abc", 3}, {"title:>=5", 0}, {"note:x", 0}};
  for (const auto& test : cases) {
    const tTextParse parse = ParseTextQuery(test.text);
    ASSERT_TRUE(parse.ok) << test.text;
    tTextEvaluation evaluation;
    EXPECT_FALSE(EvaluateTextQuery(parse.root, "*", m_fixture->schema(), &engine, &evaluation))
        << test.text;
    EXPECT_EQ(evaluation.position, test.position) << test.text;
  }
  const tTextParse parse = ParseTextQuery("中国 xyz");
  tTextEvaluation evaluation;
  ASSERT_TRUE(EvaluateTextQuery(parse.root, "*", m_fixture->schema(), &engine, &evaluation));
  ASSERT_EQ(evaluation.unrestricting.size(), 1u);
  EXPECT_EQ(evaluation.unrestricting[0].first, 3u);
  EXPECT_EQ(engine.GetHits().size(), 1u);
}

TEST_F(TextQueryEvalTest, DemoTextsAgreeWithSetAlgebra) {
  const char* source = std::getenv("TRINDLE_SOURCE_DIR");
  std::ifstream file(std::string(source != nullptr ? source : ".") + "/data/fortunes.gbk.txt",
                     std::ios::binary);
  if (!file) GTEST_SKIP() << "data/fortunes.gbk.txt is missing (scripts/prepare_data.sh makes it)";
  std::vector<CMemoryRow> rows;
  std::string line;
  std::string body;
  while (std::getline(file, line) && rows.size() < 600) {
    if (line == "%") {
      if (!body.empty()) {
        rows.push_back({{"TITLE", TextValue("锚 " + body.substr(0, body.find('\n')))},
                        {"BODY", TextValue(body)},
                        {"YEAR", IntValue(static_cast<int>(rows.size() % 7))},
                        {"NOTE", TextValue(std::to_string(rows.size()))}});
      }
      body.clear();
    } else {
      body += line + "\n";
    }
  }
  ASSERT_GT(rows.size(), 100u);
  const std::vector<std::string> values = {"人生", "朋友", "明月", "故乡", "the", "linux", "you"};
  std::vector<std::string> words = values;
  words.push_back("锚");
  Build(words, kSchema, rows);
  CheckAlgebra(values, 11, 300);
}

}  // namespace
