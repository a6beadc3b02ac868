// Tests of mode 4's bounded build end to end over SQLite tables: the files are byte-identical
// to the unbounded build at every bound (down to hundreds of runs), on generated tables and
// on the real sample data; the spilled files are gone after success, failure (a full disk
// included) and, through the next run, a crash; a crash while spilling or merging leaves the
// committed generation whole; a record past a limit of the file formats commits nothing.
// Appending runs give the files of a full rebuild, and fall back to one, saying why, when
// the table did not only grow at its end. Runs that take deletions answer every query as a
// full rebuild of the table does, keep the data files when only deletions came, and leave the
// committed generation serving when killed at any step.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/records/data_line_builder.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_check.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/exit_status.h"
#include "indexer/index_mode.h"
#include "testing/records/set_answers.h"
#include "testing/records/sqlite_file.h"
#include "testing/records/store_fixture.h"

namespace {

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "老师",
                                         "科学", "技术", "发展", "经济", "社会", "文化"};

// Title and body feed the all-fields index (wildcard), so it holds tagged positions.
const char* const kSchema = kDocsSchema;

// A text of `count` pieces: dictionary words, other characters, ASCII and some markup.
std::string MakeText(std::mt19937* random, int count) {
  static const std::vector<std::string> kOthers = {"的",  "了",   "在",    "abc", " ",   "，",
                                                   "<b>", "</b>", "&amp;", "Ｘ",  "123", "。"};
  std::string text;
  for (int i = 0; i < count; ++i) {
    unsigned pick = (*random)() % 10;
    if (pick < 6) {
      text += kWords[(*random)() % kWords.size()];
    } else {
      text += kOthers[(*random)() % kOthers.size()];
    }
  }
  return text;
}

class BoundedBuildTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(m_dir.path().empty()); }

  std::string Path(const std::string& name) const { return m_dir.Path(name); }

  // Trie and word list from `words` (the dictionary text is written one word a line).
  void MakeDictionary(const std::vector<std::string>& words) {
    ASSERT_TRUE(WriteTestDictionary(words, m_dir.path()));
  }

  void MakeWordList(const CPDAT& trie) {
    CWordList list;
    testing::internal::CaptureStdout();
    list.BuildFromText(Path("dict.txt").c_str(), trie);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(list.Save(Path("dict.words").c_str()));
  }

  void Sql(const std::string& statement) {
    EXPECT_TRUE(RunSql(Path("docs.db"), statement)) << statement;
  }

  // The table docs(id, title, body, year) with `rows` as (title, body) in GBK; ids from
  // `firstId`. A new table unless `add`.
  void MakeTable(const std::vector<std::pair<std::string, std::string>>& rows, bool add = false,
                 int firstId = 1) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path("docs.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           add ? "begin;"
                               : "drop table if exists docs; create table docs (id integer, "
                                 "title text, body text, year integer); begin;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "insert into docs (id, title, body, year) values (?, ?, ?, ?)",
                                 -1, &insert, nullptr),
              SQLITE_OK);
    for (size_t i = 0; i < rows.size(); ++i) {
      sqlite3_bind_int(insert, 1, static_cast<int>(i) + firstId);
      sqlite3_bind_text(insert, 2, rows[i].first.data(), static_cast<int>(rows[i].first.size()),
                        SQLITE_TRANSIENT);
      if (i % 17 == 5) {
        sqlite3_bind_null(insert, 3);
      } else {
        sqlite3_bind_text(insert, 3, rows[i].second.data(), static_cast<int>(rows[i].second.size()),
                          SQLITE_TRANSIENT);
      }
      sqlite3_bind_int(insert, 4, 1990 + static_cast<int>(i % 30));
      ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ASSERT_EQ(sqlite3_exec(db, "commit;", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    if (!add) {
      ASSERT_TRUE(WriteTextFile(Path("schema.txt"), kSchema));
      WriteConfig(false);
    }
  }

  void WriteConfig(bool append, const std::string& sortField = "id",
                   const std::string& more = std::string()) {
    ASSERT_TRUE(WriteTextFile(Path("db.xml"), "<DBConnectString>sqlite:" + Path("docs.db") +
                                                  "</DBConnectString><Table>docs</Table>"
                                                  "<SortField>" +
                                                  sortField +
                                                  "</SortField>"
                                                  "<SourceEncoding>GBK</SourceEncoding>"
                                                  "<Append>" +
                                                  (append ? "1" : "0") + "</Append>" + more));
  }

  // Every answer of `base` (the change runs' "out" or the rebuild's "ref") to a fixed set
  // of queries and search-box texts.
  std::string Answers(const std::string& base) {
    std::vector<std::string> queries;
    for (const std::string& word : kWords) {
      queries.push_back("[FIELD] * [AND] " + word);
      queries.push_back("[FIELD] body [AND] " + word + " " + kWords[word.size() % kWords.size()]);
      queries.push_back("[FIELD] title [AND] " + word + " [FIELD] year [AND] 1995 1996");
    }
    queries.push_back("[FIELD] * [AND] 国人 [FIELD] body [AND] 的");
    queries.push_back("[FIELD] year [AND] 2001");
    const std::vector<std::string> texts = {"中国 OR 北京 -大学", "title:人民 year:1995..2001",
                                            "\"学生 老师\" | abc"};
    return DataSetAnswers(
        {Path(base), Path(base == "ref" ? "ref_schema.txt.dat" : "schema.txt.dat"),
         Path("dict.pdat"), Path("dict.words")},
        queries, texts, 1);
  }

  // A change column and a log of the deleted rows that a trigger fills, and the configuration
  // of change runs that read them. Rows added later get version 0.
  void AddChangeLog() {
    Sql("create table if not exists deleted_docs (id integer); "
        "create trigger if not exists docs_deleted after delete on docs "
        "begin insert into deleted_docs values (old.id); end;");
    if (!HasColumn("docs", "version")) {
      Sql("alter table docs add column version integer not null default 0;");
    }
    WriteConfig(true, "id",
                "<DeletedKeys>select id from deleted_docs</DeletedKeys>"
                "<ChangedColumn>version</ChangedColumn><MergeShare>30</MergeShare>");
  }

  bool HasColumn(const std::string& table, const std::string& column) {
    sqlite3* db = nullptr;
    if (sqlite3_open(Path("docs.db").c_str(), &db) != SQLITE_OK) return false;
    const bool has =
        sqlite3_table_column_metadata(db, nullptr, table.c_str(), column.c_str(), nullptr, nullptr,
                                      nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return has;
  }

  ino_t Inode(const std::string& name) const {
    struct stat status {};
    return ::stat(Path(name).c_str(), &status) == 0 ? status.st_ino : 0;
  }

  // `count` generated rows with ids from `firstId`, added to the table.
  void AddRows(int firstId, int count) {
    std::mt19937 random(static_cast<unsigned>(firstId));
    std::vector<std::pair<std::string, std::string>> rows;
    for (int i = 0; i < count; ++i) {
      rows.emplace_back(MakeText(&random, 4), MakeText(&random, 10 + static_cast<int>(i % 40)));
    }
    MakeTable(rows, true, firstId);
  }

  // The data files of a full rebuild of the table now, under the names of "out". The
  // rebuild has a copy of the schema text of its own: a binary schema shared with "out"
  // could not change under it.
  std::map<std::string, std::string> FullRebuild() {
    WriteConfig(false);
    EXPECT_TRUE(WriteTextFile(Path("ref_schema.txt"), ReadBinaryFile(Path("schema.txt"))));
    EXPECT_EQ(Run(Options(0), nullptr, "ref", nullptr, "ref_schema.txt"), exit_status::kSuccess);
    std::map<std::string, std::string> files;
    for (const auto& file : DataSet("ref")) files["out" + file.first.substr(3)] = file.second;
    return files;
  }

  void MakeGeneratedTable(int rows) {
    MakeDictionary(kWords);
    std::mt19937 random(20261209);
    std::vector<std::pair<std::string, std::string>> table;
    for (int i = 0; i < rows; ++i) {
      // Every 50th body is long enough (300 words and more) to run into the next field
      // tag's range of the all-fields index, whose postings then need sorting.
      int bodyLength = i % 50 == 7 ? 700 : 5 + static_cast<int>(random() % 80);
      table.emplace_back(MakeText(&random, 3 + static_cast<int>(random() % 6)),
                         MakeText(&random, bodyLength));
    }
    MakeTable(table);
  }

  static tIndexModeOptions Options(int64_t memoryBytes, int threads = 1) {
    tIndexModeOptions options;
    options.scan.notRunningPauseMilliseconds = 0;
    options.memoryBytes = memoryBytes;
    options.threads = threads;
    return options;
  }

  // Runs mode 4 into `base`; returns its exit status and counts the spills in *spills.
  int Run(tIndexModeOptions options, int* spills = nullptr, const std::string& base = "out",
          std::string* output = nullptr, const std::string& schema = "schema.txt") {
    int counted = 0;
    options.faultHook = [&counted](const char* step) {
      if (std::string(step) == "spilled") ++counted;
    };
    testing::internal::CaptureStdout();
    int status = RunIndexModeWith(Path("db.xml").c_str(), Path(base).c_str(), Path(schema).c_str(),
                                  Path("dict.pdat").c_str(), Path("dict.words").c_str(), options);
    std::string printed = testing::internal::GetCapturedStdout();
    if (output != nullptr) *output = printed;
    if (spills != nullptr) *spills = counted;
    return status;
  }

  // Runs mode 4 in a child process; `prepare` runs in the child first. Returns the wait
  // status.
  template <typename Prepare>
  int RunChild(const tIndexModeOptions& options, Prepare prepare) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
      if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(99);
      tIndexModeOptions childOptions = options;
      prepare(&childOptions);
      int status =
          RunIndexModeWith(Path("db.xml").c_str(), Path("out").c_str(), Path("schema.txt").c_str(),
                           Path("dict.pdat").c_str(), Path("dict.words").c_str(), childOptions);
      std::fflush(stdout);
      _exit(status);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return status;
  }

  // Runs mode 4 into `base` in a child process; returns its exit status (-1 when it did not
  // exit) and its peak resident memory in bytes in *peakBytes.
  int RunMeasured(const tIndexModeOptions& options, const std::string& base, int64_t* peakBytes) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
      if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(99);
      _exit(RunIndexModeWith(Path("db.xml").c_str(), Path(base).c_str(), Path("schema.txt").c_str(),
                             Path("dict.pdat").c_str(), Path("dict.words").c_str(), options));
    }
    int status = 0;
    rusage usage{};
    EXPECT_EQ(wait4(child, &status, 0, &usage), child);
    *peakBytes = int64_t{usage.ru_maxrss} * 1024;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Files of the folder whose names start with `prefix`, with their bytes.
  std::map<std::string, std::string> Files(const std::string& prefix) const {
    std::map<std::string, std::string> files;
    DIR* directory = opendir(m_dir.path().c_str());
    while (dirent* entry = readdir(directory)) {
      std::string name = entry->d_name;
      if (name.compare(0, prefix.size(), prefix) == 0) files[name] = ReadBinaryFile(Path(name));
    }
    closedir(directory);
    return files;
  }

  // The data files of `base` (data-line and index files).
  std::map<std::string, std::string> DataSet(const std::string& base = "out") const {
    std::map<std::string, std::string> files;
    for (const auto& file : Files(base + ".")) {
      if (file.first.find(".dataline") != std::string::npos ||
          file.first.find(".index_") != std::string::npos ||
          file.first.find(".chars_") != std::string::npos ||
          file.first.find(".lengths") != std::string::npos) {
        files[file.first] = file.second;
      }
    }
    return files;
  }

  int CountSpillFiles() const {
    int count = 0;
    for (const auto& file : Files("out.")) {
      if (file.first.find(".spill") != std::string::npos) ++count;
    }
    return count;
  }

  // Runs with each bound (and with 1 and 3 threads) and expects the files of the unbounded
  // build on one thread; returns the most spills.
  int ExpectSameFilesAtEveryBound(const std::vector<int64_t>& bounds) {
    int spills = -1;
    EXPECT_EQ(Run(Options(0), &spills), exit_status::kSuccess);
    EXPECT_EQ(spills, 0);
    const std::map<std::string, std::string> expected = DataSet();
    EXPECT_EQ(expected.size(), 7u);  // the data-line file, 3 word and 2 contains indexes, lengths
    int most = 0;
    std::vector<std::pair<int64_t, int>> runs = {{0, 3}};
    for (int64_t bound : bounds) {
      runs.emplace_back(bound, 1);
      runs.emplace_back(bound, 3);
    }
    for (const auto& [bound, threads] : runs) {
      EXPECT_EQ(Run(Options(bound, threads), &spills), exit_status::kSuccess) << bound;
      EXPECT_EQ(spills > 0, bound > 0) << bound;
      most = std::max(most, spills);
      std::map<std::string, std::string> written = DataSet();
      EXPECT_EQ(written.size(), expected.size()) << bound;
      for (const auto& file : expected) {
        EXPECT_TRUE(written[file.first] == file.second)
            << "bound " << bound << ", threads " << threads << ": " << file.first;
      }
      EXPECT_EQ(CountSpillFiles(), 0) << bound;
    }
    return most;
  }

  CScratchDirectory m_dir;
};

TEST_F(BoundedBuildTest, GeneratedTableGivesTheSameFilesAtEveryBound) {
  MakeGeneratedTable(2500);
  // From a few spills to one after nearly every record (hundreds of runs per index, which
  // are merged in groups first).
  int most = ExpectSameFilesAtEveryBound({2 << 20, 256 << 10, 32 << 10, 2 << 10});
  EXPECT_GT(most, 500);
}

TEST_F(BoundedBuildTest, RealSampleDataGivesTheSameFilesAtEveryBound) {
  const char* source = std::getenv("TRINDLE_SOURCE_DIR");
  const std::string root = source != nullptr ? source : ".";
  std::string dictionary = ReadBinaryFile(root + "/data/dict.gbk.txt");
  std::string fortunes = ReadBinaryFile(root + "/data/fortunes.gbk.txt");
  if (dictionary.empty() || fortunes.empty()) {
    GTEST_SKIP() << "no data/ (scripts/prepare_data.sh)";
  }
  ASSERT_TRUE(WriteTextFile(Path("dict.txt"), dictionary));
  CPDAT trie;
  testing::internal::CaptureStdout();
  trie.BuildFromText(Path("dict.txt").c_str());
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(trie.Save(Path("dict.pdat").c_str()));
  MakeWordList(trie);
  // One row per fortunes text (texts are separated by lines of "%"); the title is its first
  // line.
  std::vector<std::pair<std::string, std::string>> rows;
  size_t start = 0;
  while (start < fortunes.size()) {
    size_t end = fortunes.find("\n%\n", start);
    std::string text = fortunes.substr(start, end == std::string::npos ? end : end - start);
    start = end == std::string::npos ? fortunes.size() : end + 3;
    if (text.empty()) continue;
    rows.emplace_back(text.substr(0, text.find('\n')), text);
  }
  ASSERT_GT(rows.size(), 1000u);
  MakeTable(rows);
  EXPECT_GT(ExpectSameFilesAtEveryBound({4 << 20, 512 << 10, 64 << 10}), 50);
}

TEST_F(BoundedBuildTest, CrashWhileSpillingOrMergingLeavesTheCommittedGenerationWhole) {
  MakeGeneratedTable(600);
  ASSERT_EQ(Run(Options(0)), exit_status::kSuccess);
  const std::map<std::string, std::string> committed = DataSet();
  // Kill at the first and at a later spill, while an index's run is written, and before a
  // merge (the data-line file is then written under its pending name).
  struct {
    const char* step;
    int occurrence;
  } const points[] = {{"spill", 1}, {"spill", 40}, {"run", 7}, {"merge", 1}, {"merge", 3}};
  for (const auto& point : points) {
    const std::string where = std::string(point.step) + " #" + std::to_string(point.occurrence);
    const std::string manifest = ReadBinaryFile(Path("out.manifest"));
    int status = RunChild(Options(4 << 10), [&point](tIndexModeOptions* options) {
      auto seen = std::make_shared<int>(0);
      options->faultHook = [point, seen](const char* step) {
        if (std::string(step) == point.step && ++*seen == point.occurrence) raise(SIGKILL);
      };
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << where;
    // What the crash left (the first spill is stopped before it has created anything).
    if (point.occurrence > 1 || std::string(point.step) != "spill") {
      EXPECT_GT(CountSpillFiles(), 0) << where;
    }
    EXPECT_EQ(ReadBinaryFile(Path("out.manifest")), manifest) << where;
    std::map<std::string, std::string> files = DataSet();
    for (const auto& file : committed) {
      EXPECT_TRUE(files[file.first] == file.second) << where << ": " << file.first;
    }
    // The next run clears the leftovers and commits the same content anew.
    ASSERT_EQ(Run(Options(4 << 10)), exit_status::kSuccess) << where;
    EXPECT_EQ(CountSpillFiles(), 0) << where;
    files = DataSet();
    for (const auto& file : committed) {
      EXPECT_TRUE(files[file.first] == file.second) << where << ": " << file.first;
    }
    for (const auto& file : Files("out.")) {
      EXPECT_EQ(file.first.find(".g"), std::string::npos) << where << ": " << file.first;
    }
  }
}

TEST_F(BoundedBuildTest, FullDiskWhileSpillingFailsCleanly) {
  MakeGeneratedTable(1500);
  ASSERT_EQ(Run(Options(0)), exit_status::kSuccess);
  const std::map<std::string, std::string> committed = DataSet();
  const std::string manifest = ReadBinaryFile(Path("out.manifest"));
  // A file-size limit stands in for a full disk: a write past it fails (EFBIG) instead of
  // stopping the process. The spilled sections outgrow it long before the save. With two
  // threads the spills are written beside the scan and the files of the save side by side.
  const rlim_t limit = 24 << 10;
  ASSERT_LT(limit, committed.at("out.dataline").size());
  for (int threads : {1, 2}) {
    int status = RunChild(Options(8 << 10, threads), [limit](tIndexModeOptions*) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit size = {limit, limit};
      setrlimit(RLIMIT_FSIZE, &size);
    });
    ASSERT_TRUE(WIFEXITED(status)) << threads;
    EXPECT_EQ(WEXITSTATUS(status), exit_status::kOutput) << threads;
    EXPECT_EQ(CountSpillFiles(), 0) << threads;
    EXPECT_EQ(ReadBinaryFile(Path("out.manifest")), manifest) << threads;
    std::map<std::string, std::string> files = DataSet();
    EXPECT_EQ(files.size(), committed.size()) << threads;
    for (const auto& file : committed) {
      EXPECT_TRUE(files[file.first] == file.second) << threads << ": " << file.first;
    }
  }
}

TEST_F(BoundedBuildTest, ARecordPastALimitOfTheFormatsCommitsNothing) {
  MakeGeneratedTable(300);
  ASSERT_EQ(Run(Options(0)), exit_status::kSuccess);
  const std::map<std::string, std::string> committed = DataSet();
  const std::string manifest = ReadBinaryFile(Path("out.manifest"));
  // Each limit lowered on its own; the record named is the first that would pass it.
  struct {
    int64_t tFORMAT_LIMITS::*limit;
    int64_t value;
    const char* line;
  } const cases[] = {
      {&tFORMAT_LIMITS::records, 120,
       "Record 120 would take the records past the limit of the file formats (120)"},
      {&tFORMAT_LIMITS::cells, 121 * 4,
       "Record 121 would take the cells of the data-line file past the limit of the file "
       "formats (484)"},
      {&tFORMAT_LIMITS::filterValues, 2 * 50,
       "Record 50 would take the filter values past the limit of the file formats (100)"},
  };
  for (const auto& limit : cases) {
    for (int64_t bound : {int64_t{0}, int64_t{4 << 10}}) {
      tIndexModeOptions options = Options(bound);
      options.limits.*limit.limit = limit.value;
      std::string output;
      EXPECT_EQ(Run(options, nullptr, "out", &output), exit_status::kFormatLimit) << limit.line;
      EXPECT_NE(output.find(std::string(limit.line) + "\n"), std::string::npos) << output;
      EXPECT_EQ(output.find("Save "), std::string::npos) << limit.line;
      EXPECT_EQ(ReadBinaryFile(Path("out.manifest")), manifest);
      EXPECT_TRUE(DataSet() == committed);
      EXPECT_EQ(CountSpillFiles(), 0);
    }
  }
  // Pool bytes and postings depend on the texts: the limit is set to what the first 100
  // records take, so the record named is 100.
  // The stored bytes of records 0..99: the data-line file of the first 100 rows says.
  MakeGeneratedTable(100);
  ASSERT_EQ(Run(Options(0), nullptr, "head"), exit_status::kSuccess);
  const std::string head = ReadBinaryFile(Path("head.dataline"));
  int32_t records = 0;
  int32_t poolBytes = 0;
  std::memcpy(&records, head.data(), 4);
  ASSERT_EQ(records, 100);
  std::memcpy(&poolBytes, head.data() + 4 + 4 * 100 + 8 * 100 * 4, 4);
  const std::string index1 = ReadBinaryFile(Path("head.index_1"));
  int32_t idCount = 0;
  int32_t postings = 0;
  std::memcpy(&idCount, index1.data(), 4);
  std::memcpy(&postings, index1.data() + 4 + 8 * idCount, 4);
  MakeGeneratedTable(300);
  tIndexModeOptions pool = Options(4 << 10);
  pool.limits.poolBytes = poolBytes;
  std::string output;
  EXPECT_EQ(Run(pool, nullptr, "out", &output), exit_status::kFormatLimit);
  EXPECT_NE(output.find("Record 100 would take the bytes of stored text past the limit of the "
                        "file formats (" +
                        std::to_string(poolBytes) + ")\n"),
            std::string::npos)
      << output;
  tIndexModeOptions posting = Options(0);
  posting.limits.postingsPerIndex = postings;
  EXPECT_EQ(Run(posting, nullptr, "out", &output), exit_status::kFormatLimit);
  EXPECT_NE(output.find("would take the postings of index "), std::string::npos) << output;
  EXPECT_EQ(ReadBinaryFile(Path("out.manifest")), manifest);
  EXPECT_TRUE(DataSet() == committed);
}

// The bound holds whatever the order of long and short wildcard fields: a field of more than
// 257 words whose positions in the all-fields index run past the next field's base does not
// make the merge read whole posting lists. Each build's peak resident memory is measured in
// a child process; the files equal those of the unbounded build.
TEST_F(BoundedBuildTest, PeakMemoryStaysWithinTheBoundWhateverTheOrderOfLongFields) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer's shadow memory and quarantine are part of the process's peak: what is
  // measured here is the build's own memory, in the plain build.
  GTEST_SKIP() << "peak memory is measured without sanitizers";
#endif
  MakeDictionary(kWords);
  // One frequent word: the all-fields index's list of it holds some 20 million postings
  // (160 MB), more than the 150 MB the build may take beyond its bound.
  constexpr int kRows = 10000;
  constexpr int kLongWords = 2000;
  constexpr int64_t kBound = 4 << 20;
  struct {
    const char* what;
    int titleWords;
    int bodyWords;
  } const orders[] = {
      {"long title before a short body", kLongWords, 3},
      {"short title before a long body", 3, kLongWords},
      {"long title before a long body", kLongWords, kLongWords / 2},
  };
  for (const auto& order : orders) {
    SCOPED_TRACE(order.what);
    std::string title;
    std::string body;
    for (int i = 0; i < order.titleWords; ++i) title += "中国";
    for (int i = 0; i < order.bodyWords; ++i) body += "中国";
    MakeTable(std::vector<std::pair<std::string, std::string>>(kRows, {title, body}));
    int64_t peak = 0;
    ASSERT_EQ(RunMeasured(Options(kBound), "out", &peak), exit_status::kSuccess);
    int64_t unboundedPeak = 0;
    ASSERT_EQ(RunMeasured(Options(0), "ref", &unboundedPeak), exit_status::kSuccess);
    std::map<std::string, std::string> expected;
    for (const auto& file : DataSet("ref")) expected["out" + file.first.substr(3)] = file.second;
    EXPECT_TRUE(DataSet() == expected);
    EXPECT_LE(peak, kBound + (int64_t{150} << 20))
        << (peak >> 20) << " MB bounded, " << (unboundedPeak >> 20) << " MB unbounded";
    std::printf("%s: peak %lld MB bounded, %lld MB unbounded\n", order.what,
                static_cast<long long>(peak >> 20), static_cast<long long>(unboundedPeak >> 20));
  }
}

TEST_F(BoundedBuildTest, AppendingRunsGiveTheFilesOfAFullRebuild) {
  MakeGeneratedTable(400);
  ASSERT_EQ(Run(Options(0)), exit_status::kSuccess);
  EXPECT_NE(ReadBinaryFile(Path("out.manifest")).find("\nlast-key i 400\n"), std::string::npos);
  int nextId = 401;
  // Each step adds rows (none in one) and appends, at several bounds and thread counts.
  struct {
    int rows;
    int64_t bound;
    int threads;
  } const steps[] = {{30, 0, 1}, {0, 0, 1}, {250, 4 << 10, 1}, {1, 0, 3}, {300, 16 << 10, 3}};
  for (const auto& step : steps) {
    if (step.rows > 0) AddRows(nextId, step.rows);
    nextId += step.rows;
    const std::map<std::string, std::string> expected = FullRebuild();
    WriteConfig(true);
    std::string output;
    ASSERT_EQ(Run(Options(step.bound, step.threads), nullptr, "out", &output),
              exit_status::kSuccess);
    EXPECT_EQ(output.find("Append:"), std::string::npos) << output;
    // Only the new rows were read.
    EXPECT_NE(output.find("Last indexed key: " + std::to_string(nextId - step.rows - 1) + "\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("select * from docs where id > ? order by id"), std::string::npos)
        << output;
    EXPECT_TRUE(DataSet() == expected) << step.rows;
    EXPECT_NE(ReadBinaryFile(Path("out.manifest"))
                  .find("\nlast-key i " + std::to_string(nextId - 1) + "\n"),
              std::string::npos);
    EXPECT_EQ(CountSpillFiles(), 0);
  }
}

TEST_F(BoundedBuildTest, AppendingRunsOverATextKeyGiveTheFilesOfAFullRebuild) {
  MakeGeneratedTable(200);
  Sql("alter table docs add column code text; update docs set code = printf('k%05d', id);");
  WriteConfig(false, "code");
  ASSERT_EQ(Run(Options(0)), exit_status::kSuccess);
  AddRows(201, 50);
  Sql("update docs set code = printf('k%05d', id) where code is null;");
  WriteConfig(false, "code");
  ASSERT_EQ(Run(Options(0), nullptr, "ref"), exit_status::kSuccess);
  std::map<std::string, std::string> expected;
  for (const auto& file : DataSet("ref")) expected["out" + file.first.substr(3)] = file.second;
  WriteConfig(true, "code");
  std::string output;
  ASSERT_EQ(Run(Options(0, 2), nullptr, "out", &output), exit_status::kSuccess);
  EXPECT_EQ(output.find("Append:"), std::string::npos) << output;
  EXPECT_NE(output.find("Last indexed key: 'k00200'\n"), std::string::npos) << output;
  EXPECT_NE(output.find("where code > ? order by code"), std::string::npos) << output;
  EXPECT_TRUE(DataSet() == expected);
}

// Appending runs over a Table with a where clause of its own (a shard's range), whose last
// text keys hold quotes, backslashes, comment marks, NUL and non-ASCII text: each run reads
// only the new rows of the range and gives the files of a full rebuild.
TEST_F(BoundedBuildTest, AppendingRunsOverAShardWithHostileTextKeysGiveTheFilesOfAFullRebuild) {
  MakeGeneratedTable(100);
  Sql("alter table docs add column code text; update docs set code = printf('k%05d', id);");
  const char* const suffixes[] = {"'\\'",   "''' or 1=1 -- '", "'\\'' or 1=1 -- '",
                                  "'中国'", "char(0)",         "'); drop table docs; --'"};
  const std::string table = "docs where id > 20 and code is not null";
  auto config = [&](bool append) {
    ASSERT_TRUE(WriteTextFile(Path("db.xml"), "<DBConnectString>sqlite:" + Path("docs.db") +
                                                  "</DBConnectString><Table>" + table +
                                                  "</Table><SortField>code</SortField>"
                                                  "<SourceEncoding>GBK</SourceEncoding><Append>" +
                                                  (append ? "1" : "0") + "</Append>"));
  };
  // The last row of each step ends its key with the suffix; keys stay strictly increasing.
  Sql(std::string("update docs set code = code || ") + suffixes[0] + " where id = 100;");
  config(false);
  ASSERT_EQ(Run(Options(0)), exit_status::kSuccess);
  int nextId = 101;
  for (size_t step = 1; step < sizeof suffixes / sizeof suffixes[0]; ++step) {
    SCOPED_TRACE(suffixes[step]);
    AddRows(nextId, 7);
    nextId += 7;
    Sql("update docs set code = printf('k%05d', id) where code is null; update docs set code = "
        "code || " +
        std::string(suffixes[step]) + " where id = " + std::to_string(nextId - 1) + ";");
    config(false);
    ASSERT_EQ(Run(Options(0), nullptr, "ref"), exit_status::kSuccess);
    std::map<std::string, std::string> expected;
    for (const auto& file : DataSet("ref")) expected["out" + file.first.substr(3)] = file.second;
    config(true);
    std::string output;
    ASSERT_EQ(Run(Options(0, 2), nullptr, "out", &output), exit_status::kSuccess);
    EXPECT_EQ(output.find("Append:"), std::string::npos) << output;
    EXPECT_NE(output.find("select * from docs where (id > 20 and code is not null) and "
                          "(code > ?) order by code"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("记录数：7\n"), std::string::npos) << output;  // only the new rows
    EXPECT_TRUE(DataSet() == expected);
  }
}

TEST_F(BoundedBuildTest, AppendFallsBackToAFullBuildWhenTheTableDidNotOnlyGrowAtItsEnd) {
  struct {
    const char* what;
    const char* change;  // SQL run on the table after the first build
    const char* reason;  // part of the line that says why
  } const cases[] = {
      {"row deleted", "delete from docs where id = 17;", "rows were changed or deleted"},
      {"row inserted before the end", "insert into docs values (0, 'x', '中国', 2000);",
       "rows were changed or deleted"},
      {"key repeated at the end",
       "insert into docs values (301, 'a', '北京', 2000); "
       "insert into docs values (301, 'b', '大学', 2000);",
       "is not strictly increasing (301 after 301)"},
      {"NULL key at the end", "insert into docs values (NULL, 'a', '北京', 2000);",
       "rows were changed or deleted"},
  };
  for (const auto& c : cases) {
    MakeGeneratedTable(300);
    for (const char* name : {"out.manifest", "out.dataline"}) std::remove(Path(name).c_str());
    ASSERT_EQ(Run(Options(0)), exit_status::kSuccess) << c.what;
    AddRows(302, 20);
    Sql(c.change);
    const std::map<std::string, std::string> expected = FullRebuild();
    WriteConfig(true);
    std::string output;
    ASSERT_EQ(Run(Options(4 << 10, 2), nullptr, "out", &output), exit_status::kSuccess) << c.what;
    EXPECT_NE(output.find("Append: "), std::string::npos) << c.what << "\n" << output;
    EXPECT_NE(output.find(c.reason), std::string::npos) << c.what << "\n" << output;
    EXPECT_NE(output.find("building in full\n"), std::string::npos) << c.what;
    EXPECT_TRUE(DataSet() == expected) << c.what;
    EXPECT_EQ(CountSpillFiles(), 0) << c.what;
  }
  // A NULL key in the full build: nothing is recorded to append from.
  std::string manifest = ReadBinaryFile(Path("out.manifest"));
  EXPECT_EQ(manifest.find("last-key"), std::string::npos) << manifest;
}

TEST_F(BoundedBuildTest, AppendNeedsACommittedSetBuiltFromTheSameInputs) {
  MakeGeneratedTable(100);
  WriteConfig(true);
  std::string output;
  ASSERT_EQ(Run(Options(0), nullptr, "out", &output), exit_status::kSuccess);
  EXPECT_NE(output.find("Append: there is no committed data set; building in full\n"),
            std::string::npos)
      << output;
  // Another schema: the stored columns change, so the committed records cannot be kept.
  std::string schema = kSchema;
  schema.replace(schema.find("4 year year I 0 1 1 0"), 21, "4 year year I 0 1 0 0");
  ASSERT_TRUE(WriteTextFile(Path("schema.txt"), schema));
  AddRows(101, 5);
  const std::map<std::string, std::string> expected = FullRebuild();
  WriteConfig(true);
  ASSERT_EQ(Run(Options(0), nullptr, "out", &output), exit_status::kSuccess);
  EXPECT_NE(output.find("Append: the schema is not the one the committed data set was built "
                        "with; building in full\n"),
            std::string::npos)
      << output;
  EXPECT_TRUE(DataSet() == expected);
  // A sort field that is not one column.
  WriteConfig(true, "id desc");
  ASSERT_EQ(Run(Options(0), nullptr, "out", &output), exit_status::kSuccess);
  EXPECT_NE(output.find("Append: the sort field \"id desc\" is not one column"), std::string::npos)
      << output;
}

}  // namespace

// The step of a change run as a random sequence of deletions, edits and inserts.
struct tChangeStep {
  int deletions;
  int edits;
  int inserts;
  const char* extra;  // more SQL
};

TEST_F(BoundedBuildTest, ChangeRunsAnswerAsAFullRebuildAfterEveryStep) {
  MakeGeneratedTable(300);
  AddChangeLog();
  std::string output;
  ASSERT_EQ(Run(Options(0), nullptr, "out", &output), exit_status::kSuccess) << output;
  const ino_t index = Inode("out.index_0");
  const ino_t chars = Inode("out.chars_2");
  std::mt19937 random(7);
  int nextId = 301;
  // Each kind alone and together, a row reported deleted twice, a key the set never held, a
  // row added and then edited and deleted, and a step without any change.
  const tChangeStep steps[] = {
      {5, 0, 0, ""},
      {0, 6, 0, ""},
      {0, 0, 12, ""},
      {9, 4, 7, ""},
      {0, 0, 0, ""},
      {3, 0, 0,
       "insert into deleted_docs values (5000); insert into deleted_docs select id from "
       "deleted_docs limit 1;"},
      {0, 0, 0,
       "update docs set body = '北京大学', version = (select max(version) from docs) + 1 "
       "where id = 305; delete from docs where id = 306;"},
      {4, 8, 3, ""},
  };
  for (size_t step = 0; step < std::size(steps); ++step) {
    const tChangeStep& change = steps[step];
    for (int i = 0; i < change.deletions; ++i) {
      Sql("delete from docs where id = (select id from docs order by abs(random() % 1000), id "
          "limit 1);");
    }
    for (int i = 0; i < change.edits; ++i) {
      Sql("update docs set title = '" + MakeText(&random, 3) + "', body = '" +
          MakeText(&random, 12) +
          "', year = 2001, version = (select max(version) from docs) + 1 where id = (select id "
          "from docs order by abs(random() % 1000), id limit 1);");
    }
    if (change.inserts > 0) {
      AddRows(nextId, change.inserts);
      nextId += change.inserts;
    }
    Sql(change.extra);
    ASSERT_EQ(Run(Options(0), nullptr, "out", &output), exit_status::kSuccess) << step << "\n"
                                                                               << output;
    EXPECT_EQ(output.find("building in full"), std::string::npos) << step << "\n" << output;
    // The word and contains indexes are the full build's files throughout.
    EXPECT_EQ(Inode("out.index_0"), index) << step;
    EXPECT_EQ(Inode("out.chars_2"), chars) << step;
    const std::string answers = Answers("out");
    EXPECT_EQ(answers.find(" refused"), std::string::npos) << answers.substr(0, 2000);
    FullRebuild();
    EXPECT_TRUE(answers == Answers("ref")) << "step " << step;
    AddChangeLog();
  }
  // The manifest lists the deletion list, the delta and the sort keys.
  const std::string manifest = ReadBinaryFile(Path("out.manifest"));
  for (const char* line : {"\ndeleted ", "\nkeys ", "\ndelta ", "\nchange-mark i "}) {
    EXPECT_NE(manifest.find(line), std::string::npos) << line << "\n" << manifest;
  }
}

TEST_F(BoundedBuildTest, ChangeRunsFallBackToAFullBuildSayingWhy) {
  struct {
    const char* what;
    const char* change;
    const char* reason;
  } const cases[] = {
      {"a deletion the log does not report",
       "delete from docs where id = 17; delete from deleted_docs;",
       "changed or deleted without being reported"},
      {"more changes than the merge share", "delete from docs where id <= 100;",
       "pass MergeShare 30%"},
      {"a row inserted before the end", "insert into docs values (0, 'x', '中国', 2000, 100);",
       "is not in the data set (inserted before its last key, or its key changed)"},
      {"a key that changed", "update docs set id = 1000, version = 100 where id = 5;",
       "changed or deleted without being reported"},
      {"a change column that went back", "update docs set version = -1;", "went back from 0 to -1"},
      {"a table emptied and filled anew",
       "delete from docs; insert into docs select 1, 't', '人民', 2000, 5;", "pass MergeShare 30%"},
  };
  for (const auto& c : cases) {
    MakeGeneratedTable(300);
    for (const char* name : {"out.manifest", "out.dataline", "out.deleted"}) {
      std::remove(Path(name).c_str());
    }
    Sql("drop table if exists deleted_docs;");
    AddChangeLog();
    ASSERT_EQ(Run(Options(0)), exit_status::kSuccess) << c.what;
    Sql(c.change);
    std::string output;
    ASSERT_EQ(Run(Options(0), nullptr, "out", &output), exit_status::kSuccess) << c.what;
    EXPECT_NE(output.find(c.reason), std::string::npos) << c.what << "\n" << output;
    EXPECT_NE(output.find("building in full\n"), std::string::npos) << c.what;
    // A full build leaves neither a deletion list nor a delta.
    EXPECT_NE(::access(Path("out.deleted").c_str(), F_OK), 0) << c.what;
    EXPECT_NE(::access(Path("out.delta.records").c_str(), F_OK), 0) << c.what;
    const std::string answers = Answers("out");
    FullRebuild();
    EXPECT_TRUE(answers == Answers("ref")) << c.what;
  }
}

TEST_F(BoundedBuildTest, AKilledChangeRunLeavesTheCommittedGenerationServing) {
  MakeGeneratedTable(300);
  AddChangeLog();
  ASSERT_EQ(Run(Options(0)), exit_status::kSuccess);
  Sql("delete from docs where id in (3, 30, 300);");
  ASSERT_EQ(Run(Options(0)), exit_status::kSuccess);
  const std::string before = Answers("out");
  Sql("delete from docs where id in (4, 40, 140); update docs set body = '科学', version = 9 "
      "where id = 7;");
  AddRows(301, 5);
  const char* const steps[] = {
      "save",          "commit",  "files synced", "manifest written", "manifest committed",
      "folder synced", "renamed", "done"};
  std::string after;
  for (const char* step : steps) {
    int status = RunChild(Options(0), [step](tIndexModeOptions* options) {
      options->faultHook = [step](const char* reached) {
        if (std::string(reached) == step) raise(SIGKILL);
      };
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << step;
    // Killed before the manifest is committed, the set answers as before; after it, as the
    // new generation does.
    const std::string answers = Answers("out");
    const bool committed = std::string(step) == "manifest committed" ||
                           std::string(step) == "folder synced" || std::string(step) == "renamed" ||
                           std::string(step) == "done";
    if (!committed) {
      EXPECT_TRUE(answers == before) << step;
    } else {
      EXPECT_FALSE(answers == before) << step;
      if (after.empty()) after = answers;
      EXPECT_TRUE(answers == after) << step;
    }
  }
  ASSERT_EQ(Run(Options(0)), exit_status::kSuccess);
  FullRebuild();
  EXPECT_TRUE(Answers("out") == Answers("ref"));
  for (const auto& file : Files("out.")) {
    EXPECT_EQ(file.first.find(".g"), std::string::npos) << file.first;
  }
}
