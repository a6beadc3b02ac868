// Change runs on PostgreSQL and MariaDB: the same random sequence of deletions (reported by a
// trigger), edits (a version column) and inserts as on SQLite, and after every run the data
// set answers as a full rebuild of the table on the same server does. Run when the servers'
// connection strings are set (TRINDLE_PG_ODBC from scripts/pg_test_cluster.sh start,
// TRINDLE_MARIADB_ODBC from scripts/mariadb_test_cluster.sh start); skipped otherwise.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/scan/db/odbc_source.h"
#include "indexer/exit_status.h"
#include "indexer/index_mode.h"
#include "testing/records/sample_table.h"
#include "testing/records/set_answers.h"
#include "testing/records/store_fixture.h"

namespace {

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "科学"};
const char* const kSchema = kDocsSchema;

struct tServer {
  const char* variable;
  SqlDialect dialect;
};

// The table, the log of deleted rows and its trigger.
std::string CreateStatements(SqlDialect dialect) {
  const std::string columns =
      "(id integer primary key, title varchar(200), body varchar(2000), year integer, "
      "version integer not null default 0)";
  if (dialect == SqlDialect::kPostgres) {
    return "drop table if exists docs;\ndrop table if exists deleted_docs;\n"
           "create table docs " +
           columns +
           ";\ncreate table deleted_docs (id integer);\n"
           "create or replace function docs_deleted() returns trigger language plpgsql as "
           "$$ begin insert into deleted_docs values (old.id); return old; end $$;\n"
           "create trigger docs_deleted after delete on docs for each row execute function "
           "docs_deleted()";
  }
  return "drop table if exists docs;\ndrop table if exists deleted_docs;\n"
         "create table docs " +
         columns +
         " character set utf8mb4;\ncreate table deleted_docs (id integer);\n"
         "create trigger docs_deleted after delete on docs for each row "
         "insert into deleted_docs values (old.id)";
}

std::string Text(std::mt19937* random, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) {
    text += (*random)() % 4 == 0 ? std::string("的") : kWords[(*random)() % kWords.size()];
  }
  return text;
}

class ChangeRunServersTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return m_dir.Path(name); }

  int Run(const std::string& connect, bool append, const std::string& base,
          const std::string& schema, std::string* output) {
    EXPECT_TRUE(WriteTextFile(
        Path("db.xml"), "<DBConnectString>" + connect +
                            "</DBConnectString><Table>docs</Table><SortField>id</SortField>"
                            "<Append>" +
                            (append ? "1" : "0") +
                            "</Append><DeletedKeys>select id from deleted_docs</DeletedKeys>"
                            "<ChangedColumn>version</ChangedColumn><MergeShare>40</MergeShare>"));
    tIndexModeOptions options;
    options.scan.notRunningPauseMilliseconds = 0;
    testing::internal::CaptureStdout();
    const int status =
        RunIndexModeWith(Path("db.xml").c_str(), Path(base).c_str(), Path(schema).c_str(),
                         Path("dict.pdat").c_str(), Path("dict.words").c_str(), options);
    *output = testing::internal::GetCapturedStdout();
    return status;
  }

  std::string Answers(const std::string& base, const std::string& schema) {
    std::vector<std::string> queries;
    for (const std::string& word : kWords) {
      queries.push_back("[FIELD] * [AND] " + word);
      queries.push_back("[FIELD] title [AND] " + word + " [FIELD] year [AND] 2001 2002");
    }
    return DataSetAnswers(
        {Path(base), Path(schema + ".dat"), Path("dict.pdat"), Path("dict.words")}, queries,
        {"中国 OR 北京 -大学", "body:人民 year:2000..2002"}, 1);
  }

  CScratchDirectory m_dir;
};

TEST_F(ChangeRunServersTest, ChangeRunsAnswerAsAFullRebuildOnEveryServer) {
  const tServer servers[] = {{"TRINDLE_PG_ODBC", SqlDialect::kPostgres},
                             {"TRINDLE_MARIADB_ODBC", SqlDialect::kMariaDb}};
  ASSERT_TRUE(WriteTestDictionary(kWords, m_dir.path()));
  ASSERT_TRUE(WriteTextFile(Path("schema.txt"), kSchema));
  ASSERT_TRUE(WriteTextFile(Path("ref_schema.txt"), kSchema));
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
    ASSERT_TRUE(RunStatements(connection.get(), CreateStatements(server.dialect), &error)) << error;
    std::mt19937 random(11);
    std::vector<int> live;
    int nextId = 1;
    auto insert = [&](int count) {
      std::string statements;
      for (int i = 0; i < count; ++i, ++nextId) {
        statements += "insert into docs (id, title, body, year) values (" + std::to_string(nextId) +
                      ", '" + Text(&random, 2) + "', '" +
                      Text(&random, 8 + static_cast<int>(random() % 20)) + "', " +
                      std::to_string(2000 + static_cast<int>(random() % 4)) + ");\n";
        live.push_back(nextId);
      }
      return RunStatements(connection.get(), statements, &error);
    };
    ASSERT_TRUE(insert(120)) << error;
    for (const char* name : {"out.manifest", "ref.manifest"}) std::remove(Path(name).c_str());
    std::string output;
    ASSERT_EQ(Run(connect, true, "out", "schema.txt", &output), exit_status::kSuccess) << output;
    int version = 0;
    for (int step = 0; step < 4; ++step) {
      std::string statements;
      for (int i = 0; i < 3; ++i) {  // deletions
        const size_t at = random() % live.size();
        statements += "delete from docs where id = " + std::to_string(live[at]) + ";\n";
        live.erase(live.begin() + static_cast<long>(at));
      }
      for (int i = 0; i < 3; ++i) {  // edits
        statements += "update docs set body = '" + Text(&random, 6) +
                      "', year = 2003, version = " + std::to_string(++version) +
                      " where id = " + std::to_string(live[random() % live.size()]) + ";\n";
      }
      ASSERT_TRUE(RunStatements(connection.get(), statements, &error)) << error;
      ASSERT_TRUE(insert(4)) << error;
      ASSERT_EQ(Run(connect, true, "out", "schema.txt", &output), exit_status::kSuccess) << output;
      EXPECT_EQ(output.find("building in full"), std::string::npos) << step << "\n" << output;
      EXPECT_NE(output.find("Change run: "), std::string::npos) << step << "\n" << output;
      ASSERT_EQ(Run(connect, false, "ref", "ref_schema.txt", &output), exit_status::kSuccess)
          << output;
      const std::string answers = Answers("out", "schema.txt");
      EXPECT_EQ(answers.find(" refused"), std::string::npos);
      EXPECT_TRUE(answers == Answers("ref", "ref_schema.txt")) << "step " << step;
    }
    RunStatements(connection.get(), "drop table docs;\ndrop table deleted_docs", &error);
  }
  if (!any) GTEST_SKIP() << "neither TRINDLE_PG_ODBC nor TRINDLE_MARIADB_ODBC is set";
}

}  // namespace
