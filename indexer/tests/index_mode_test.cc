// Tests of indexer mode 4 end to end over an SQLite table: the console lines, the order of
// the loads, the files written, and what each failing load leaves behind (the database,
// input and output failures of a data set already committed are in failure_cases_test.cc).
#include "indexer/index_mode.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/index/indexer.h"
#include "core/index/indexer_control.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_files.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/exit_status.h"
#include "indexer/modes.h"
#include "testing/records/sqlite_file.h"
#include "testing/records/store_fixture.h"

namespace {

// SQL is UTF-8 (u8 literals); what the engine stores and prints is GBK (plain literals).
const char kTable[] =
    u8"create table docs (id integer, title text, body text, year integer);"
    u8"insert into docs values (2, '北京大学', '<b>中国</b>人民', 2002);"
    u8"insert into docs values (1, '  中国人民  ', '大学', 2001);"
    u8"insert into docs values (3, NULL, '北京', NULL);";

const char* const kSchema = kDocsSchema;

class IndexModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    CPDAT trie;
    ASSERT_TRUE(BuildTestTrie({"中国", "人民", "北京", "大学"}, Path("dict.txt"), &trie));
    ASSERT_TRUE(trie.Save(Path("dict.pdat").c_str()));
    CWordList words;
    testing::internal::CaptureStdout();
    ASSERT_EQ(words.BuildFromText(Path("dict.txt").c_str(), trie), 4);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(words.Save(Path("dict.words").c_str()));
    ASSERT_TRUE(RunSql(Path("docs.db"), kTable));
    ASSERT_TRUE(WriteTextFile(Path("schema.txt"), kSchema));
    WriteConfig("sqlite:" + Path("docs.db"), "id");
  }

  std::string Path(const std::string& name) const { return m_dir.Path(name); }

  void WriteConfig(const std::string& connect, const std::string& sortField) {
    ASSERT_TRUE(WriteTextFile(Path("db.xml"), "<DBConnectString>" + connect +
                                                  "</DBConnectString><Table>docs</Table>"
                                                  "<SortField>" +
                                                  sortField + "</SortField>"));
  }

  // Runs mode 4 into the base "out"; returns the console output, the exit status in m_status.
  std::string Run(const std::string& config, const std::string& schema, const std::string& trie,
                  const std::string& words) {
    tIndexModeOptions options;
    options.scan.notRunningPauseMilliseconds = 0;
    testing::internal::CaptureStdout();
    m_status = RunIndexModeWith(config.c_str(), Path("out").c_str(), schema.c_str(), trie.c_str(),
                                words.c_str(), options);
    return testing::internal::GetCapturedStdout();
  }

  std::string RunDefault() {
    return Run(Path("db.xml"), Path("schema.txt"), Path("dict.pdat"), Path("dict.words"));
  }

  std::string Parameters(const std::string& config, const std::string& schema,
                         const std::string& trie, const std::string& words) const {
    return "参数如下：\n数据库配置文件名：" + config + "\n索引分析结果文件名：" + Path("out") +
           "\n字段信息文件名：" + schema + "\n词典文件名：" + trie + "\n词表文件名：" + words +
           "\n";
  }

  // Loads the written data set the way mode 5 does.
  std::unique_ptr<CDataLineIndex> LoadResult() {
    EXPECT_TRUE(m_schema.LoadBinary(Path("schema.txt.dat").c_str()));
    EXPECT_TRUE(m_trie.Load(Path("dict.pdat").c_str()));
    auto store = std::make_unique<CDataLineIndex>(m_schema, &m_trie, true);
    EXPECT_TRUE(store->Load(Path("out").c_str()));
    return store;
  }

  CScratchDirectory m_dir;
  CFieldInfo m_schema;
  CPDAT m_trie;
  int m_status = -1000;
};

std::string Cell(const CDataLineIndex& store, int record, int column) {
  int length = 0;
  const char* text = store.GetCell(record, column, &length);
  return std::string(text, static_cast<size_t>(length));
}

std::vector<int> Matches(const CDataLineIndex& store, int index, const char* text) {
  CResultList result;
  store.GetIndexControl(index).Lookup(text, &result);
  std::vector<int> records;
  for (const tINDEX_STRUCTURE& entry : result.entries) {
    if (entry.record != -1) records.push_back(entry.record);
  }
  return records;
}

TEST_F(IndexModeTest, ScansTheTableInSortOrderAndSavesTheDataSet) {
  std::string output = RunDefault();
  std::string base = Path("out");
  std::string expected =
      Parameters(Path("db.xml"), Path("schema.txt"), Path("dict.pdat"), Path("dict.words")) +
      "数据库扫描开始！\nOpen Database Success!\n记录数目为3!\n"
      "Execute select * from docs order by id Start!\n"
      "Execute select * from docs order by id Success!\n记录数：3\n处理时间:0s\n速度为";
  EXPECT_EQ(output.substr(0, expected.size()), expected);
  EXPECT_EQ(m_status, exit_status::kSuccess);
  std::string tail = "Save " + base + ".dataline Success!\nBegin Save 3 Index!\n";
  for (int k = 0; k < 3; ++k) {
    std::string index = IndexPath(base, k);
    tail += "Save " + index + " Start!\nSave " + index + " Success!\n";
  }
  ASSERT_GE(output.size(), tail.size());
  EXPECT_EQ(output.substr(output.size() - tail.size()), tail);

  auto store = LoadResult();
  ASSERT_EQ(store->GetRecordCount(), 3);
  EXPECT_EQ(Cell(*store, 0, 0), "1");
  EXPECT_EQ(Cell(*store, 0, 1), "中国人民");  // UTF-8 in the table, GBK in the store
  EXPECT_EQ(Cell(*store, 1, 2), " 中国 人民");
  EXPECT_EQ(Cell(*store, 2, 1), "");
  EXPECT_EQ(store->GetFilterValue(1, 1), 2002);
  EXPECT_EQ(store->GetFilterValue(2, 1), 0);
  EXPECT_EQ(Matches(*store, 1, "中国"), std::vector<int>({0}));
  EXPECT_EQ(Matches(*store, 2, "人民"), std::vector<int>({1}));
  EXPECT_EQ(Matches(*store, 0, "北京"), std::vector<int>({1, 2}));
}

TEST_F(IndexModeTest, BinarySchemaIsWrittenBeforeTheTrieIsLoaded) {
  std::string output =
      Run(Path("db.xml"), Path("schema.txt"), Path("absent.pdat"), Path("dict.words"));
  EXPECT_TRUE(FileExists(Path("schema.txt.dat")));
  EXPECT_NE(output.find("Load " + Path("absent.pdat") + " failed!\n"), std::string::npos);
  EXPECT_FALSE(FileExists(Path("out.dataline")));
  EXPECT_EQ(m_status, exit_status::kBadInput);
}

TEST_F(IndexModeTest, EachFailingLoadPrintsItsLineAndWritesNoDataSet) {
  struct Case {
    std::string config, schema, words, line;
  } const cases[] = {
      {Path("db.xml"), Path("absent.txt"), Path("dict.words"),
       "Import " + Path("absent.txt") + " failed!\n"},
      {Path("db.xml"), Path("schema.txt"), Path("absent.words"),
       "Load\t" + Path("absent.words") + " failed!\n"},
      {Path("absent.xml"), Path("schema.txt"), Path("dict.words"),
       "Load\t" + Path("absent.xml") + " failed!\n"},
  };
  for (const Case& c : cases) {
    std::string output = Run(c.config, c.schema, Path("dict.pdat"), c.words);
    ASSERT_GE(output.size(), c.line.size());
    EXPECT_EQ(output.substr(output.size() - c.line.size()), c.line) << c.line;
    EXPECT_EQ(output.find("数据库扫描开始"), std::string::npos);
    EXPECT_FALSE(FileExists(Path("out.dataline"))) << c.line;
    EXPECT_EQ(m_status, exit_status::kBadInput) << c.line;
  }
}

}  // namespace
