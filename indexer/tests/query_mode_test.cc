// Tests of indexer mode 5: loading a saved data set and paging through a query's hits.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/records/data_set_files.h"
#include "core/text/word_list.h"
#include "indexer/modes.h"
#include "testing/records/query_fixture.h"

namespace {

const std::vector<std::string> kWords = {"中国", "人民", "bs", "北京"};
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 CODE code T 1 0 1 0 代码\n"
    "3 YEAR year I 0 1 1 0 年份\n";

int CountLines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

class QueryModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fixture.reset(new CQueryFixture(kWords, kSchema));
    ASSERT_TRUE(m_fixture->ok());
    for (int record = 0; record < 40; ++record) {
      // 37 records carry the code BS; three carry none.
      std::string code = record % 13 == 7 ? "人民" : "BS";
      ASSERT_TRUE(
          m_fixture->AddRow(CMemoryRow{{"TITLE", TextValue("中国 " + std::to_string(record))},
                                       {"CODE", TextValue(code)},
                                       {"YEAR", IntValue(2000 + record)}}));
    }
    ASSERT_TRUE(m_fixture->SaveAndLoad("set"));
    m_base = m_fixture->directory().Path("set");
    std::string listText;
    for (const std::string& word : kWords) listText += word + "\n";
    ASSERT_TRUE(WriteTextFile(m_fixture->directory().Path("words.txt"), listText));
    CWordList list;
    testing::internal::CaptureStdout();
    ASSERT_EQ(
        list.BuildFromText(m_fixture->directory().Path("words.txt").c_str(), m_fixture->trie()),
        static_cast<int>(kWords.size()));
    testing::internal::GetCapturedStdout();
    m_wordList = m_fixture->directory().Path("words.dat");
    ASSERT_TRUE(list.Save(m_wordList.c_str()));
  }

  std::string RunMode(const char* unused, const std::string& base, const std::string& trie,
                      const std::string& wordList, const char* queryText) {
    testing::internal::CaptureStdout();
    RunQueryTestMode(unused, base.c_str(), (m_base + ".schema").c_str(), trie.c_str(),
                     wordList.c_str(), queryText);
    return testing::internal::GetCapturedStdout();
  }

  std::unique_ptr<CQueryFixture> m_fixture;
  std::string m_base;
  std::string m_wordList;
};

TEST_F(QueryModeTest, FixedQueryPagesThroughEveryHit) {
  std::string output = RunMode("", m_base, m_base + ".trie", m_wordList, nullptr);
  EXPECT_EQ(output.rfind("Total 37\n", 0), 0u) << output;
  EXPECT_EQ(CountLines(output), 1 + 37);
  // Record 0's stored values (title, code, year), tab-separated, and record 39 last.
  EXPECT_NE(output.find("\n中国 0\tBS\t2000\n"), std::string::npos);
  const std::string last = "\n中国 39\tBS\t2039\n";
  EXPECT_EQ(output.substr(output.size() - last.size()), last);
  EXPECT_EQ(output.find("人民"), std::string::npos);
}

TEST_F(QueryModeTest, QueryTextReplacesTheFixedQuery) {
  std::string output =
      RunMode("anything", m_base, m_base + ".trie", m_wordList, "[FIELD] code [AND] 人民");
  EXPECT_EQ(output, "Total 3\n中国 7\t人民\t2007\n中国 20\t人民\t2020\n中国 33\t人民\t2033\n");
  EXPECT_EQ(RunMode("", m_base, m_base + ".trie", m_wordList, "[FIELD] code [AND] 中国"),
            "Total 0\n");
}

TEST_F(QueryModeTest, LoadFailuresEndTheModeWithTheirMessage) {
  const std::string missing = m_fixture->directory().Path("missing");
  EXPECT_NE(
      RunMode("", m_base, missing, m_wordList, nullptr).find("Load " + missing + " failed!\n"),
      std::string::npos);
  EXPECT_NE(RunMode("", m_base, m_base + ".trie", missing, nullptr)
                .find("Load\t" + missing + " failed!\n"),
            std::string::npos);
  std::string output = RunMode("", missing, m_base + ".trie", m_wordList, nullptr);
  EXPECT_NE(output.find("Save " + missing + " failed!\n"), std::string::npos);
  EXPECT_EQ(output.find("Total"), std::string::npos);
  // An index file that cannot be loaded fails the data set, not just the queries on it.
  const std::string index = ReadBinaryFile(IndexPath(m_base, 1));
  ASSERT_TRUE(WriteTextFile(IndexPath(m_base, 1), index.substr(0, index.size() / 2)));
  output = RunMode("", m_base, m_base + ".trie", m_wordList, nullptr);
  EXPECT_NE(output.find("Save " + m_base + " failed!\n"), std::string::npos) << output;
  EXPECT_EQ(output.find("Total"), std::string::npos);
}

}  // namespace
