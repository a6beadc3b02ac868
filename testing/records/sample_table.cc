#include "testing/records/sample_table.h"

#include <cstdio>
#include <vector>

#include "core/scan/db_source.h"

const char kSampleSchema[] =
    "序号 字段名称 索引名称 数据类型 索引 过滤 存储 通配 解释\n"
    "1 id id I 0 1 1 0 编号\n"
    "2 title title T 1 0 1 1 标题\n"
    "3 body body T 1 0 1 1 正文\n"
    "4 year year I 0 1 1 0 年份\n"
    "5 created created D 0 0 1 0 时间\n"
    "6 score score I 0 1 1 0 分数\n"
    "7 big big I 0 1 0 0 大数\n";

namespace {

// Characters outside GBK, written in the texts as placeholders.
struct tForeign {
  const char* placeholder;
  unsigned codePoint;
} const kForeign[] = {
    {"{emoji}", 0x1F600},  // 4 bytes in UTF-8, a surrogate pair in UTF-16
    {"{hangul}", 0xD55C},  // 3 bytes, one UTF-16 unit
    {"{ext-b}", 0x20000},  // CJK extension B: 4 bytes
};

std::string CharacterOf(SqlDialect dialect, unsigned codePoint) {
  char text[96];
  switch (dialect) {
    case SqlDialect::kSqlite:
      std::snprintf(text, sizeof text, "char(%u)", codePoint);
      break;
    case SqlDialect::kPostgres:
      std::snprintf(text, sizeof text, "U&'\\+%06X'", codePoint);
      break;
    case SqlDialect::kMariaDb:
      std::snprintf(text, sizeof text, "convert(char(%u using utf32) using utf8mb4)", codePoint);
      break;
  }
  return text;
}

// The text as an SQL expression: quoted literals and the foreign characters, joined.
std::string Quote(SqlDialect dialect, const std::string& text) {
  std::vector<std::string> parts;
  std::string literal;
  auto flush = [&] {
    if (!literal.empty()) parts.push_back("'" + literal + "'");
    literal.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    bool replaced = false;
    for (const tForeign& foreign : kForeign) {
      std::string placeholder = foreign.placeholder;
      if (text.compare(i, placeholder.size(), placeholder) == 0) {
        flush();
        parts.push_back(CharacterOf(dialect, foreign.codePoint));
        i += placeholder.size() - 1;
        replaced = true;
        break;
      }
    }
    if (replaced) continue;
    literal += text[i];
    if (text[i] == '\'') literal += '\'';
  }
  flush();
  if (parts.empty()) return "''";
  if (parts.size() == 1) return parts[0];
  std::string joined;
  for (const std::string& part : parts) {
    if (!joined.empty()) joined += dialect == SqlDialect::kMariaDb ? ", " : " || ";
    joined += part;
  }
  return dialect == SqlDialect::kMariaDb ? "concat(" + joined + ")" : joined;
}

std::string CreateTable(SqlDialect dialect, const std::string& name) {
  switch (dialect) {
    case SqlDialect::kSqlite:
      return "create table " + name +
             " (id integer, title text, body text, year integer, created datetime, score real, "
             "big integer)";
    case SqlDialect::kPostgres:
      return "create table " + name +
             " (id integer, title text, body text, year integer, created timestamp, score double "
             "precision, big bigint)";
    case SqlDialect::kMariaDb:
      return "create table " + name +
             " (id integer, title text, body mediumtext, year integer, created datetime, score "
             "double, big bigint) character set utf8mb4 collate utf8mb4_bin";
  }
  return "";
}

}  // namespace

std::string SampleTableStatements(SqlDialect dialect) {
  const char* words[] = {"中国", "人民", "北京", "大学", "学生", "上海", "电脑", "软件"};
  std::string sql = CreateTable(dialect, "docs") + ";\n";
  for (int i = 0; i < 240; ++i) {
    const int id = (i * 97) % 240;  // inserted out of order; the scan sorts by id
    std::string title = std::string(words[id % 8]) + words[(id / 8) % 8];
    if (id % 11 == 0) title = "<b>" + title + "</b>&nbsp;";
    if (id % 13 == 0) title += "{emoji}";
    if (id % 19 == 0) title += "{hangul}一{ext-b}";
    bool titleNull = id % 23 == 5;
    if (id % 23 == 6) title.clear();
    std::string body;
    for (int k = 0; k < id % 9 + 1; ++k) body += std::string(words[(id + k * 3) % 8]) + "，";
    if (id % 17 == 0) body = "  " + body + "ＡＢＣ Abc\r\n";
    if (id % 29 == 3) body = "<p>" + body + "</p";  // markup cut off at the end
    // Chinese and ASCII words mixed across lines: the texts some drivers cut short when they
    // convert them to UTF-16.
    if (id % 5 == 2) body = "要有礼貌\n\n在 Debian 这种规模的项目中，" + body;
    if (id % 40 == 22) {  // some thousand characters of the mixed text
      std::string piece = body;
      while (body.size() < 9000) body += piece;
    }
    if (id % 80 == 41) {  // over 64 KB, with foreign characters inside and at the end
      std::string piece = "要有礼貌\n\n在 Debian 这种规模的项目中，" + body;
      // A foreign character every 16 pieces: a few dozen joined expressions in all.
      for (int k = 0; body.size() < 72000; ++k) body += piece + (k % 16 == 0 ? "{emoji}" : "");
      body += "{ext-b}";
    }
    bool bodyNull = id % 31 == 7;
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, "'2020-%02d-%02d 10:%02d:%02d', %.17g, %lld",
                  id % 12 + 1, id % 28 + 1, id % 60, (id * 7) % 60, id * 0.5 - 20,
                  5000000000LL + id);
    sql += "insert into docs values (" + std::to_string(id) + ", " +
           (titleNull ? std::string("NULL") : Quote(dialect, title)) + ", " +
           (bodyNull ? std::string("NULL") : Quote(dialect, body)) + ", " +
           (id % 7 != 0 ? std::to_string(1990 + id % 30) : std::string("NULL")) + ", " + numbers +
           ");\n";
  }
  return sql;
}

std::string BulkTableStatements(SqlDialect dialect, const std::string& name, int rows) {
  std::string sql = CreateTable(dialect, name) + ";\n";
  const std::string count = std::to_string(rows);
  // About 400 bytes of body a row: 100,000 rows are far more than the socket buffers hold,
  // so a server stopped early in the scan cannot have sent them all already.
  const std::string words = "'人民 大学 北京 上海 电脑 软件 '";
  std::string title, body;
  switch (dialect) {
    case SqlDialect::kSqlite:
      title = "'中国 ' || x";
      body = "replace(hex(zeroblob(12)), '00', " + words + ") || x";
      break;
    case SqlDialect::kPostgres:
      title = "'中国 ' || x";
      body = "repeat(" + words + ", 12) || x";
      break;
    case SqlDialect::kMariaDb:
      title = "concat('中国 ', x)";
      body = "concat(repeat(" + words + ", 12), x)";
      break;
  }
  const std::string select = " select x, " + title + ", " + body +
                             ", 2000 + x % 20, '2020-01-02 03:04:05', x * 0.5, x from ";
  const std::string numbers =
      "recursive n(x) as (select 1 union all select x + 1 from n where x < " + count + ")";
  switch (dialect) {
    case SqlDialect::kSqlite:
      sql += "with " + numbers + " insert into " + name + select + "n";
      break;
    case SqlDialect::kMariaDb:  // the server stops a recursion after 1,000 steps by default
      sql += "set max_recursive_iterations = " + std::to_string(rows + 10) + ";\n";
      sql += "insert into " + name + " with " + numbers + select + "n";
      break;
    case SqlDialect::kPostgres:
      sql += "insert into " + name + select + "generate_series(1, " + count + ") as n(x)";
      break;
  }
  return sql;
}

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
