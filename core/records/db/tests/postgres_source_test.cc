// Integration tests of the ODBC layer against a real PostgreSQL server, and of the promise
// that one table gives the same data set whichever database holds it. They need the
// connection string of a server in TRINDLE_PG_ODBC (scripts/pg_test_cluster.sh start prints
// it) and are skipped without it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/records/data_line_index.h"
#include "core/records/db/odbc_source.h"
#include "core/records/db/sqlite_source.h"
#include "core/records/db_config.h"
#include "core/records/field_info.h"
#include "core/records/scan_database.h"
#include "core/text/encoding.h"
#include "core/text/pdat.h"
#include "testing/records/store_fixture.h"

namespace {

const char* ServerString() { return std::getenv("TRINDLE_PG_ODBC"); }

#define REQUIRE_SERVER()                                                             \
  if (ServerString() == nullptr || *ServerString() == '\0') {                        \
    GTEST_SKIP() << "TRINDLE_PG_ODBC is not set (scripts/pg_test_cluster.sh start)"; \
  }

// Runs statements that return no rows; false with the description on failure.
bool RunStatements(CDbConnection* connection, const std::string& statements, std::string* error) {
  size_t start = 0;
  while (start < statements.size()) {
    size_t end = statements.find(";\n", start);
    if (end == std::string::npos) end = statements.size();
    std::string statement = statements.substr(start, end - start);
    start = end + 2;
    if (statement.empty()) continue;
    if (connection->Execute(statement, error) == nullptr) return false;
  }
  return true;
}

class PostgresSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SERVER();
    m_connection = COdbcConnection::Create();
    ASSERT_NE(m_connection, nullptr);
    std::string error;
    ASSERT_TRUE(m_connection->Open(ServerString(), &error)) << error;
  }

  CDbValue Value(const std::unique_ptr<CDbRecordSet>& rows, const char* column) {
    CDbValue value;
    std::string error;
    EXPECT_TRUE(rows->GetRow().GetColumn(column, &value, &error)) << column << ": " << error;
    return value;
  }

  std::unique_ptr<COdbcConnection> m_connection;
};

TEST_F(PostgresSourceTest, SqlTypesBecomeValueKinds) {
  std::string error;
  auto rows = m_connection->Execute(
      "select 7 as i, cast(-3 as smallint) as s, cast(5000000000 as bigint) as big, "
      "cast(123 as bigint) as small_big, cast(12.7 as numeric) as n, cast(-2.5 as float8) as d, "
      "timestamp '2020-01-02 03:04:05.678' as ts, date '2021-02-03' as dt, "
      "cast('中国人民' as text) as t, cast('x' as varchar(4)) as v, cast(null as text) as nl, "
      "cast('ab' as bytea) as b, cast(null as integer) as ni, repeat('长', 20000) as long_text",
      &error);
  ASSERT_NE(rows, nullptr) << error;
  ASSERT_FALSE(rows->AtEnd());
  struct Case {
    const char* column;
    CDbValue::Kind kind;
    int32_t integer;
    double real;
    std::string text;
  } const cases[] = {
      {"i", CDbValue::kInt32, 7, 0, ""},
      {"S", CDbValue::kInt32, -3, 0, ""},
      {"big", CDbValue::kInt32, INT32_MAX, 0, ""},
      {"small_big", CDbValue::kInt32, 123, 0, ""},
      {"n", CDbValue::kInt32, 12, 0, ""},
      {"d", CDbValue::kDouble, 0, -2.5, ""},
      {"ts", CDbValue::kDateTime, 0, 0, "2020-01-02 03:04:05"},
      {"dt", CDbValue::kDateTime, 0, 0, "2021-02-03 00:00:00"},
      {"t", CDbValue::kText, 0, 0, "中国人民"},
      {"v", CDbValue::kText, 0, 0, "x"},
      {"nl", CDbValue::kNull, 0, 0, ""},
      {"b", CDbValue::kText, 0, 0, "ab"},
      {"ni", CDbValue::kNull, 0, 0, ""},
  };
  for (const Case& c : cases) {
    CDbValue value = Value(rows, c.column);
    EXPECT_EQ(value.kind, c.kind) << c.column;
    if (c.kind == CDbValue::kInt32) {
      EXPECT_EQ(value.integer, c.integer) << c.column;
    }
    if (c.kind == CDbValue::kDouble) {
      EXPECT_EQ(value.real, c.real) << c.column;
    }
    if (c.kind == CDbValue::kText || c.kind == CDbValue::kDateTime) {
      EXPECT_EQ(value.text, c.text) << c.column;
    }
  }
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += "长";
  EXPECT_EQ(Value(rows, "long_text").text, expected);  // read in pieces
  EXPECT_TRUE(rows->MoveNext(&error));
  EXPECT_TRUE(rows->AtEnd());
}

TEST_F(PostgresSourceTest, FailuresCarryTheServersDescription) {
  std::string error;
  EXPECT_EQ(m_connection->Execute("select * from no_such_table order by id", &error), nullptr);
  EXPECT_NE(error.find("no_such_table"), std::string::npos) << error;
  EXPECT_EQ(m_connection->Execute("select * from pg_class order by ", &error), nullptr);
  EXPECT_FALSE(error.empty());

  auto rows = m_connection->Execute("select 1 as one", &error);
  ASSERT_NE(rows, nullptr);
  CDbValue value;
  EXPECT_FALSE(rows->GetRow().GetColumn("two", &value, &error));

  auto closed = COdbcConnection::Create();
  EXPECT_FALSE(closed->Open("Driver=NoSuchDriver;Server=127.0.0.1", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(closed->Execute("select 1 as one", &error), nullptr);
}

// One table, filled with the same rows in SQLite and in PostgreSQL.
struct tSampleRow {
  int id;
  std::string title, body;  // GBK; "{emoji}" stands for a character outside GBK
  bool hasYear;
  int year;
  std::string created;
  double score;
  long long big;
};

std::vector<tSampleRow> SampleRows() {
  const char* words[] = {"中国", "人民", "北京", "大学", "学生", "上海", "电脑", "软件"};
  std::vector<tSampleRow> rows;
  for (int i = 0; i < 240; ++i) {
    int id = (i * 97) % 240;  // inserted out of order; the scan sorts by id
    tSampleRow row;
    row.id = id;
    row.title = std::string(words[id % 8]) + words[(id / 8) % 8];
    if (id % 11 == 0) row.title = "<b>" + row.title + "</b>&nbsp;";
    if (id % 13 == 0) row.title += "{emoji}";
    for (int k = 0; k < id % 9 + 1; ++k) row.body += std::string(words[(id + k * 3) % 8]) + "，";
    if (id % 17 == 0) row.body = "  " + row.body + "ＡＢＣ Abc\r\n";
    row.hasYear = id % 7 != 0;
    row.year = 1990 + id % 30;
    char created[32];
    std::snprintf(created, sizeof created, "2020-%02d-%02d 10:%02d:%02d", id % 12 + 1, id % 28 + 1,
                  id % 60, (id * 7) % 60);
    row.created = created;
    row.score = id * 0.5 - 20;
    row.big = 5000000000LL + id;
    rows.push_back(row);
  }
  return rows;
}

std::string Quote(const std::string& text, const std::string& emoji) {
  std::string quoted = "'";
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 7, "{emoji}") == 0) {
      quoted += "' || " + emoji + " || '";
      i += 6;
    } else {
      quoted += text[i];
      if (text[i] == '\'') quoted += '\'';
    }
  }
  return quoted + "'";
}

// The statements that create and fill the table; `dialect` picks type names and the way to
// write a character outside GBK.
std::string TableStatements(bool postgres) {
  std::string emoji = postgres ? "U&'\\+01F600'" : "char(128512)";
  std::string sql = std::string("create table docs (id integer, title text, body text, ") +
                    "year integer, created " + (postgres ? "timestamp" : "datetime") + ", score " +
                    (postgres ? "double precision" : "real") + ", big " +
                    (postgres ? "bigint" : "integer") + ");\n";
  for (const tSampleRow& row : SampleRows()) {
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, "%.17g, %lld", row.score, row.big);
    sql += "insert into docs values (" + std::to_string(row.id) + ", " + Quote(row.title, emoji) +
           ", " + Quote(row.body, emoji) + ", " +
           (row.hasYear ? std::to_string(row.year) : std::string("NULL")) + ", '" + row.created +
           "', " + numbers + ");\n";
  }
  return sql;
}

class SameDataSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_SERVER();
    ASSERT_FALSE(m_dir.path().empty());
    ASSERT_TRUE(BuildTestTrie({"中国", "人民", "北京", "大学", "学生", "上海", "abc"},
                              m_dir.Path("dict.txt"), &m_trie));
    ASSERT_TRUE(WriteTextFile(m_dir.Path("schema.txt"),
                              "h\n1 id id I 0 1 1 0 a\n2 title title T 1 0 1 1 b\n"
                              "3 body body T 1 0 1 1 c\n4 year year I 0 1 1 0 d\n"
                              "5 created created D 0 0 1 0 e\n6 score score I 0 1 1 0 f\n"
                              "7 big big I 0 1 0 0 g\n"));
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

  CScratchDirectory m_dir;
  CPDAT m_trie;
  CFieldInfo m_schema;
};

TEST_F(SameDataSetTest, SqliteAndPostgresGiveByteIdenticalDataSets) {
  std::string error;
  // SQLite: written through its own library (the layer opens files read-only).
  std::string sqlitePath = m_dir.Path("docs.db");
  std::string utf8;
  const std::string statements = TableStatements(false);
  AppendGbkAsUtf8(statements.data(), statements.size(), &utf8, FromGbk::kQuestionMark);
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(sqlitePath.c_str(), &handle), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(handle, utf8.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(handle);

  auto postgres = COdbcConnection::Create();
  ASSERT_TRUE(postgres->Open(ServerString(), &error)) << error;
  RunStatements(postgres.get(), "drop table if exists docs", &error);
  ASSERT_TRUE(RunStatements(postgres.get(), TableStatements(true), &error)) << error;
  postgres->Close();

  CSqliteConnection sqlite;
  Index("sqlite:" + sqlitePath, &sqlite, m_dir.Path("from_sqlite"));
  Index(ServerString(), postgres.get(), m_dir.Path("from_postgres"));

  const char* suffixes[] = {".dataline", ".index_0", ".index_1", ".index_2"};
  for (const char* suffix : suffixes) {
    std::string a = ReadBinaryFile(m_dir.Path("from_sqlite") + suffix);
    std::string b = ReadBinaryFile(m_dir.Path("from_postgres") + suffix);
    EXPECT_FALSE(a.empty()) << suffix;
    EXPECT_TRUE(a == b) << suffix << " differs (" << a.size() << " vs " << b.size() << " bytes)";
  }
  // And the content is what the rows hold: spot-check record 13 (emoji, HTML, NULL year).
  CDataLineIndex loaded(m_schema, &m_trie, true);
  ASSERT_TRUE(loaded.Load(m_dir.Path("from_postgres").c_str()));
  int length = 0;
  const char* title = loaded.GetCell(13, 1, &length);
  EXPECT_EQ(std::string(title, static_cast<size_t>(length)), "上海人民?");
  EXPECT_EQ(loaded.GetFilterValue(14, 1), 0);          // NULL year
  EXPECT_EQ(loaded.GetFilterValue(14, 2), -13);        // 14 * 0.5 - 20 truncated
  EXPECT_EQ(loaded.GetFilterValue(14, 3), INT32_MAX);  // bigint beyond 32 bits
  const char* created = loaded.GetCell(14, 4, &length);
  EXPECT_EQ(std::string(created, static_cast<size_t>(length)), "2020-03-15 10:14:38");

  ASSERT_TRUE(postgres->Open(ServerString(), &error)) << error;
  RunStatements(postgres.get(), "drop table if exists docs", &error);
}

}  // namespace
