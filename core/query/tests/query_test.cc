// Tests of the query engine: the parser (table of queries and their conditions), evaluation
// against a brute-force reference scan, paging, hostile query texts and concurrent queries.
#include "core/query/query.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/records/query_fixture.h"

namespace {

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "上海",
                                         "你好", "世界", "电脑", "软件", "bs"};
// Field numbers: title 1, body 2, code 3, year 4, note 5 (stored only: kind 0).
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 CODE code T 1 0 1 0 代码\n"
    "4 YEAR year I 0 1 1 0 年份\n"
    "5 NOTE note T 0 0 1 0 备注\n";
constexpr int kStoredFields = 5;

CMemoryRow Row(const std::string& title, const std::string& body, const std::string& code, int year,
               int record) {
  return CMemoryRow{{"TITLE", TextValue(title)},
                    {"BODY", TextValue(body)},
                    {"CODE", TextValue(code)},
                    {"YEAR", IntValue(year)},
                    {"NOTE", TextValue(std::to_string(record))}};
}

std::string Dump(const std::vector<tCondition>& conditions) {
  std::string dump;
  for (const tCondition& condition : conditions) {
    if (!dump.empty()) dump += " ";
    dump += std::to_string(condition.field) + "/" +
            std::to_string(static_cast<int>(condition.kind)) + "/" +
            std::to_string(static_cast<int>(condition.orFlag)) + ":";
    for (size_t i = 0; i < condition.values.size(); ++i) {
      dump += (i == 0 ? "" : ",") + condition.values[i];
    }
  }
  return dump;
}

std::string Dump(const CQuery& query) { return Dump(query.GetConditions()); }

// The record numbers of a page, read back from the stored note field (the last column).
std::vector<int> PageRecords(const ResultPage& page) {
  std::vector<int> records;
  size_t offset = 0;
  for (int32_t record = 0; record < page.returned; ++record) {
    for (int32_t field = 0; field < page.fieldCount; ++field) {
      int32_t length = page.valueLengths[static_cast<size_t>(record * page.fieldCount + field)];
      if (field == page.fieldCount - 1) {
        records.push_back(std::stoi(page.text.substr(offset, static_cast<size_t>(length))));
      }
      offset += static_cast<size_t>(length);
    }
  }
  return records;
}

std::vector<int> Hits(CQuery* query, const std::string& text) {
  int total = query->Execute(text.c_str());
  std::vector<int> records = PageRecords(query->GetPage(0, INT_MAX));
  EXPECT_EQ(static_cast<int>(records.size()), total) << text;
  return records;
}

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fixture.reset(new CQueryFixture(kWords, kSchema));
    ASSERT_TRUE(m_fixture->ok());
  }
  void AddRows(const std::vector<CMemoryRow>& rows) {
    for (const CMemoryRow& row : rows) ASSERT_TRUE(m_fixture->AddRow(row));
    ASSERT_TRUE(m_fixture->SaveAndLoad("set"));
  }
  std::unique_ptr<CQueryFixture> m_fixture;
};

struct tParseCase {
  const char* query;
  const char* conditions;
  int parsed;
  const char* logged;  // a fragment of the daily log, or ""
};

TEST_F(QueryTest, ParserTable) {
  const tParseCase cases[] = {
      {"[FIELD] code [AND] BS", "3/1/0:bs", 1, ""},
      {"[field] code [AND] BS", "", 1, ""},
      {"[FIELD] code BS", "", 0, ""},
      {"[FIELD] title [AND] x [FIELD] body y", "1/1/0:x", 0, ""},
      {"[FIELD] nosuch [AND] x [FIELD] title [AND] y", "1/1/0:y", 1, "nosuch非法的字段名!"},
      {"[FIELD] title [AND x", "", 1, "title非法的属性值!"},
      {"[FIELD]  [AND] x", "", 1, "非法的字段名!"},
      {"[FIELD] title body [AND] x", "1/1/0:x", 1, ""},
      {"[FIELD] title [AND] x [FIELD] title [OR] y z", "1/1/0:x,y,z", 1, ""},
      {"[FIELD] title [AND] x[FIELD] body [AND] y", "1/1/0:x 2/1/0:y", 1, ""},
      {"[FIELD] title [AND] x  \t\r\n  ", "1/1/0:x", 1, ""},
      {"[FIELD] title [FIELD] body [AND] y", "1/1/0:body,[and],y", 1, ""},
      {"[FIELD] title [or] x", "1/1/1:x", 1, ""},
      {"[FIELD] title [ORDER] x", "1/1/1:x", 1, ""},
      {"[FIELD] title [ OR] x", "1/1/0:x", 1, ""},
      {"[FIELD] note [AND] x [FIELD] year [AND] 2005 abc", "5/0/0:x 4/2/0:2005,abc", 1, ""},
      {"junk [FIELD] * [AND] ABC，Ｄ", "0/1/0:abc\tD" /* a full-width capital stays a capital */, 1,
       ""},
      {"[FIELD] title", "", 0, ""},
      {"[FIELD] title [AND]", "1/1/0:", 1, ""},
  };
  AddRows({});
  CQuery query(m_fixture->schema(), m_fixture->store());
  for (const tParseCase& test : cases) {
    EXPECT_EQ(query.Parse(test.query), test.parsed) << test.query;
    EXPECT_EQ(Dump(query), test.conditions) << test.query;
    // The schema alone parses the text as the query over the store does.
    tParsedQuery alone;
    EXPECT_EQ(ParseQuery(m_fixture->schema(), test.query, &alone), test.parsed) << test.query;
    EXPECT_EQ(Dump(alone.conditions), test.conditions) << test.query;
    EXPECT_EQ(alone.unknownFields, query.GetUnknownFields()) << test.query;
    if (test.logged[0] != '\0') {
      EXPECT_NE(ReadDailyLog().find(test.logged), std::string::npos) << test.query;
    }
  }
}

TEST_F(QueryTest, TokenizerStopsAtTheLimitAndNeverYieldsEmptyTokens) {
  AddRows({});
  CQuery query(m_fixture->schema(), m_fixture->store());
  query.Parse("  ab\tc  [x");
  size_t start = 0;
  size_t length = 0;
  ASSERT_TRUE(query.NextToken(0, 8, " \t", &start, &length));
  EXPECT_EQ(start, 2u);
  EXPECT_EQ(length, 2u);
  ASSERT_TRUE(query.NextToken(std::string::npos, std::string::npos, " \t", &start, &length));
  EXPECT_EQ(start, 5u);
  EXPECT_EQ(length, 1u);
  EXPECT_FALSE(query.NextToken(std::string::npos, std::string::npos, " \t", &start, &length));
  EXPECT_FALSE(query.NextToken(9, 9, " \t", &start, &length));
  ASSERT_TRUE(query.NextToken(6, std::string::npos, " \t", &start, &length));  // to the end
  EXPECT_EQ(length, 2u);                                                       // "[x"
}

TEST_F(QueryTest, PhrasesCombineByAndInAnyOrder) {
  AddRows({
      Row("你好", "世界", "", 2000, 0), Row("中国 上海", "北京", "bs", 2001, 1),
      Row("人民", "中国 人民", "", 2002, 2),
      Row("中国 人民 你好", "大学", "bs", 2005, 3),  // A = 中国 in title only here
      Row("你好 北京 世界 电脑 电脑 电脑 电脑 电脑 电脑 电脑 北京 大学", "", "", 2006, 4),
      Row("人民", "北京 上海 大学", "BS", 2005, 5),  // B = 人民 in title: 2, 3, 5
  });
  CQuery query(m_fixture->schema(), m_fixture->store());
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] 中国 人民"), std::vector<int>({3}));
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] 人民 中国"), std::vector<int>({3}));
  // A dictionary word that no title holds: nothing, whatever comes after it.
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] 软件 人民"), std::vector<int>());
  // Values without a dictionary word restrict nothing.
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] xyz 人民"), std::vector<int>({2, 3, 5}));
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] xyz"), std::vector<int>());
  // Phrase: 北京大学 stands in record 4's title at ordinals 10-11, after an earlier 北京.
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] 北京大学"), std::vector<int>({4}));
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] 你好 [FIELD] title [AND] 北京大学"),
            std::vector<int>({4}));
  EXPECT_EQ(
      Hits(&query, "[FIELD] code [AND] bs [FIELD] body [AND] 北京 [FIELD] title [AND] 北京大学"),
      std::vector<int>());
  // The all-fields condition narrows the single-field ones, in either order.
  EXPECT_EQ(Hits(&query, "[FIELD] * [AND] 大学 [FIELD] code [AND] BS"), std::vector<int>({3, 5}));
  EXPECT_EQ(Hits(&query, "[FIELD] code [AND] BS [FIELD] * [AND] 大学"), std::vector<int>({3, 5}));
  // A phrase does not run from one field into the next in the all-fields index.
  EXPECT_EQ(Hits(&query, "[FIELD] * [AND] 你好大学"), std::vector<int>());
  // code is not in the all-fields index.
  EXPECT_EQ(Hits(&query, "[FIELD] * [AND] bs"), std::vector<int>());
}

TEST_F(QueryTest, FiltersOnlyNarrowIndexedResults) {
  AddRows({
      Row("中国", "", "", 2005, 0),
      Row("中国", "", "", 2006, 1),
      Row("中国", "", "", 2007, 2),
      Row("人民", "", "", 0, 3),
      Row("中国", "", "", 0, 4),
  });
  CQuery query(m_fixture->schema(), m_fixture->store());
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] 中国 [FIELD] year [AND] 2005 2006"),
            std::vector<int>({0, 1}));
  EXPECT_EQ(Hits(&query, "[FIELD] year [AND] 2005 [FIELD] title [AND] 中国"),
            std::vector<int>({0}));
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] 中国 [FIELD] year [AND] abc"), std::vector<int>({4}));
  EXPECT_EQ(Hits(&query, "[FIELD] year [AND] 2005"), std::vector<int>());
  EXPECT_EQ(Hits(&query, "[FIELD] note [AND] 1 [FIELD] title [AND] 中国"),
            std::vector<int>({0, 1, 2, 4}));
  EXPECT_EQ(Hits(&query, "no selector at all"), std::vector<int>());
}

// Dictionary {IBM, ibm}: normalisation lowers ASCII capitals but turns full-width capitals
// into ASCII ones, so the word IBM is found exactly where the text wrote ＩＢＭ, in records and
// in queries alike, and ibm wherever the text wrote the letters in ASCII.
TEST(QueryWordFormsTest, CapitalWordIsFoundInFullWidthText) {
  CQueryFixture fixture({"IBM", "ibm"}, kSchema);
  ASSERT_TRUE(fixture.ok());
  const char* const titles[] = {"ＩＢＭ", "IBM", "ibm", "ｉｂｍ"};
  for (int record = 0; record < 4; ++record) {
    ASSERT_TRUE(fixture.AddRow(Row(titles[record], "", "", 2000, record)));
  }
  ASSERT_TRUE(fixture.SaveAndLoad("set"));
  CQuery query(fixture.schema(), fixture.store());
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] ＩＢＭ"), std::vector<int>({0}));
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] IBM"), std::vector<int>({1, 2, 3}));
  EXPECT_EQ(Hits(&query, "[FIELD] title [AND] ｉｂｍ"), std::vector<int>({1, 2, 3}));
  EXPECT_EQ(fixture.reference().Search({{1, {"ＩＢＭ"}}}), std::vector<int>({0}));
}

TEST_F(QueryTest, PagesCutTheHitsAndCarryTheStoredValues) {
  std::vector<CMemoryRow> rows;
  for (int record = 0; record < 40; ++record) {
    rows.push_back(
        Row(record % 13 == 5 ? "人民" : "中国 ABC", "<b>正文</b>", "", 1990 + record, record));
  }
  AddRows(rows);
  CQuery query(m_fixture->schema(), m_fixture->store());
  ASSERT_EQ(query.Execute("[FIELD] title [AND] 中国"), 37);
  const int expectedSizes[] = {15, 15, 7, 0};
  for (int page = 0; page < 4; ++page) {
    const ResultPage& result = query.GetPage(page * 15, 15);
    EXPECT_EQ(result.total, 37);
    EXPECT_EQ(result.start, page * 15);
    EXPECT_EQ(result.returned, expectedSizes[page]);
    EXPECT_EQ(result.valueLengths.size(), static_cast<size_t>(expectedSizes[page] * kStoredFields));
  }
  const ResultPage& first = query.GetPage(0, 1);
  ASSERT_EQ(first.returned, 1);
  EXPECT_EQ(first.fieldCount, kStoredFields);
  // Stored values are kept before normalisation, after markup removal.
  const std::string expected = std::string("中国 ABC") + " 正文 " + "" + "1990" + "0";
  EXPECT_EQ(first.text, expected);
  EXPECT_EQ(first.valueLengths,
            std::vector<int32_t>({static_cast<int32_t>(std::string("中国 ABC").size()),
                                  static_cast<int32_t>(std::string(" 正文 ").size()), 0, 4, 1}));
  EXPECT_EQ(PageRecords(query.GetPage(14, 2)), std::vector<int>({15, 16}));

  struct tWindow {
    int start;
    int count;
    int returned;
  };
  const tWindow windows[] = {
      {-1, 15, 0}, {0, 0, 0},        {0, -5, 0},       {INT_MIN, 3, 0},
      {37, 15, 0}, {36, INT_MAX, 1}, {1, INT_MAX, 36}, {INT_MAX, INT_MAX, 0}};
  for (const tWindow& window : windows) {
    const ResultPage& page = query.GetPage(window.start, window.count);
    EXPECT_EQ(page.total, 37);
    EXPECT_EQ(page.returned, window.returned) << window.start << "," << window.count;
    EXPECT_EQ(page.valueLengths.size(), static_cast<size_t>(window.returned * kStoredFields));
  }
}

TEST(QueryPagingTest, SchemaWithoutStoredFieldsStillCountsRecords) {
  CQueryFixture fixture(kWords, "1 TITLE title T 1 0 0 0 标题\n");
  ASSERT_TRUE(fixture.ok());
  for (int record = 0; record < 3; ++record) {
    ASSERT_TRUE(fixture.AddRow(CMemoryRow{{"TITLE", TextValue("中国")}}));
  }
  ASSERT_TRUE(fixture.SaveAndLoad("bare"));
  CQuery query(fixture.schema(), fixture.store());
  ASSERT_EQ(query.Execute("[FIELD] title [AND] 中国"), 3);
  const ResultPage& page = query.GetPage(1, 5);
  EXPECT_EQ(page.returned, 2);
  EXPECT_EQ(page.fieldCount, 0);
  EXPECT_TRUE(page.valueLengths.empty());
  EXPECT_TRUE(page.text.empty());
}

// Random records and queries, checked against the brute-force scan.
class RandomQueryTest : public QueryTest {
 protected:
  std::string RandomText(std::mt19937* random, int words) {
    std::string text;
    for (int i = 0; i < words; ++i) text += kWords[(*random)() % 5] + " ";
    return text;
  }
  // 150 rows of random words: titles of up to 7, bodies of up to 11, codes of up to 3.
  std::vector<CMemoryRow> RandomRows(std::mt19937* random) {
    std::vector<CMemoryRow> rows;
    for (int record = 0; record < 150; ++record) {
      rows.push_back(Row(RandomText(random, static_cast<int>((*random)() % 8)),
                         RandomText(random, static_cast<int>((*random)() % 12)),
                         RandomText(random, static_cast<int>((*random)() % 4)),
                         2000 + static_cast<int>((*random)() % 4), record));
    }
    return rows;
  }
  std::string RandomValue(std::mt19937* random) {
    if ((*random)() % 10 == 0) return "xyz";
    std::string value;
    int words = 1 + static_cast<int>((*random)() % 3);
    for (int i = 0; i < words; ++i) value += kWords[(*random)() % 5];
    return value;
  }
  // Query text and the same conditions for the model (names: * title body code year).
  void RandomQuery(std::mt19937* random, std::string* text,
                   std::vector<tReferenceCondition>* conditions) {
    const char* names[] = {"*", "title", "body", "code", "year"};
    int count = 1 + static_cast<int>((*random)() % 3);
    for (int i = 0; i < count; ++i) {
      int field = static_cast<int>((*random)() % 5);
      tReferenceCondition condition;
      condition.field = field;
      condition.anyValue = (*random)() % 2 == 1;
      *text += std::string("[FIELD] ") + names[field] + (condition.anyValue ? " [OR] " : " [AND] ");
      int values = 1 + static_cast<int>((*random)() % 2);
      for (int v = 0; v < values; ++v) {
        std::string value =
            field == 4 ? std::to_string(2000 + (*random)() % 4) : RandomValue(random);
        condition.values.push_back(value);
        *text += value + " ";
      }
      // A field named twice is one condition holding all its values (for a filter: any of
      // them) under the operator word of its first selector.
      bool merged = false;
      for (tReferenceCondition& existing : *conditions) {
        if (existing.field == field) {
          existing.values.insert(existing.values.end(), condition.values.begin(),
                                 condition.values.end());
          merged = true;
        }
      }
      if (!merged) conditions->push_back(condition);
    }
  }
};

TEST_F(RandomQueryTest, ResultsMatchTheReferenceScan) {
  std::mt19937 random(301);
  AddRows(RandomRows(&random));
  CQuery query(m_fixture->schema(), m_fixture->store());
  int nonEmpty = 0;
  for (int trial = 0; trial < 600; ++trial) {
    std::string text;
    std::vector<tReferenceCondition> conditions;
    RandomQuery(&random, &text, &conditions);
    std::vector<int> expected = m_fixture->reference().Search(conditions);
    ASSERT_EQ(Hits(&query, text), expected) << text;
    if (!expected.empty()) ++nonEmpty;
  }
  EXPECT_GT(nonEmpty, 100);  // the queries are not all trivially empty
}

TEST_F(RandomQueryTest, ConcurrentQueriesOverOneStore) {
  std::mt19937 random(99);
  std::vector<CMemoryRow> rows;
  for (int record = 0; record < 200; ++record) {
    rows.push_back(
        Row(RandomText(&random, 6), RandomText(&random, 10), "", 2000 + record % 4, record));
  }
  AddRows(rows);
  std::vector<std::string> texts;
  std::vector<std::vector<int>> expected;
  for (int i = 0; i < 50; ++i) {
    std::string text;
    std::vector<tReferenceCondition> conditions;
    RandomQuery(&random, &text, &conditions);
    texts.push_back(text);
    expected.push_back(m_fixture->reference().Search(conditions));
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t]() {
      CQuery query(m_fixture->schema(), m_fixture->store());
      for (int round = 0; round < 10; ++round) {
        for (size_t i = 0; i < texts.size(); ++i) {
          size_t which = (i + t * 13) % texts.size();
          int total = query.Execute(texts[which].c_str());
          if (PageRecords(query.GetPage(0, total)) != expected[which]) ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST_F(QueryTest, HostileQueryTextsAreParsedSafely) {
  AddRows({Row("中国 人民", "北京", "bs", 2005, 0), Row("人民", "中国", "", 2006, 1)});
  const std::vector<std::string> pieces = {
      "[FIELD]", "[FIELD", "[",    "]",    " ",  "\t",    "\n",
      "title",   "*",      "year", "code", "OR", "or",    "中国",
      "人民",    "2005",   "\xB0", "\xFF", "x",  "[AND]", std::string(1, '\0')};
  std::mt19937 random(5);
  CQuery query(m_fixture->schema(), m_fixture->store());
  for (int trial = 0; trial < 3000; ++trial) {
    std::string text;
    int count = static_cast<int>(random() % 24);
    for (int i = 0; i < count; ++i) {
      if (random() % 5 == 0) {
        text += static_cast<char>(random() % 256);
      } else {
        text += pieces[random() % pieces.size()];
      }
    }
    // The bytes after a NUL are handed over too: the copy must stop at the first NUL.
    int total = query.Execute(text.c_str());
    ASSERT_GE(total, 0);
    ASSERT_LE(total, 2);
    const ResultPage& page = query.GetPage(static_cast<int>(random() % 3) - 1, 2);
    ASSERT_LE(page.returned, total);
  }
  // A long query: many selectors on one field merge into one condition.
  std::string longQuery;
  for (int i = 0; i < 5000; ++i)
    longQuery += "[FIELD] title [AND] 中国 x" + std::to_string(i) + " ";
  EXPECT_EQ(query.Execute(longQuery.c_str()), 1);
  ASSERT_EQ(query.GetConditions().size(), 1u);
  EXPECT_EQ(query.GetConditions()[0].values.size(), 10000u);
  // A NUL ends the query: what follows it is never seen.
  std::string withNul = std::string("[FIELD] title [AND] 中国") + '\0' + " [FIELD] body [AND] 北京";
  CQuery cut(m_fixture->schema(), m_fixture->store());
  EXPECT_EQ(cut.Execute(withNul.c_str()), 1);
  EXPECT_EQ(cut.GetConditions().size(), 1u);
}

TEST_F(QueryTest, RepeatedValuesAndFailingSelectorsStayCheap) {
  AddRows({Row("中国 人民", "北京", "bs", 2005, 0), Row("人民", "中国", "", 2006, 1),
           Row("中国", "中国", "", 2007, 2)});
  CQuery query(m_fixture->schema(), m_fixture->store());
  // Repeats change nothing in the answer, on indexed and on filter conditions.
  std::string repeated = "[FIELD] title [AND]";
  for (int i = 0; i < 20000; ++i) repeated += " 中国";
  repeated += " [FIELD] year [AND]";
  for (int i = 0; i < 20000; ++i) repeated += " 2005 2007";
  EXPECT_EQ(Hits(&query, repeated),
            Hits(&query, "[FIELD] title [AND] 中国 [FIELD] year [AND] 2005 2007"));
  EXPECT_EQ(query.GetConditions()[0].values.size(), 20000u);  // the query is parsed as written

  // A query of many bad selectors logs only the first few of them.
  const size_t logBefore = ReadDailyLog().size();
  std::string bad;
  for (int i = 0; i < 500; ++i) bad += "[FIELD] nosuch" + std::to_string(i) + " [AND] x ";
  EXPECT_EQ(query.Execute(bad.c_str()), 0);
  const std::string logged = ReadDailyLog().substr(logBefore);
  EXPECT_NE(logged.find("nosuch0"), std::string::npos);
  EXPECT_EQ(logged.find("nosuch499"), std::string::npos);
  EXPECT_LE(std::count(logged.begin(), logged.end(), '\n'), 12);
}

// Shapes of one large query that must parse in time linear in its length, and that count
// against maxWords as failing selectors: unknown field names (distinct or repeated) and selectors
// without a field name.
TEST_F(QueryTest, LargeSelectorListsParseInLinearTimeAndCountAgainstMaxWords) {
  AddRows({Row("中国 人民", "北京", "bs", 2005, 0)});
  struct tShape {
    const char* name;
    std::string (*selector)(int i);
    size_t unknownFields;  // distinct unknown names the parse reports
  };
  const std::vector<tShape> shapes = {
      {"distinct unknown fields",
       [](int i) { return "[FIELD] f" + std::to_string(i) + " [AND] x "; }, 100000},
      {"one unknown field repeated", [](int) { return std::string("[FIELD] nosuch [AND] x "); }, 1},
      {"no field name", [](int) { return std::string("[FIELD] [AND] x "); }, 0},
  };
  constexpr int kSelectors = 100000;
  for (const tShape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    std::string text = "[FIELD] title [AND] 中国 ";
    for (int i = 0; i < kSelectors; ++i) text += shape.selector(i);
    CQuery query(m_fixture->schema(), m_fixture->store());
    const std::clock_t started = std::clock();
    query.Execute(text.c_str());
    const double seconds = static_cast<double>(std::clock() - started) / CLOCKS_PER_SEC;
    EXPECT_LT(seconds, 2.0);  // a quadratic parse of this text takes several seconds
    EXPECT_EQ(query.GetUnknownFields().size(), shape.unknownFields);
    // Under a bound of 1000 a query of 1000 failing selectors and one condition is refused,
    // one of 999 failing selectors and one condition is not.
    const std::string head = "[FIELD] title [AND] 中国 ";
    for (const int unknown : {999, 1000}) {
      std::string bounded = head;
      for (int i = 0; i < unknown; ++i) bounded += shape.selector(i);
      query.SetLimits({1000, 0});
      query.Execute(bounded.c_str());
      EXPECT_EQ(query.stop() == QueryStop::kTooLarge, unknown == 1000) << unknown;
    }
  }
}

// The packed page ends exactly at an int32 length: header, 4 per value, the values.
TEST(PackedPageBudgetTest, ARecordFitsUpToTheLastByteOfAnInt32Length) {
  CPackedPageBudget budget;
  const int64_t room = std::numeric_limits<int32_t>::max() - kPageHeaderBytes;
  EXPECT_FALSE(budget.Take(2, room - 7));  // one byte over
  EXPECT_EQ(budget.size(), kPageHeaderBytes);
  EXPECT_TRUE(budget.Take(2, room - 8));  // the last byte
  EXPECT_FALSE(budget.Take(0, 1));
  EXPECT_TRUE(budget.Take(0, 0));
}

}  // namespace

// A query of one word is counted and its pages near the front read from the postings; every
// window, in both orders, and the hit list must be what the listed evaluation gives (the
// same query with a value of no dictionary word, which restricts nothing but is listed).
TEST_F(RandomQueryTest, OneWordQueriesAnswerAsTheListedEvaluation) {
  std::mt19937 random(33);
  AddRows(RandomRows(&random));
  const std::vector<std::pair<int, int>> windows = {
      {0, 1}, {0, 20}, {3, 5}, {0, 0}, {-1, 2}, {0, INT_MAX}, {4090, 10}, {0, 4096}, {0, 4097}};
  CQuery counted(m_fixture->schema(), m_fixture->store());
  CQuery listed(m_fixture->schema(), m_fixture->store());
  for (const char* field : {"*", "title", "body", "code"}) {
    for (const std::string& word : {kWords[0], kWords[3], kWords[9], std::string("bs")}) {
      for (const std::string& value : {word, word + " " + word}) {
        const std::string text = std::string("[FIELD] ") + field + " [AND] " + value;
        SCOPED_TRACE(text);
        const int total = counted.Execute(text.c_str());
        ASSERT_EQ(total, listed.Execute((text + " xyz").c_str()));
        std::vector<std::pair<int, int>> all = windows;
        all.push_back({total - 1, 5});
        all.push_back({total, 3});
        for (bool descending : {false, true}) {
          for (const auto& window : all) {
            const ResultPage& mine = counted.GetPage(window.first, window.second, descending);
            EXPECT_EQ(mine.total, total);
            const std::vector<int> records = PageRecords(mine);
            EXPECT_EQ(records, PageRecords(listed.GetPage(window.first, window.second, descending)))
                << window.first << " " << window.second << " " << descending;
          }
          // The hit list, asked before any page and after pages.
          counted.Execute(text.c_str());
          if (descending) counted.GetPage(0, 3);
          std::vector<int> mine;
          for (const tINDEX_STRUCTURE& hit : counted.GetHits()) mine.push_back(hit.record);
          std::vector<int> theirs;
          for (const tINDEX_STRUCTURE& hit : listed.GetHits()) theirs.push_back(hit.record);
          EXPECT_EQ(mine, theirs);
          EXPECT_EQ(PageRecords(counted.GetPage(1, 4)), PageRecords(listed.GetPage(1, 4)));
        }
      }
    }
  }
}
