// The promise that one table gives the same data set whichever database holds it: the sample
// table (testing/records/sample_table.h) is written into SQLite and into every server whose
// connection string is set (TRINDLE_PG_ODBC from scripts/pg_test_cluster.sh start,
// TRINDLE_MARIADB_ODBC from scripts/mariadb_test_cluster.sh start), scanned, and the data sets
// must be byte-identical. Without any server the test is skipped.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/records/data_line_index.h"
#include "core/records/data_set_files.h"
#include "core/records/field_info.h"
#include "core/scan/db/odbc_source.h"
#include "core/scan/db/sqlite_source.h"
#include "core/scan/db_config.h"
#include "core/scan/scan_database.h"
#include "core/text/encoding.h"
#include "core/text/pdat.h"
#include "testing/records/sample_table.h"
#include "testing/records/store_fixture.h"

namespace {

struct tServer {
  const char* name;
  const char* variable;
  SqlDialect dialect;
};
const tServer kServers[] = {
    {"postgres", "TRINDLE_PG_ODBC", SqlDialect::kPostgres},
    {"mariadb", "TRINDLE_MARIADB_ODBC", SqlDialect::kMariaDb},
};

std::string ServerString(const tServer& server) {
  const char* value = std::getenv(server.variable);
  return value != nullptr ? value : "";
}

class SameDataSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    ASSERT_TRUE(BuildTestTrie({"中国", "人民", "北京", "大学", "学生", "上海", "abc"},
                              m_dir.Path("dict.txt"), &m_trie));
    ASSERT_TRUE(WriteTextFile(m_dir.Path("schema.txt"), kSampleSchema));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(m_schema.ImportText(m_dir.Path("schema.txt").c_str()));
    testing::internal::GetCapturedStdout();
  }

  // Scans table docs through `connection` and saves the data set under `base`.
  void Index(const std::string& connect, CDbConnection* connection, const std::string& base) {
    ASSERT_TRUE(WriteTextFile(m_dir.Path("db.xml"), "<DBConnectString>" + connect +
                                                        "</DBConnectString><Table>docs</Table>"
                                                        "<SortField>id</SortField>"));
    CDBConfig config;
    ASSERT_TRUE(config.Load(m_dir.Path("db.xml").c_str()));
    CDataLineIndex store(m_schema, &m_trie, false);
    testing::internal::CaptureStdout();
    bool scanned = ScanDatabase(&store, config, connection);
    bool saved = store.Save(base.c_str());
    std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(scanned) << output << ReadDailyLog();
    ASSERT_TRUE(saved) << output;
    EXPECT_EQ(store.GetRecordCount(), 240);
  }

  std::string Cell(const CDataLineIndex& store, int record, int column) {
    int length = 0;
    const char* text = store.GetCell(record, column, &length);
    return std::string(text, static_cast<size_t>(length));
  }

  CScratchDirectory m_dir;
  CPDAT m_trie;
  CFieldInfo m_schema;
};

TEST_F(SameDataSetTest, SqliteAndEveryServerGiveByteIdenticalDataSets) {
  bool anyServer = false;
  for (const tServer& server : kServers) anyServer |= !ServerString(server).empty();
  if (!anyServer) GTEST_SKIP() << "neither TRINDLE_PG_ODBC nor TRINDLE_MARIADB_ODBC is set";

  // SQLite: written through its own library (the layer opens files read-only).
  std::string sqlitePath = m_dir.Path("docs.db");
  std::string utf8 = GbkToUtf8(SampleTableStatements(SqlDialect::kSqlite));
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(sqlitePath.c_str(), &handle), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(handle, utf8.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(handle);
  CSqliteConnection sqlite;
  Index("sqlite:" + sqlitePath, &sqlite, m_dir.Path("from_sqlite"));

  // The content is what the rows hold (the servers are compared with it below).
  CDataLineIndex loaded(m_schema, &m_trie, true);
  ASSERT_TRUE(loaded.Load(m_dir.Path("from_sqlite").c_str()));
  EXPECT_EQ(Cell(loaded, 13, 1), "上海人民?");     // a 4-byte character outside GBK
  EXPECT_EQ(Cell(loaded, 19, 1), "大学北京?一?");  // 3- and 4-byte ones around a GBK one
  EXPECT_EQ(Cell(loaded, 5, 1), "");               // NULL
  EXPECT_EQ(Cell(loaded, 29, 1), "");              // empty string
  std::string longBody = Cell(loaded, 41, 2);
  EXPECT_GT(longBody.size(), 65536u);
  EXPECT_EQ(longBody.back(), '?');
  EXPECT_EQ(loaded.GetFilterValue(14, 1), 0);          // NULL year
  EXPECT_EQ(loaded.GetFilterValue(14, 2), -13);        // 14 * 0.5 - 20 truncated
  EXPECT_EQ(loaded.GetFilterValue(14, 3), INT32_MAX);  // beyond 32 bits
  EXPECT_EQ(Cell(loaded, 14, 4), "2020-03-15 10:14:38");

  // The data-line file and the three index files of `base`.
  auto dataFiles = [](const std::string& base) {
    std::vector<std::string> files = {DataLinePath(base)};
    for (size_t k = 0; k < 3; ++k) files.push_back(IndexPath(base, k));
    return files;
  };
  const std::vector<std::string> expectedFiles = dataFiles(m_dir.Path("from_sqlite"));
  for (const tServer& server : kServers) {
    std::string connect = ServerString(server);
    if (connect.empty()) continue;
    SCOPED_TRACE(server.name);
    std::string error;
    auto connection = COdbcConnection::Create();
    ASSERT_TRUE(connection->Open(connect, &error)) << error;
    RunStatements(connection.get(), "drop table if exists docs", &error);
    ASSERT_TRUE(RunStatements(connection.get(), SampleTableStatements(server.dialect), &error))
        << error;
    connection->Close();
    std::string base = m_dir.Path(std::string("from_") + server.name);
    Index(connect, connection.get(), base);
    const std::vector<std::string> actualFiles = dataFiles(base);
    for (size_t i = 0; i < actualFiles.size(); ++i) {
      std::string expected = ReadBinaryFile(expectedFiles[i]);
      std::string actual = ReadBinaryFile(actualFiles[i]);
      EXPECT_FALSE(expected.empty()) << expectedFiles[i];
      EXPECT_TRUE(expected == actual) << actualFiles[i] << " differs (" << expected.size() << " vs "
                                      << actual.size() << " bytes)";
    }
    ASSERT_TRUE(connection->Open(connect, &error)) << error;
    RunStatements(connection.get(), "drop table if exists docs", &error);
  }
}

}  // namespace
