// The failure cases of mode 4, one table: each failure of the database, of an input or of the
// output leaves the committed generation byte-identical, prints its reason on the console,
// ends with the status of its kind and leaves no pending file. The read-only folder and the
// full disk are made with tmpfs mounts (root only; skipped otherwise).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/exit_status.h"
#include "indexer/index_mode.h"
#include "testing/records/sqlite_file.h"
#include "testing/records/store_fixture.h"

namespace {

// `count` rows from id `first` on, each body `bodyRepeat` times a line of words.
std::string Rows(int first, int count, int bodyRepeat) {
  return u8"with recursive n(x) as (select " + std::to_string(first) +
         u8" union all select x + 1 from n where x < " + std::to_string(first + count - 1) +
         u8") insert into docs select x, '中国 ' || x, replace(hex(zeroblob(" +
         std::to_string(bodyRepeat) + u8")), '00', '人民 大学 北京 ') || x, 2000 + x % 20 from n;";
}

const char* const kSchema = kDocsSchema;

class FailureCasesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    ASSERT_TRUE(WriteTestDictionary({"中国", "人民", "大学", "北京"}, m_dir.path()));
    ASSERT_TRUE(WriteTextFile(Path("schema.txt"), kSchema));
    ASSERT_TRUE(RunSql(Path("docs.db"),
                       u8"create table docs (id integer, title text, body text, "
                       u8"year integer);"));
    ASSERT_TRUE(RunSql(Path("docs.db"), Rows(1, 30, 4)));
    ASSERT_EQ(mkdir(Path("set").c_str(), 0755), 0);
    WriteConfig("sqlite:" + Path("docs.db"), "docs", "id");
  }

  void TearDown() override {
    if (m_mounted) std::system(("umount '" + Path("set") + "' 2>/dev/null").c_str());
  }

  std::string Path(const std::string& name) const { return m_dir.Path(name); }

  void WriteConfig(const std::string& connect, const std::string& table,
                   const std::string& sortField) {
    ASSERT_TRUE(WriteTextFile(Path("db.xml"),
                              "<DBConnectString>" + connect + "</DBConnectString><Table>" + table +
                                  "</Table><SortField>" + sortField + "</SortField>"));
  }

  // Mode 4 into set/out; the console output, the status in m_status.
  std::string Index(const std::string& config = "db.xml",
                    const std::string& schema = "schema.txt") {
    tIndexModeOptions options;
    options.scan.notRunningPauseMilliseconds = 0;
    testing::internal::CaptureStdout();
    m_status = RunIndexModeWith(Path(config).c_str(), Path("set/out").c_str(), Path(schema).c_str(),
                                Path("dict.pdat").c_str(), Path("dict.words").c_str(), options);
    return testing::internal::GetCapturedStdout();
  }

  std::map<std::string, std::string> DataSet() const {
    std::map<std::string, std::string> files = FilesWithPrefix(Path("set"), "");
    files.erase(".");
    files.erase("..");
    files["schema.txt.dat"] = ReadBinaryFile(Path("schema.txt.dat"));
    return files;
  }

  // Commits a first generation, then runs the failing case: same files, its status, its
  // reason on the console.
  void ExpectFailureKeepsTheDataSet(const char* what, const std::function<void()>& arrange,
                                    int status, const std::string& reason,
                                    const std::string& config = "db.xml") {
    SCOPED_TRACE(what);
    std::map<std::string, std::string> committed = DataSet();
    arrange();
    std::string output = Index(config);
    EXPECT_EQ(m_status, status) << output;
    EXPECT_NE(output.find(reason), std::string::npos) << output;
    std::map<std::string, std::string> now = DataSet();
    EXPECT_TRUE(now == committed) << "the committed data set changed or files were left pending";
    for (const auto& file : now) EXPECT_NE(committed.count(file.first), 0u) << file.first;
  }

  bool Mount(const std::string& options) {
    m_mounted =
        std::system(("mount -t tmpfs -o " + options + " tmpfs '" + Path("set") + "' 2>/dev/null")
                        .c_str()) == 0;
    return m_mounted;
  }

  CScratchDirectory m_dir;
  int m_status = -1000;
  bool m_mounted = false;
};

TEST_F(FailureCasesTest, DatabaseAndInputFailures) {
  Index();
  ASSERT_EQ(m_status, exit_status::kSuccess);
  const std::string docs = "sqlite:" + Path("docs.db");
  struct Case {
    const char* what;
    std::string connect, table, sortField;
    int status;
    std::string reason;
  } const cases[] = {
      {"missing database file", "sqlite:" + Path("absent.db"), "docs", "id", exit_status::kDatabase,
       "Database error: unable to open database file"},
      {"not a database", "sqlite:" + Path("schema.txt"), "docs", "id", exit_status::kDatabase,
       "Database error: file is not a database"},
      {"mistyped table", docs, "dcos", "id", exit_status::kDatabase,
       "Database error: no such table: dcos (SQLite error 1)"},
      {"mistyped sort column", docs, "docs", "idd", exit_status::kDatabase,
       "Database error: no such column: idd"},
      {"empty sort column", docs, "docs", "", exit_status::kDatabase, "Database error: "},
      {"unknown connection layer", "Driver=NoSuchDriver", "docs", "id", exit_status::kDatabase,
       "Database error: 01000 [unixODBC][Driver Manager]Can't open lib 'NoSuchDriver'"},
  };
  for (const Case& c : cases) {
    ExpectFailureKeepsTheDataSet(
        c.what, [&] { WriteConfig(c.connect, c.table, c.sortField); }, c.status, c.reason);
  }
  WriteConfig(docs, "docs", "id");
  ExpectFailureKeepsTheDataSet(
      "a schema column the table lacks",
      [&] {
        WriteTextFile(Path("schema.txt"), std::string(kSchema) + "5 rank rank I 0 1 0 0 r\n");
      },
      exit_status::kDatabase, "rank");
  ExpectFailureKeepsTheDataSet(
      "missing configuration", [] {}, exit_status::kBadInput, "Load\t" + Path("absent.xml"),
      "absent.xml");
}

TEST_F(FailureCasesTest, ReadOnlyOutputFolder) {
  if (!Mount("size=4m")) GTEST_SKIP() << "tmpfs cannot be mounted (not root)";
  Index();
  ASSERT_EQ(m_status, exit_status::kSuccess);
  ExpectFailureKeepsTheDataSet(
      "read-only folder",
      [&] {
        ASSERT_EQ(std::system(("mount -o remount,ro '" + Path("set") + "'").c_str()), 0);
        ASSERT_TRUE(RunSql(Path("docs.db"), Rows(31, 10, 4)));
      },
      exit_status::kOutput, "Read-only file system");
}

TEST_F(FailureCasesTest, FullDisk) {
  // Room for two generations of the small data set with their contains indexes (whose term
  // tables take 512 KiB each), not for the large one.
  if (!Mount("size=3m")) GTEST_SKIP() << "tmpfs cannot be mounted (not root)";
  Index();
  ASSERT_EQ(m_status, exit_status::kSuccess);
  // About 2 MB of stored text: the new generation cannot fit beside the old one.
  ExpectFailureKeepsTheDataSet(
      "full disk", [&] { ASSERT_TRUE(RunSql(Path("docs.db"), Rows(31, 4000, 40))); },
      exit_status::kOutput, "No space left on device");
  // And with room again the next run commits.
  ASSERT_TRUE(RunSql(Path("docs.db"), u8"delete from docs where id > 30;"));
  ASSERT_TRUE(RunSql(Path("docs.db"), Rows(31, 20, 4)));
  Index();
  EXPECT_EQ(m_status, exit_status::kSuccess);
}

}  // namespace
