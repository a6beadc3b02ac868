// Tests of indexer mode 3: what it prints and which files it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/records/field_info.h"
#include "indexer/exit_status.h"
#include "indexer/modes.h"

namespace {

const char kSchemaText[] =
    "序号 字段名称 索引名称 数据类型 索引 过滤 存储 通配 解释\n"
    "1 title 标题 T 1 0 1 1 标题\n"
    "2 year 年份 I 0 1 1 0 年份\n";

bool Exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

class SchemaModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/schema_mode_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_directory = pattern;
    m_text = m_directory + "/schema.txt";
    m_binary = m_directory + "/schema.dat";
    m_review = m_directory + "/review.txt";
    std::ofstream(m_text, std::ios::binary) << kSchemaText;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + m_directory + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  // True when the mode succeeded; the exit status is kept in m_status.
  bool Run(const std::string& text, const std::string& binary, const std::string& review) {
    testing::internal::CaptureStdout();
    m_status = RunSchemaMode(text.c_str(), binary.c_str(), review.c_str());
    m_printed = testing::internal::GetCapturedStdout();
    return m_status == exit_status::kSuccess;
  }

  std::string Parameters(const std::string& text, const std::string& binary,
                         const std::string& review) const {
    return "参数如下：\n数据库字段配置文本文件名：" + text + "\n数据库字段配置数据存储文件名：" +
           binary + "\n数据库字段配置数据导出文件名：" + review + "\n";
  }

  std::string m_directory, m_text, m_binary, m_review, m_printed;
  int m_status = -1000;
};

TEST_F(SchemaModeTest, WritesTheBinarySchemaAndTheReview) {
  ASSERT_TRUE(Run(m_text, m_binary, m_review));
  EXPECT_EQ(m_printed, Parameters(m_text, m_binary, m_review));
  CFieldInfo schema;
  ASSERT_TRUE(schema.LoadBinary(m_binary.c_str()));
  EXPECT_EQ(schema.GetFieldCount(), 3);
  EXPECT_EQ(schema.FindField("年份"), 2);
  EXPECT_EQ(schema.GetListSize(LIST_STORED), 2);
  std::ifstream review(m_review, std::ios::binary);
  std::string header;
  std::getline(review, header);
  EXPECT_EQ(header.rfind("序号\t字段名称", 0), 0u);
}

TEST_F(SchemaModeTest, MissingSchemaTextWritesNothing) {
  std::string missing = m_directory + "/missing.txt";
  EXPECT_FALSE(Run(missing, m_binary, m_review));
  EXPECT_EQ(m_status, exit_status::kBadInput);
  EXPECT_EQ(m_printed, Parameters(missing, m_binary, m_review) + "Error Import " + missing +
                           "\nImport " + missing + " failed!\n");
  EXPECT_FALSE(Exists(m_binary));
  EXPECT_FALSE(Exists(m_review));
}

TEST_F(SchemaModeTest, MalformedSchemaTextWritesNothing) {
  std::ofstream(m_text, std::ios::binary) << kSchemaText << "3 short 短 T 1\n";
  EXPECT_FALSE(Run(m_text, m_binary, m_review));
  EXPECT_EQ(m_status, exit_status::kBadInput);
  EXPECT_NE(m_printed.find("Error Import " + m_text + "\n"), std::string::npos);
  EXPECT_NE(m_printed.find("Line 4"), std::string::npos);
  EXPECT_NE(m_printed.find("Import " + m_text + " failed!\n"), std::string::npos);
  EXPECT_FALSE(Exists(m_binary));
  EXPECT_FALSE(Exists(m_review));
}

TEST_F(SchemaModeTest, UnwritableBinaryStopsBeforeTheReview) {
  std::string binary = m_directory + "/no/schema.dat";
  EXPECT_FALSE(Run(m_text, binary, m_review));
  EXPECT_EQ(m_status, exit_status::kOutput);
  EXPECT_EQ(m_printed, Parameters(m_text, binary, m_review) + "Error Write " + binary + "\nSave " +
                           binary + " failed!\n");
  EXPECT_FALSE(Exists(m_review));
}

TEST_F(SchemaModeTest, UnwritableReviewKeepsTheBinary) {
  std::string review = m_directory + "/no/review.txt";
  EXPECT_FALSE(Run(m_text, m_binary, review));
  EXPECT_EQ(m_status, exit_status::kOutput);
  EXPECT_EQ(m_printed, Parameters(m_text, m_binary, review) + "Error Write " + review +
                           "\nExport " + review + " failed!\n");
  EXPECT_TRUE(Exists(m_binary));
}

}  // namespace
