// A database server stopped while mode 4 scans a table of 100,000 rows: the run ends with
// status 2 and the database's description on the console, the generation committed before
// stays byte-identical, and nothing is left pending. Each test starts a private server of its
// own with the CI scripts (MariaDB, PostgreSQL), so that stopping it disturbs no other test;
// a test is skipped when the server's binaries are not installed. Runs the built indexer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/scan/db/odbc_source.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/exit_status.h"
#include "testing/records/sample_table.h"
#include "testing/records/store_fixture.h"

namespace {

constexpr int kRows = 100000;

// Runs a shell command; its standard output, and its exit status in *status.
std::string Shell(const std::string& command, int* status) {
  std::string output;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  int result = pclose(pipe);
  *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return output;
}

// The value of "export NAME='value'" in a script's output.
std::string ExportedValue(const std::string& output) {
  size_t start = output.find('\'');
  size_t end = output.rfind('\'');
  if (start == std::string::npos || end <= start) return "";
  return output.substr(start + 1, end - start - 1);
}

bool Installed(const std::string& test) {
  int status = 0;
  Shell(test + " >/dev/null 2>&1", &status);
  return status == 0;
}

struct tServerKind {
  const char* name;
  SqlDialect dialect;
  const char* script;
  const char* installedTest;   // a shell test that the server's binaries are there
  std::string environment;     // assignments before the script: its folder and port
  std::string connectOptions;  // appended to the printed connection string
  const char* stopAfter;       // the console text after which the server is stopped
};

class ServerStopTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    // In the sanitizer build a program this test starts aborts before it runs (the sanitizer
    // runtime is not first in its library list); the plain build runs these tests.
    GTEST_SKIP() << "database servers are not started from a sanitizer build";
#endif
    ASSERT_FALSE(m_dir.path().empty());
    ASSERT_TRUE(WriteTestDictionary({"中国", "人民", "大学", "北京", "上海", "电脑", "软件"},
                                    m_dir.path()));
    ASSERT_TRUE(WriteTextFile(Path("schema.txt"), kSampleSchema));
  }

  void TearDown() override {
    if (!m_stop.empty()) {
      int status = 0;
      Shell(m_stop + " >/dev/null 2>&1", &status);
    }
  }

  std::string Path(const std::string& name) const { return m_dir.Path(name); }

  // Mode 4 with its output line by line (so that the test sees the scan's progress as it
  // happens), stopped after 5 minutes at most.
  std::string IndexCommand() const {
    return std::string("cd '") + m_dir.path() + "' && timeout 300 stdbuf -oL " + INDEXER_PATH +
           " 4 db.xml out schema.txt dict.pdat dict.words 2>&1";
  }

  // Starts the server, fills table bulk, commits a first data set, then scans again and stops
  // the server once the scan has made progress.
  void Run(const tServerKind& kind) {
    if (!Installed(kind.installedTest)) GTEST_SKIP() << kind.name << " is not installed";
    const std::string script = std::string(SOURCE_DIR) + "/scripts/" + kind.script;
    m_stop = kind.environment + " bash '" + script + "' stop";
    int status = 0;
    std::string started = Shell(kind.environment + " bash '" + script + "' start", &status);
    ASSERT_EQ(status, 0) << started;
    std::string connect = ExportedValue(started) + kind.connectOptions;
    ASSERT_FALSE(connect.empty()) << started;

    auto connection = COdbcConnection::Create();
    std::string error;
    ASSERT_TRUE(connection->Open(connect, &error)) << error;
    RunStatements(connection.get(), "drop table if exists bulk", &error);
    ASSERT_TRUE(
        RunStatements(connection.get(), BulkTableStatements(kind.dialect, "bulk", kRows), &error))
        << error;
    connection->Close();
    ASSERT_TRUE(WriteTextFile(Path("db.xml"), "<DBConnectString>" + connect +
                                                  "</DBConnectString><Table>bulk</Table>"
                                                  "<SortField>id</SortField>"));

    std::string first = Shell(IndexCommand(), &status);
    ASSERT_EQ(status, exit_status::kSuccess)
        << first.substr(first.size() > 2000 ? first.size() - 2000 : 0);
    ASSERT_NE(first.find("记录数：" + std::to_string(kRows)), std::string::npos);
    std::map<std::string, std::string> committed = FilesWithPrefix(m_dir.path(), "out");
    committed["schema.txt.dat"] = ReadBinaryFile(Path("schema.txt.dat"));

    // The second scan: the server goes down while the scan statement runs.
    std::FILE* pipe = popen(IndexCommand().c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    bool stopped = false;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      output += line;
      if (!stopped && output.find(kind.stopAfter) != std::string::npos) {
        Shell(m_stop + " >/dev/null 2>&1", &status);
        stopped = true;
      }
    }
    int result = pclose(pipe);
    ASSERT_TRUE(stopped) << output;
    ASSERT_TRUE(WIFEXITED(result)) << output;
    EXPECT_EQ(WEXITSTATUS(result), exit_status::kDatabase) << output;
    EXPECT_NE(output.find("Database error: "), std::string::npos) << output;
    EXPECT_EQ(output.find("记录数：" + std::to_string(kRows)), std::string::npos);
    std::map<std::string, std::string> now = FilesWithPrefix(m_dir.path(), "out");
    now["schema.txt.dat"] = ReadBinaryFile(Path("schema.txt.dat"));
    EXPECT_TRUE(now == committed) << "the committed data set changed or files were left pending";
    for (const auto& file : now) EXPECT_NE(committed.count(file.first), 0u) << file.first;
  }

  CScratchDirectory m_dir;
  std::string m_stop;  // the command that stops the server (and removes its folder)
};

// A free TCP port on 127.0.0.1 (the server binds it a moment later).
std::string FreePort() {
  int status = 0;
  std::string port = Shell(
      "python3 -c 'import socket; s = socket.socket(); s.bind((\"127.0.0.1\", 0)); "
      "print(s.getsockname()[1])'",
      &status);
  while (!port.empty() && (port.back() == '\n' || port.back() == '\r')) port.pop_back();
  return port;
}

TEST_F(ServerStopTest, MariaDbStoppedDuringTheScan) {
  tServerKind kind{"MariaDB", SqlDialect::kMariaDb, "mariadb_test_cluster.sh",
                   "test -x /usr/sbin/mariadbd",
                   "TRINDLE_MARIADB_PORT= TRINDLE_MARIADB_DIR='" + Path("mariadb") + "'", "",
                   // The driver reads the whole result while it runs the statement: the server
                   // goes down as soon as the statement was sent.
                   "Execute select * from bulk order by id Start!\n"};
  Run(kind);
}

TEST_F(ServerStopTest, PostgresStoppedDuringTheScan) {
  // PostgreSQL runs as its own system user under root, which cannot enter the scratch folder:
  // its folder goes straight under /tmp.
  std::string folder = "/tmp/trindle_stop_pg_" + std::to_string(getpid());
  tServerKind kind{"PostgreSQL", SqlDialect::kPostgres, "pg_test_cluster.sh",
                   "ls /usr/lib/postgresql/*/bin/initdb",
                   "TRINDLE_PG_DIR='" + folder + "' TRINDLE_PG_PORT=" + FreePort(),
                   // Rows in batches through a cursor, as the README advises: without it the
                   // driver reads the whole result before the first row.
                   ";UseDeclareFetch=1;Fetch=1000",
                   // The rows arrive in batches: the server goes down between two of them.
                   "已完成100条结果!\n"};
  Run(kind);
}

}  // namespace
