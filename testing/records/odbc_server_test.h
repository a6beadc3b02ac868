// The fixture of the ODBC layer's tests against a real database server: the connection
// string comes from an environment variable (the test cluster scripts print it), the tests
// are skipped without it, and each test starts with an open connection.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/scan/db/odbc_source.h"

class OdbcServerTest : public ::testing::Test {
 protected:
  // `variable` names the connection string; `starter` is the script that prints it.
  OdbcServerTest(const char* variable, const char* starter)
      : m_variable(variable), m_starter(starter) {}

  std::string ServerString() const {
    const char* value = std::getenv(m_variable);
    return value != nullptr ? value : "";
  }

  void SetUp() override {
    if (ServerString().empty()) {
      GTEST_SKIP() << m_variable << " is not set (" << m_starter << " start)";
    }
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

  // A column of the current row and what it must read as (only the member of its kind counts).
  struct tExpectedValue {
    const char* column;
    CDbValue::Kind kind;
    int32_t integer;
    double real;
    std::string text;
  };
  void ExpectValues(const std::unique_ptr<CDbRecordSet>& rows,
                    const std::vector<tExpectedValue>& expected) {
    for (const tExpectedValue& c : expected) {
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
  }

  std::unique_ptr<COdbcConnection> m_connection;

 private:
  const char* m_variable;
  const char* m_starter;
};
