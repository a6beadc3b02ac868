// Tests of the database configuration and the scan over an in-memory table: statements,
// console lines, and how every kind of database failure ends the scan.
#include "core/scan/scan_database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "core/records/data_line_builder.h"
#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/scan/db_config.h"
#include "core/scan/scan_pipeline.h"
#include "core/text/pdat.h"
#include "testing/heap_in_use.h"
#include "testing/records/memory_rows.h"
#include "testing/records/store_fixture.h"

namespace {

class ScanDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    ASSERT_TRUE(BuildTestTrie({"中国", "人民"}, m_dir.Path("dict.txt"), &m_trie));
    ASSERT_TRUE(WriteTextFile(m_dir.Path("schema.txt"),
                              "h\n1 id id I 0 1 1 0 n\n2 body body T 1 0 1 1 b\n"));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m_schema.ImportText(m_dir.Path("schema.txt").c_str()));
    testing::internal::GetCapturedStdout();
    m_store = std::make_unique<CDataLineIndex>(m_schema, &m_trie, false);
    m_connection.AddTable("docs", &m_table);
  }

  void Fill(int rows) {
    for (int id = 0; id < rows; ++id) {
      m_table.Add(CMemoryRow{{"ID", IntValue(id)}, {"Body", TextValue("中国人民")}});
    }
  }

  // Loads a configuration with these values and scans; returns the console output.
  std::string Scan(const std::string& connect, const std::string& table,
                   const std::string& sortField, bool* result, int threads = 1) {
    std::string text = "<DBConnectString>" + connect + "</DBConnectString>\n<Table>" + table +
                       "</Table>\n<SortField>" + sortField + "</SortField>\n";
    EXPECT_TRUE(WriteTextFile(m_dir.Path("db.xml"), text));
    CDBConfig config;
    EXPECT_TRUE(config.Load(m_dir.Path("db.xml").c_str()));
    CScanOptions options;
    options.notRunningPauseMilliseconds = 0;
    options.threads = threads;
    testing::internal::CaptureStdout();
    *result = ScanDatabase(m_store.get(), config, &m_connection, options);
    return testing::internal::GetCapturedStdout();
  }

  CScratchDirectory m_dir;
  CPDAT m_trie;
  CFieldInfo m_schema;
  std::unique_ptr<CDataLineIndex> m_store;
  CMemoryTable m_table;
  CMemoryConnection m_connection;
};

TEST_F(ScanDatabaseTest, EveryRowBecomesARecordWithProgressAndSummary) {
  Fill(250);
  // The same records and lines when worker threads prepare the records.
  for (int threads : {1, 3}) {
    m_store = std::make_unique<CDataLineIndex>(m_schema, &m_trie, false);
    bool result = false;
    std::string output = Scan("memory", "docs", "id", &result, threads);
    EXPECT_TRUE(result) << threads;
    EXPECT_EQ(m_store->GetRecordCount(), 250) << threads;
    for (int record : {0, 63, 64, 249}) {
      EXPECT_EQ(m_store->GetFilterValue(record, 0), record) << threads;
    }
    std::string expected =
        "Open Database Success!\n记录数目为250!\n"
        "Execute select * from docs order by id Start!\n"
        "Execute select * from docs order by id Success!\n"
        "已完成100条结果!\n已完成200条结果!\n记录数：250\n处理时间:0s\n速度为";
    EXPECT_EQ(output.substr(0, expected.size()), expected) << threads;
    // Under a second the speed is still a finite number.
    EXPECT_EQ(output.find("inf"), std::string::npos);
    EXPECT_EQ(output.find("nan"), std::string::npos);
  }
  EXPECT_EQ(m_connection.statements(),
            std::vector<std::string>(
                {"select count(*) as num from docs", "select * from docs order by id",
                 "select count(*) as num from docs", "select * from docs order by id"}));
}

TEST_F(ScanDatabaseTest, EmptyTablePrintsZeroes) {
  bool result = false;
  std::string output = Scan("memory", "docs", "id", &result);
  EXPECT_TRUE(result);
  EXPECT_EQ(output,
            "Open Database Success!\n记录数目为0!\n"
            "Execute select * from docs order by id Start!\n"
            "Execute select * from docs order by id Success!\n"
            "记录数：0\n处理时间:0s\n速度为0.00\n");
}

TEST_F(ScanDatabaseTest, ValuesArePastedIntoStatementsAsWritten) {
  m_connection.AddTable(" docs ", &m_table);
  Fill(1);
  bool result = false;
  Scan("memory", " docs ", "id", &result);
  EXPECT_TRUE(result);
  EXPECT_EQ(m_connection.statements(),
            std::vector<std::string>(
                {"select count(*) as num from  docs ", "select * from  docs  order by id"}));
}

TEST_F(ScanDatabaseTest, FailuresEndTheScanWithTheDescriptionOnTheConsole) {
  Fill(1);
  struct Case {
    const char* what;
    std::string connect, table, sortField;
    const char* printed;  // the scan's own line before the failure
    const char* logged;   // part of the description, on the console and in the log
  } const cases[] = {
      {"closed database", "", "docs", "id", "Database is not running!\n", "Cannot open"},
      {"unknown table", "memory", "nodocs", "id", "Open Database Success!\n", "nodocs"},
      {"empty sort field", "memory", "docs", "", "Execute select * from docs order by  Start!\n",
       "column"},
      {"unknown sort column", "memory", "docs", "rank",
       "Execute select * from docs order by rank Start!\n", "rank"},
  };
  for (const Case& c : cases) {
    bool result = true;
    std::string output = Scan(c.connect, c.table, c.sortField, &result);
    EXPECT_FALSE(result) << c.what;
    size_t printed = output.find(c.printed);
    size_t error = output.find("Database error: ");
    ASSERT_NE(printed, std::string::npos) << c.what << output;
    ASSERT_NE(error, std::string::npos) << c.what << output;
    EXPECT_LT(printed, error) << c.what;
    // The error line is the last one and carries the description.
    std::string line = output.substr(error);
    EXPECT_NE(line.find(c.logged), std::string::npos) << c.what << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << c.what << line;
    EXPECT_NE(ReadDailyLog().find(c.logged), std::string::npos) << c.what;
    EXPECT_EQ(m_store->GetRecordCount(), 0) << c.what;
  }
}

TEST_F(ScanDatabaseTest, ADatabaseThatComesUpWithinTheRetryTimeIsScanned) {
  Fill(2);
  m_connection.RefuseOpens(3);
  std::string text =
      "<DBConnectString>memory</DBConnectString><Table>docs</Table>"
      "<SortField>id</SortField>";
  ASSERT_TRUE(WriteTextFile(m_dir.Path("db.xml"), text));
  CDBConfig config;
  ASSERT_TRUE(config.Load(m_dir.Path("db.xml").c_str()));
  CScanOptions options;
  options.notRunningPauseMilliseconds = 5000;
  options.retryIntervalMilliseconds = 10;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(ScanDatabase(m_store.get(), config, &m_connection, options));
  std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(m_connection.openAttempts(), 4);
  EXPECT_EQ(output.rfind("Database is not running!\nOpen Database Success!\n", 0), 0u) << output;
  EXPECT_EQ(m_store->GetRecordCount(), 2);
}

TEST_F(ScanDatabaseTest, ADatabaseThatStaysDownIsRetriedForTheWholeRetryTime) {
  Fill(1);
  m_connection.RefuseOpens(1000000);
  ASSERT_TRUE(WriteTextFile(m_dir.Path("db.xml"),
                            "<DBConnectString>memory</DBConnectString>"
                            "<Table>docs</Table><SortField>id</SortField>"));
  CDBConfig config;
  ASSERT_TRUE(config.Load(m_dir.Path("db.xml").c_str()));
  CScanOptions options;
  options.notRunningPauseMilliseconds = 300;
  options.retryIntervalMilliseconds = 50;
  testing::internal::CaptureStdout();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ScanDatabase(m_store.get(), config, &m_connection, options));
  auto elapsed = std::chrono::steady_clock::now() - start;
  std::string output = testing::internal::GetCapturedStdout();
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  EXPECT_GE(m_connection.openAttempts(), 3);
  EXPECT_LE(m_connection.openAttempts(), 8);
  EXPECT_EQ(output, "Database is not running!\nDatabase error: Server is starting up\n");
  EXPECT_TRUE(m_connection.statements().empty());  // no statement on a closed connection
}

TEST_F(ScanDatabaseTest, RowErrorsKeepTheRowsReadBefore) {
  // A failing row ends the scan as a failure, also when it is fetched while worker threads
  // prepare earlier batches (row 150 lies in the third batch).
  Fill(300);
  for (int failing : {3, 150}) {
    m_table.rows[static_cast<size_t>(failing)].SetFailure("body", "conversion of row failed");
    for (int threads : {1, 2, 3}) {
      m_store = std::make_unique<CDataLineIndex>(m_schema, &m_trie, false);
      bool result = true;
      std::string output = Scan("memory", "docs", "id", &result, threads);
      EXPECT_FALSE(result);
      EXPECT_EQ(m_store->GetRecordCount(), failing) << threads;
      EXPECT_NE(ReadDailyLog().find("] conversion of row failed\n"), std::string::npos);
      EXPECT_EQ(output.find("记录数："), std::string::npos);
      EXPECT_NE(output.find("Database error: conversion of row failed\n"), std::string::npos);
    }
    m_table.rows[static_cast<size_t>(failing)] =
        CMemoryRow{{"ID", IntValue(failing)}, {"Body", TextValue("中国人民")}};
  }
}

TEST_F(ScanDatabaseTest, ARecordTheStoreRefusesEndsTheThreadedScan) {
  Fill(300);
  for (int threads : {1, 3}) {
    m_store = std::make_unique<CDataLineIndex>(m_schema, &m_trie, false);
    tFORMAT_LIMITS limits;
    limits.records = 130;
    m_store->SetFormatLimits(limits);
    bool result = true;
    std::string output = Scan("memory", "docs", "id", &result, threads);
    EXPECT_FALSE(result);
    // The caller reports the limit; it is no failure of the database.
    EXPECT_EQ(output.find("Database error"), std::string::npos);
    EXPECT_EQ(m_store->GetRecordCount(), 130) << threads;
    EXPECT_EQ(m_store->GetLimitMessage(),
              "Record 130 would take the records past the limit of the file formats (130)");
  }
}

TEST_F(ScanDatabaseTest, SchemaColumnMissingFromTheTableEndsTheScan) {
  m_table.Add(CMemoryRow{{"id", IntValue(1)}, {"text", TextValue("x")}});
  bool result = true;
  Scan("memory", "docs", "id", &result);
  EXPECT_FALSE(result);
  EXPECT_NE(ReadDailyLog().find("body"), std::string::npos);
}

TEST_F(ScanDatabaseTest, NoConnectionInstance) {
  CDBConfig config;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(ScanDatabase(m_store.get(), config, nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Create Instance failed!");
}

TEST(SortKeyTest, KeysCompareAsTheirValuesAndQuoteAsSqlLiterals) {
  CDbValue number;
  number.kind = CDbValue::kInt32;
  number.integer = -42;
  EXPECT_EQ(EncodeSortKey(number), "i -42");
  EXPECT_EQ(SortKeyLiteral("i -42"), "-42");
  CDbValue text;
  text.kind = CDbValue::kText;
  text.text = "it's";
  EXPECT_EQ(EncodeSortKey(text), "t 69742773");
  EXPECT_EQ(SortKeyLiteral("t 69742773"), "'it''s'");  // a quote is doubled
  EXPECT_EQ(EncodeSortKey(CDbValue()), "");            // NULL has no key
  CDbValue real;
  real.kind = CDbValue::kDouble;
  real.real = 1.5;
  EXPECT_EQ(EncodeSortKey(real), "");
  struct {
    const char* a;
    const char* b;
    bool less;
  } const cases[] = {
      {"i 9", "i 10", true},  // numbers numerically, not as texts
      {"i 10", "i 9", false},    {"i -3", "i 2", true},
      {"i 5", "i 5", false},     {"t 61", "t 6161", true},  // a prefix first
      {"t 7a", "t 6161", false}, {"t 61ff", "t 62", true},  // bytes compared unsigned
      {"t 80", "t 7f", false},   {"i 1", "t 61", false},    // different kinds never compare
      {"t 61", "i 1", false},
  };
  for (const auto& c : cases) EXPECT_EQ(SortKeyLess(c.a, c.b), c.less) << c.a << " < " << c.b;
}

// Rows that sample the heap when the walk reaches row `sampleAt` (on the fetching thread).
class CSampledRows : public CDbRecordSet {
 public:
  CSampledRows(const std::vector<CMemoryRow>* rows, size_t sampleAt)
      : m_rows(rows), m_sampleAt(sampleAt) {}
  bool AtEnd() const override { return m_position >= m_rows->size(); }
  const CDbRow& GetRow() const override { return (*m_rows)[m_position]; }
  bool MoveNext(std::string*) override {
    if (++m_position == m_sampleAt) m_sampled = HeapInUse();
    return true;
  }
  size_t sampled() const { return m_sampled; }

 private:
  const std::vector<CMemoryRow>* m_rows;
  size_t m_sampleAt;
  size_t m_position = 0;
  size_t m_sampled = 0;
};

// A very long value early in a scan leaves no record buffer of its size behind, on one
// thread and on several: a thousand rows later the heap holds little more than before.
TEST(ScanBuffersTest, AVeryLongFieldIsNotKeptByTheRecordsReusedForTheRestOfTheScan) {
  CScratchDirectory directory;
  CPDAT trie;
  ASSERT_TRUE(BuildTestTrie({"中国", "人民"}, directory.Path("dict.txt"), &trie));
  // "big" is a filter only: the store keeps its number, not its text.
  ASSERT_TRUE(WriteTextFile(directory.Path("schema.txt"),
                            "h\n1 id id I 0 1 1 0 n\n2 body body T 1 0 1 1 b\n"
                            "3 big big T 0 1 0 0 x\n"));
  CFieldInfo schema;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(schema.ImportText(directory.Path("schema.txt").c_str()));
  testing::internal::GetCapturedStdout();
  constexpr size_t kLong = 16 << 20;
  // What the heap holds at row 1100 of a walk over 1200 rows, beyond what it held before.
  auto grown = [&](int threads, bool withLongValue) -> size_t {
    std::vector<CMemoryRow> rows;
    for (int i = 0; i < 1200; ++i) {
      const bool isLong = withLongValue && i == 1;
      rows.push_back(CMemoryRow{{"id", IntValue(i)},
                                {"body", TextValue("中国人民")},
                                {"big", TextValue(isLong ? std::string(kLong, '7') : "5")}});
    }
    CDataLineIndex store(schema, &trie, false);
    CSampledRows walked(&rows, 1100);
    tROW_WALK walk;
    walk.threads = threads;
    std::string error;
    const size_t before = HeapInUse();
    testing::internal::CaptureStdout();
    const bool done = WalkRows(&store, &walked, walk, &error);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(done) << error;
    EXPECT_EQ(store.GetRecordCount(), 1200);
    return walked.sampled() > before ? walked.sampled() - before : 0;
  };
  for (int threads : {1, 3}) {
    SCOPED_TRACE(threads);
    EXPECT_LT(grown(threads, true), grown(threads, false) + kLong / 4);
  }
}

TEST(RestrictTableTest, AConditionJoinsTheTablesWhereClauseOrIsRefusedWithTheReason) {
  struct {
    const char* table;
    const char* from;    // with the condition "k > ?"; "" when refused
    const char* reason;  // part of the reason when refused
  } const cases[] = {
      {"docs", "docs where k > ?", ""},
      {"docs where id > 10000000", "docs where (id > 10000000) and (k > ?)", ""},
      {"docs WHERE a = 1 or b = 2", "docs where (a = 1 or b = 2) and (k > ?)", ""},
      {"docs where t = 'order by x' and u = \"limit\"",
       "docs where (t = 'order by x' and u = \"limit\") and (k > ?)", ""},
      {"docs where id in (select id from other where x = 1)",
       "docs where (id in (select id from other where x = 1)) and (k > ?)", ""},
      {"docs where t = 'it''s'", "docs where (t = 'it''s') and (k > ?)", ""},
      {"docs_where where x_order = 1", "docs_where where (x_order = 1) and (k > ?)", ""},
      {"表 where 名 = '中'", "表 where (名 = '中') and (k > ?)", ""},
      {"docs where id > 5 order by id", "", "\"order\""},
      {"docs where id > 5 limit 10", "", "\"limit\""},
      {"docs where a = 1 union select * from x", "", "\"union\""},
      {"docs group by id", "", "\"group\""},
      {"docs where id > 5 -- shard c", "", "comment"},
      {"docs where id > 5 /* c */", "", "comment"},
      {"docs where id > 5; delete from docs", "", "semicolon"},
      {"docs where t = 'open", "", "unbalanced"},
      {"docs where (id > 5", "", "unbalanced"},
      {"docs where a = 1 where b = 2", "", "two where"},
  };
  for (const auto& c : cases) {
    std::string from;
    std::string why;
    const bool joined = RestrictTable(c.table, "k > ?", &from, &why);
    EXPECT_EQ(joined, *c.from != '\0') << c.table << ": " << why;
    if (joined) {
      EXPECT_EQ(from, c.from) << c.table;
    } else {
      EXPECT_NE(why.find(c.reason), std::string::npos) << c.table << ": " << why;
    }
  }
}

class DBConfigTest : public ::testing::Test {
 protected:
  CScratchDirectory m_dir;
};

TEST_F(DBConfigTest, ValuesAreTakenExactlyAsWritten) {
  ASSERT_TRUE(WriteTextFile("db.xml",
                            "<Host>h</Host><Database>d</Database><Username>u</Username>"
                            "<Password>p w</Password><Table> 表 </Table>"
                            "<DBConnectString>sqlite:/tmp/x.db</DBConnectString>"));
  CDBConfig config;
  ASSERT_TRUE(config.Load("db.xml"));
  EXPECT_STREQ(config.GetHost(), "h");
  EXPECT_STREQ(config.GetDatabase(), "d");
  EXPECT_STREQ(config.GetUsername(), "u");
  EXPECT_STREQ(config.GetPassword(), "p w");
  EXPECT_STREQ(config.GetTable(), " 表 ");
  EXPECT_STREQ(config.GetSortField(), "");  // missing key
  EXPECT_STREQ(config.GetConnectString(), "sqlite:/tmp/x.db");
}

TEST_F(DBConfigTest, MissingEmptyOrOverlongConfigurationIsRefused) {
  CDBConfig config;
  EXPECT_FALSE(config.Load("absent.xml"));
  ASSERT_TRUE(WriteTextFile("empty.xml", ""));
  EXPECT_FALSE(config.Load("empty.xml"));

  ASSERT_TRUE(WriteTextFile("ok.xml", "<Table>" + std::string(255, 't') + "</Table>"));
  ASSERT_TRUE(config.Load("ok.xml"));
  EXPECT_EQ(std::string(config.GetTable()).size(), 255u);

  ASSERT_TRUE(WriteTextFile(
      "long.xml", "<Table>t</Table><SortField>" + std::string(256, 's') + "</SortField>"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(config.Load("long.xml"));
  std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find("SortField"), std::string::npos);
  EXPECT_NE(output.find("long.xml"), std::string::npos);
  EXPECT_EQ(std::string(config.GetTable()).size(), 255u);  // unchanged
}

TEST_F(DBConfigTest, BuildSettingsAreNumbersInRange) {
  struct Case {
    const char* tags;
    bool loads;
    int memoryMB, threads;
    bool append;
  } const cases[] = {
      {"", true, CDBConfig::kDefaultIndexMemoryMB, 0, false},
      {"<IndexMemoryMB></IndexMemoryMB><IndexThreads></IndexThreads>", true,
       CDBConfig::kDefaultIndexMemoryMB, 0, false},
      {"<IndexMemoryMB>256</IndexMemoryMB><IndexThreads>2</IndexThreads><Append>1</Append>", true,
       256, 2, true},
      {"<IndexMemoryMB>0</IndexMemoryMB><Append>0</Append>", true, 0, 0, false},
      {"<IndexMemoryMB>-5</IndexMemoryMB>", false, 0, 0, false},
      {"<IndexMemoryMB>1048577</IndexMemoryMB>", false, 0, 0, false},
      {"<IndexMemoryMB>99999999999999999999</IndexMemoryMB>", false, 0, 0, false},
      {"<IndexThreads>2x</IndexThreads>", false, 0, 0, false},
      {"<IndexThreads>257</IndexThreads>", false, 0, 0, false},
      {"<Append>2</Append>", false, 0, 0, false},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteTextFile("db.xml", std::string("<Table>t</Table>") + c.tags));
    CDBConfig config;
    testing::internal::CaptureStdout();
    EXPECT_EQ(config.Load("db.xml"), c.loads) << c.tags;
    std::string output = testing::internal::GetCapturedStdout();
    if (!c.loads) {
      EXPECT_NE(output.find("db.xml"), std::string::npos) << c.tags;
      continue;
    }
    EXPECT_EQ(config.GetIndexMemoryMB(), c.memoryMB) << c.tags;
    EXPECT_EQ(config.GetIndexThreads(), c.threads) << c.tags;
    EXPECT_EQ(config.GetAppend(), c.append) << c.tags;
  }
}

TEST_F(DBConfigTest, SourceEncodingIsUtf8UnlessSetToGbk) {
  struct Case {
    const char* tag;  // the whole SourceEncoding element, or nothing
    bool loads;
    SourceEncoding encoding;
  } const cases[] = {
      {"", true, SourceEncoding::kUtf8},
      {"<SourceEncoding></SourceEncoding>", true, SourceEncoding::kUtf8},
      {"<SourceEncoding>UTF-8</SourceEncoding>", true, SourceEncoding::kUtf8},
      {"<SourceEncoding>utf8</SourceEncoding>", true, SourceEncoding::kUtf8},
      {"<SourceEncoding>GBK</SourceEncoding>", true, SourceEncoding::kGbk},
      {"<SourceEncoding>gbk</SourceEncoding>", true, SourceEncoding::kGbk},
      {"<SourceEncoding>GB2312</SourceEncoding>", false, SourceEncoding::kUtf8},
      {"<SourceEncoding> GBK</SourceEncoding>", false, SourceEncoding::kUtf8},
      {"<SourceEncoding>GBKGBK</SourceEncoding>", false, SourceEncoding::kUtf8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    ASSERT_TRUE(WriteTextFile("db.xml", std::string("<Table>t</Table>") + c.tag));
    CDBConfig config;
    testing::internal::CaptureStdout();
    EXPECT_EQ(config.Load("db.xml"), c.loads);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.find("SourceEncoding") != std::string::npos, !c.loads);
    EXPECT_EQ(config.GetSourceEncoding(), c.encoding);
  }
}

}  // namespace
