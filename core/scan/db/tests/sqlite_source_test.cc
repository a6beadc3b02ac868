// Tests of the SQLite database layer against real database files: opening, the value kinds
// of SQLite's storage classes, column look-up and the error descriptions.
#include "core/scan/db/sqlite_source.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "core/scan/db/db_factory.h"
#include "core/scan/db/named_record_set.h"
#include "testing/records/store_fixture.h"

namespace {

bool RunSql(const std::string& database, const char* sql) {
  sqlite3* handle = nullptr;
  bool ok = sqlite3_open(database.c_str(), &handle) == SQLITE_OK &&
            sqlite3_exec(handle, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(handle);
  return ok;
}

class SqliteSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    m_path = m_dir.Path("t.db");
    // Outside the assertion, whose text of the condition would have to be GBK.
    const char* sql =
        u8"create table t (id integer, name text, score real, born datetime, "
        u8"data blob, 编号 integer);"
        u8"insert into t values (1, '中国', 2.75, '2020-01-02 03:04:05', x'6162', 7);"
        u8"insert into t values (5000000000, NULL, NULL, 17, NULL, -3);"
        u8"insert into t values (-5000000000, 'a😀', -1.5, NULL, x'', 0);";
    ASSERT_TRUE(RunSql(m_path, sql));
    std::string error;
    ASSERT_TRUE(m_connection.Open("sqlite:" + m_path, &error)) << error;
  }

  // The values of `column` over the rows of "select * from t order by rowid".
  std::vector<CDbValue> Column(const char* column) {
    std::string error;
    auto rows = m_connection.Execute("select * from t order by rowid", &error);
    EXPECT_NE(rows, nullptr) << error;
    std::vector<CDbValue> values;
    while (rows != nullptr && !rows->AtEnd()) {
      CDbValue value;
      EXPECT_TRUE(rows->GetRow().GetColumn(column, &value, &error)) << error;
      values.push_back(value);
      EXPECT_TRUE(rows->MoveNext(&error));
    }
    return values;
  }

  CScratchDirectory m_dir;
  std::string m_path;
  CSqliteConnection m_connection;
};

TEST_F(SqliteSourceTest, StorageClassesBecomeValueKinds) {
  auto ids = Column("id");
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids[0].kind, CDbValue::kInt32);
  EXPECT_EQ(ids[0].integer, 1);
  EXPECT_EQ(ids[1].integer, INT32_MAX);  // beyond 32 bits: clamped like atoi's reading
  EXPECT_EQ(ids[2].integer, INT32_MIN);

  auto names = Column("NAME");  // any case
  EXPECT_EQ(names[0].kind, CDbValue::kText);
  EXPECT_EQ(names[0].text, "中国");
  EXPECT_EQ(names[1].kind, CDbValue::kNull);
  EXPECT_EQ(names[2].text, "a?");

  auto scores = Column("score");
  EXPECT_EQ(scores[0].kind, CDbValue::kDouble);
  EXPECT_EQ(scores[0].real, 2.75);
  EXPECT_EQ(scores[1].kind, CDbValue::kNull);

  auto born = Column("born");  // declared datetime: text is a date-time as written
  EXPECT_EQ(born[0].kind, CDbValue::kDateTime);
  EXPECT_EQ(born[0].text, "2020-01-02 03:04:05");
  EXPECT_EQ(born[1].kind, CDbValue::kInt32);
  EXPECT_EQ(born[2].kind, CDbValue::kNull);

  auto data = Column("data");
  EXPECT_EQ(data[0].kind, CDbValue::kText);
  EXPECT_EQ(data[0].text, "ab");
  EXPECT_EQ(data[2].text, "");

  auto chinese = Column("编号");  // a GBK column name finds the UTF-8 one
  EXPECT_EQ(chinese[1].integer, -3);
}

TEST_F(SqliteSourceTest, MissingColumnsAndBadStatementsAreDescribed) {
  std::string error;
  auto rows = m_connection.Execute("select * from t order by id", &error);
  ASSERT_NE(rows, nullptr);
  CDbValue value;
  EXPECT_FALSE(rows->GetRow().GetColumn("absent", &value, &error));
  EXPECT_NE(error.find("absent"), std::string::npos);

  EXPECT_EQ(m_connection.Execute("select * from nothere order by id", &error), nullptr);
  EXPECT_NE(error.find("nothere"), std::string::npos);
  EXPECT_NE(error.find("(SQLite error 1)"), std::string::npos) << error;
  EXPECT_EQ(m_connection.Execute("select * from t order by ", &error), nullptr);
  EXPECT_FALSE(error.empty());

  auto count = m_connection.Execute("select count(*) as num from t", &error);
  ASSERT_NE(count, nullptr);
  ASSERT_TRUE(count->GetRow().GetColumn("num", &value, &error));
  EXPECT_EQ(value.integer, 3);
  EXPECT_TRUE(count->MoveNext(&error));
  EXPECT_TRUE(count->AtEnd());
  EXPECT_FALSE(count->MoveNext(&error));
}

TEST_F(SqliteSourceTest, OpeningNeedsAnExistingDatabaseFile) {
  ASSERT_TRUE(WriteTextFile(m_dir.Path("text.db"), "this is no database, just some text\n"));
  struct Case {
    std::string connect;
  } const cases[] = {{"sqlite:"},
                     {"sqlite:" + m_dir.Path("absent.db")},
                     {"sqlite:" + m_dir.Path("text.db")},
                     {"Driver=x;" + m_path}};
  for (const Case& c : cases) {
    CSqliteConnection connection;
    std::string error;
    EXPECT_FALSE(connection.Open(c.connect, &error)) << c.connect;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(connection.Execute("select count(*) as num from t", &error), nullptr);
  }
  EXPECT_FALSE(FileExists(m_dir.Path("absent.db")));  // opening never creates a database
}

TEST_F(SqliteSourceTest, FactoryChoosesTheLayerByTheConnectionString) {
  std::string error;
  auto sqlite = CreateDbConnection("sqlite:" + m_path);
  ASSERT_NE(sqlite, nullptr);
  EXPECT_NE(dynamic_cast<CSqliteConnection*>(sqlite.get()), nullptr);
  EXPECT_TRUE(sqlite->Open("sqlite:" + m_path, &error));
  auto odbc = CreateDbConnection("DSN=nothing-of-that-name");
  ASSERT_NE(odbc, nullptr);
  EXPECT_EQ(dynamic_cast<CSqliteConnection*>(odbc.get()), nullptr);
  EXPECT_FALSE(odbc->Open("DSN=nothing-of-that-name", &error));
  EXPECT_FALSE(error.empty());
}

TEST_F(SqliteSourceTest, RecordSetOutlivesAClose) {
  std::string error;
  auto rows = m_connection.Execute("select * from t order by id", &error);
  ASSERT_NE(rows, nullptr);
  m_connection.Close();
  EXPECT_EQ(m_connection.Execute("select * from t order by id", &error), nullptr);
  rows.reset();  // finalises after the close without touching freed memory (ASan)
}

// One table, text in both encodings: each setting decodes every value the same way and
// reports the values that are not valid in it, once each, with row and column.
TEST(SqliteSourceEncodingTest, EveryValueIsDecodedByTheConfiguredEncoding) {
  CScratchDirectory dir;
  const std::string path = dir.Path("mixed.db");
  // Row 1: UTF-8 "中"; row 2: GBK "谢谢" (D0 BB D0 BB, valid UTF-8 as well); row 3: GBK
  // "中国" (no UTF-8); row 4: the bytes of row 3 as a BLOB.
  ASSERT_TRUE(RunSql(path,
                     "create table t (id integer, name text, data blob);"
                     "insert into t values (1, cast(x'E4B8AD' as text), NULL);"
                     "insert into t values (2, cast(x'D0BBD0BB' as text), NULL);"
                     "insert into t values (3, cast(x'D6D0B9FA' as text), NULL);"
                     "insert into t values (4, NULL, x'D6D0B9FA');"));
  struct Case {
    SourceEncoding encoding;
    std::vector<std::string> names;  // GBK
    std::string data;
    std::vector<std::string> reports;
  } const cases[] = {
      {SourceEncoding::kUtf8,
       {"中", "лл", "?\xA7\xDB?", ""},
       "?\xA7\xDB?",
       {"Row 3 column name: not valid UTF-8", "Row 4 column data: not valid UTF-8"}},
      {SourceEncoding::kGbk,
       {"\xE4\xB8?", "谢谢", "中国", ""},
       "中国",
       {"Row 1 column name: not valid GBK"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(SourceEncodingName(c.encoding));
    auto connection = CreateDbConnection("sqlite:" + path);
    connection->SetSourceEncoding(c.encoding);
    std::string error;
    ASSERT_TRUE(connection->Open("sqlite:" + path, &error)) << error;
    testing::internal::CaptureStdout();
    auto rows = connection->Execute("select * from t order by id", &error);
    ASSERT_NE(rows, nullptr) << error;
    std::vector<std::string> names;
    CDbValue value;
    while (!rows->AtEnd()) {
      for (int read = 0; read < 2; ++read) {  // a value read twice is reported once
        ASSERT_TRUE(rows->GetRow().GetColumn("name", &value, &error));
        ASSERT_TRUE(rows->GetRow().GetColumn("data", &value, &error));
      }
      ASSERT_TRUE(rows->GetRow().GetColumn("name", &value, &error));
      names.push_back(value.kind == CDbValue::kNull ? "" : value.text);
      ASSERT_TRUE(rows->MoveNext(&error));
    }
    EXPECT_EQ(value.kind, CDbValue::kNull);
    rows.reset();
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(names, c.names);
    size_t lines = 0;
    for (char ch : printed) lines += ch == '\n';
    EXPECT_EQ(lines, c.reports.size()) << printed;
    for (const std::string& report : c.reports) {
      EXPECT_NE(printed.find(report), std::string::npos) << printed;
    }
    auto blob = connection->Execute("select data from t where id = 4", &error);
    ASSERT_NE(blob, nullptr);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(blob->GetRow().GetColumn("data", &value, &error));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(value.text, c.data);
  }
}

TEST(SqliteSourceEncodingTest, ManyInvalidValuesAreListedUpToALimitThenCounted) {
  CScratchDirectory dir;
  const std::string path = dir.Path("gbk.db");
  std::string sql = "create table t (id integer, name text);";
  const int rowCount = static_cast<int>(CNamedRecordSet::kListedInvalid) + 7;
  for (int row = 1; row <= rowCount; ++row) {
    sql += "insert into t values (" + std::to_string(row) + ", cast(x'D6D0' as text));";
  }
  ASSERT_TRUE(RunSql(path, sql.c_str()));
  CSqliteConnection connection;
  std::string error;
  ASSERT_TRUE(connection.Open("sqlite:" + path, &error));
  testing::internal::CaptureStdout();
  {
    auto rows = connection.Execute("select * from t order by id", &error);
    ASSERT_NE(rows, nullptr);
    CDbValue value;
    for (; !rows->AtEnd(); rows->MoveNext(&error)) rows->GetRow().GetColumn("name", &value, &error);
  }
  std::string printed = testing::internal::GetCapturedStdout();
  size_t lines = 0;
  for (char ch : printed) lines += ch == '\n';
  EXPECT_EQ(lines, static_cast<size_t>(CNamedRecordSet::kListedInvalid) + 1) << printed;
  EXPECT_NE(printed.find("Row 20 column name"), std::string::npos);
  EXPECT_EQ(printed.find("Row 21 column name"), std::string::npos);
  EXPECT_NE(printed.find(std::to_string(rowCount) + " values in all were not valid UTF-8"),
            std::string::npos);
}

}  // namespace
