// Integration tests of the ODBC layer against a real PostgreSQL server. They need the
// connection string of a server in TRINDLE_PG_ODBC (scripts/pg_test_cluster.sh start prints
// it) and are skipped without it. same_data_set_test.cc compares its data sets with those of
// SQLite and MariaDB.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/scan/db/odbc_source.h"
#include "testing/records/odbc_server_test.h"

namespace {

class PostgresSourceTest : public OdbcServerTest {
 protected:
  PostgresSourceTest() : OdbcServerTest("TRINDLE_PG_ODBC", "scripts/pg_test_cluster.sh") {}
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
  ExpectValues(rows, {
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
                     });
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

}  // namespace
