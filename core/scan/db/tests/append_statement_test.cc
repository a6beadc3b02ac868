// The statements of an appending run on every database: the last key is a bound parameter,
// so a key holding quotes, backslashes, comment marks, NUL or non-ASCII text matches itself
// and nothing else, and a Table with a where clause of its own keeps it alongside the run's
// condition. SQLite always; PostgreSQL and MariaDB when their connection strings are set
// (TRINDLE_PG_ODBC from scripts/pg_test_cluster.sh start, TRINDLE_MARIADB_ODBC from
// scripts/mariadb_test_cluster.sh start).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/scan/db/odbc_source.h"
#include "core/scan/db/sqlite_source.h"
#include "core/scan/scan_database.h"
#include "core/text/encoding.h"
#include "testing/records/sample_table.h"
#include "testing/records/store_fixture.h"

namespace {

// GBK keys; row i + 1 holds kKeys[i]. Row 1 is outside the Table's own where clause.
const std::vector<std::string> kKeys = {
    "a0",
    "a1\\",
    "a2'",
    "a3\\' or 1=1 -- ",
    "a4' or 'x'='x",
    "a5 -- x",
    "a6\\'); drop table keyed; --",
    "a7中国人民",
    std::string("a8\0b", 4),
    "a9\"`x",
};
const char kTable[] = "keyed where id > 1";

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

// The statements that make table keyed(id, k) with the keys as UTF-8 text.
std::string CreateStatements(SqlDialect dialect, bool withNul) {
  std::string statements = "drop table if exists keyed;\n";
  statements += dialect == SqlDialect::kMariaDb
                    ? "create table keyed (id integer, k varchar(100)) character set utf8mb4;\n"
                    : "create table keyed (id integer, k varchar(100));\n";
  for (size_t i = 0; i < kKeys.size(); ++i) {
    if (!withNul && kKeys[i].find('\0') != std::string::npos) continue;
    const std::string hex = Hex(GbkToUtf8(kKeys[i]));
    std::string value;
    switch (dialect) {
      case SqlDialect::kSqlite:
        value = "cast(x'" + hex + "' as text)";
        break;
      case SqlDialect::kPostgres:
        value = "convert_from(decode('" + hex + "', 'hex'), 'UTF8')";
        break;
      case SqlDialect::kMariaDb:
        value = "convert(x'" + hex + "' using utf8mb4)";
        break;
    }
    statements += "insert into keyed values (" + std::to_string(i + 1) + ", " + value + ");\n";
  }
  return statements;
}

int Count(CDbConnection* connection, const std::string& condition, const std::string& key) {
  std::string from;
  std::string error;
  EXPECT_TRUE(RestrictTable(kTable, condition, &from, &error)) << error;
  tDbParameter parameter;
  parameter.isText = true;
  parameter.text = key;
  auto rows = connection->ExecuteWith("select count(*) as num from " + from, {parameter}, &error);
  EXPECT_NE(rows, nullptr) << error;
  if (rows == nullptr || rows->AtEnd()) return -1;
  CDbValue value;
  EXPECT_TRUE(rows->GetRow().GetColumn("num", &value, &error)) << error;
  return value.kind == CDbValue::kInt32 ? value.integer : std::atoi(value.text.c_str());
}

// Every key finds its own row through "=", and the rows up to it and after it make up the
// Table's rows, which exclude row 1 (the Table's where clause holds).
void CheckKeys(CDbConnection* connection, bool withNul) {
  const int tableRows = static_cast<int>(kKeys.size()) - (withNul ? 1 : 2);
  for (size_t i = 1; i < kKeys.size(); ++i) {
    const std::string& key = kKeys[i];
    if (!withNul && key.find('\0') != std::string::npos) continue;
    SCOPED_TRACE(key);
    EXPECT_EQ(Count(connection, "k = ?", key), 1);
    EXPECT_EQ(Count(connection, "k <= ? or k is null", key) + Count(connection, "k > ?", key),
              tableRows);
  }
  // The first key lies outside the Table's where clause.
  EXPECT_EQ(Count(connection, "k = ?", kKeys[0]), 0);
  // The table is still there.
  EXPECT_EQ(Count(connection, "k is not null or k = ?", "x"), tableRows);
}

TEST(AppendStatementTest, KeysAreBoundAndTheTablesWhereClauseHoldsOnSqlite) {
  CScratchDirectory directory;
  const std::string path = directory.Path("keyed.db");
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(handle, CreateStatements(SqlDialect::kSqlite, true).c_str(), nullptr,
                         nullptr, &message),
            SQLITE_OK)
      << (message != nullptr ? message : "");
  sqlite3_free(message);
  sqlite3_close(handle);
  CSqliteConnection connection;
  std::string error;
  ASSERT_TRUE(connection.Open("sqlite:" + path, &error)) << error;
  CheckKeys(&connection, true);
}

TEST(AppendStatementTest, KeysAreBoundAndTheTablesWhereClauseHoldsOnEveryServer) {
  struct tServer {
    const char* variable;
    SqlDialect dialect;
    bool withNul;  // PostgreSQL text holds no NUL
  };
  const tServer servers[] = {{"TRINDLE_PG_ODBC", SqlDialect::kPostgres, false},
                             {"TRINDLE_MARIADB_ODBC", SqlDialect::kMariaDb, true}};
  bool any = false;
  for (const tServer& server : servers) {
    const char* connect = std::getenv(server.variable);
    if (connect == nullptr || *connect == '\0') continue;
    any = true;
    SCOPED_TRACE(server.variable);
    auto connection = COdbcConnection::Create();
    ASSERT_NE(connection, nullptr);
    std::string error;
    ASSERT_TRUE(connection->Open(connect, &error)) << error;
    ASSERT_TRUE(
        RunStatements(connection.get(), CreateStatements(server.dialect, server.withNul), &error))
        << error;
    CheckKeys(connection.get(), server.withNul);
    RunStatements(connection.get(), "drop table keyed", &error);
    // A date-time key (read as "YYYY-MM-DD HH:MM:SS" text) compares with a timestamp column.
    ASSERT_TRUE(RunStatements(connection.get(),
                              "drop table if exists dated;\ncreate table dated (d timestamp);\n"
                              "insert into dated values ('2020-01-01 10:00:00');\n"
                              "insert into dated values ('2020-01-02 10:00:00');\n"
                              "insert into dated values ('2020-01-03 10:00:00')",
                              &error))
        << error;
    tDbParameter key;
    key.isText = true;
    key.text = "2020-01-02 10:00:00";
    auto rows =
        connection->ExecuteWith("select count(*) as num from dated where d > ?", {key}, &error);
    ASSERT_NE(rows, nullptr) << error;
    CDbValue value;
    ASSERT_TRUE(rows->GetRow().GetColumn("num", &value, &error)) << error;
    EXPECT_EQ(value.kind == CDbValue::kInt32 ? value.integer : std::atoi(value.text.c_str()), 1);
    rows.reset();
    RunStatements(connection.get(), "drop table dated", &error);
  }
  if (!any) GTEST_SKIP() << "neither TRINDLE_PG_ODBC nor TRINDLE_MARIADB_ODBC is set";
}

}  // namespace
