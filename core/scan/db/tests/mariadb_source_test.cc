// Integration tests of the ODBC layer against a real MariaDB server through Debian's
// odbc-mariadb driver. They need the connection string of a server in TRINDLE_MARIADB_ODBC
// (scripts/mariadb_test_cluster.sh start prints it) and are skipped without it.
// same_data_set_test.cc compares its data sets with those of SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/scan/db/odbc_source.h"
#include "testing/records/odbc_server_test.h"
#include "testing/records/sample_table.h"

namespace {

// The connection string with its CharSet option replaced by `charset`.
std::string WithCharset(const std::string& connect, const std::string& charset) {
  std::string result = connect;
  size_t start = result.find("CharSet=");
  if (start != std::string::npos) {
    size_t end = result.find(';', start);
    result.erase(start, end == std::string::npos ? std::string::npos : end - start + 1);
  }
  if (!result.empty() && result.back() != ';') result += ';';
  return result + "CharSet=" + charset;
}

class MariaDbSourceTest : public OdbcServerTest {
 protected:
  MariaDbSourceTest() : OdbcServerTest("TRINDLE_MARIADB_ODBC", "scripts/mariadb_test_cluster.sh") {}
};

TEST_F(MariaDbSourceTest, SqlTypesBecomeValueKinds) {
  std::string error;
  auto rows = m_connection->Execute(
      "select 7 as i, cast(-3 as signed) as s, 5000000000 as big, cast(12.7 as decimal(5,1)) as n, "
      "cast(-2.5 as double) as d, timestamp '2020-01-02 03:04:05.678' as ts, "
      "date '2021-02-03' as dt, '中国人民' as t, '' as e, null as nl, x'6162' as b, "
      "concat('a', convert(char(128512 using utf32) using utf8mb4), '长') as emoji, "
      "repeat('长', 40000) as long_text",
      &error);
  ASSERT_NE(rows, nullptr) << error;
  ASSERT_FALSE(rows->AtEnd());
  ExpectValues(rows, {
                         {"i", CDbValue::kInt32, 7, 0, ""},
                         {"S", CDbValue::kInt32, -3, 0, ""},
                         {"big", CDbValue::kInt32, INT32_MAX, 0, ""},
                         {"n", CDbValue::kInt32, 12, 0, ""},
                         {"d", CDbValue::kDouble, 0, -2.5, ""},
                         {"ts", CDbValue::kDateTime, 0, 0, "2020-01-02 03:04:05"},
                         {"dt", CDbValue::kDateTime, 0, 0, "2021-02-03 00:00:00"},
                         {"t", CDbValue::kText, 0, 0, "中国人民"},
                         {"e", CDbValue::kText, 0, 0, ""},
                         {"nl", CDbValue::kNull, 0, 0, ""},
                         {"b", CDbValue::kText, 0, 0, "ab"},
                         {"emoji", CDbValue::kText, 0, 0, "a?长"},
                     });
  std::string expected;
  for (int i = 0; i < 40000; ++i) expected += "长";
  EXPECT_EQ(Value(rows, "long_text").text, expected);  // 120,000 bytes in pieces
}

// The server's character set decides how text is read; each one the layer knows gives the
// same GBK text, and any other falls back to the wide fetch.
TEST_F(MariaDbSourceTest, EveryConnectionCharacterSetGivesTheSameText) {
  struct Case {
    const char* charset;
    COdbcConnection::ServerText expected;
    std::string text;  // GBK
  } const cases[] = {
      {"utf8mb4", COdbcConnection::ServerText::kUtf8, "要有礼貌\n在 Debian 这种规模的项目中"},
      {"utf8", COdbcConnection::ServerText::kUtf8, "要有礼貌\n在 Debian 这种规模的项目中"},
      {"gbk", COdbcConnection::ServerText::kGbk, "要有礼貌\n在 Debian 这种规模的项目中"},
      {"latin1", COdbcConnection::ServerText::kWide, "Debian\nlatin1 text"},
  };
  for (const Case& c : cases) {
    auto connection = COdbcConnection::Create();
    std::string error;
    ASSERT_TRUE(connection->Open(WithCharset(ServerString(), c.charset), &error))
        << c.charset << ": " << error;
    EXPECT_EQ(connection->serverText(), c.expected) << c.charset;
    auto rows = connection->Execute("select '" + c.text + "' as t", &error);
    ASSERT_NE(rows, nullptr) << c.charset << ": " << error;
    CDbValue value;
    ASSERT_TRUE(rows->GetRow().GetColumn("t", &value, &error)) << error;
    EXPECT_EQ(value.text, c.text) << c.charset;
  }
}

TEST_F(MariaDbSourceTest, FailuresCarryTheServersStateAndMessage) {
  std::string error;
  EXPECT_EQ(m_connection->Execute("select * from no_such_table order by id", &error), nullptr);
  EXPECT_NE(error.find("42S02"), std::string::npos) << error;
  EXPECT_NE(error.find("no_such_table"), std::string::npos) << error;

  auto refused = COdbcConnection::Create();
  EXPECT_FALSE(refused->Open(ServerString() + ";Pwd=wrong", &error));
  EXPECT_NE(error.find("28000"), std::string::npos) << error;
  EXPECT_NE(error.find("Access denied"), std::string::npos) << error;
}

}  // namespace
