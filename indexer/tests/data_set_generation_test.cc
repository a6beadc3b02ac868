// Tests of data-set generations end to end through modes 4 and 5 over an SQLite table: mode 5
// refuses a set whose files do not match its manifest, naming the file; a mode-4 run killed
// at any point of its save leaves the old or the new generation, whole, never a mix.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/records/data_set_files.h"
#include "core/records/data_set_writer.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/index_mode.h"
#include "indexer/modes.h"
#include "testing/file_image.h"
#include "testing/records/sqlite_file.h"
#include "testing/records/store_fixture.h"

namespace {

// `count` rows; every third title holds 中国, so the query below finds count/3 (rounded up).
std::string Rows(int first, int count) {
  return u8"with recursive n(x) as (select " + std::to_string(first) +
         u8" union all select x + 1 from n where x < " + std::to_string(first + count - 1) +
         u8") insert into docs select x, case x % 3 when 0 then '中国 ' || x else '北京 ' || x "
         u8"end, '人民 大学 ' || x, 2000 + x % 20 from n;";
}

const char kQuery[] = "[FIELD] title [AND] 中国";

const char* const kSchema = kDocsSchema;
// The next generation's schema: the body no longer feeds the all-fields index, and the year
// is no longer stored, so every data file and the binary schema change.
const char kChangedSchema[] =
    "序号 字段名称 索引名称 数据类型 索引 过滤 存储 通配 解释\n"
    "1 id id I 0 1 1 0 编号\n"
    "2 title title T 1 0 1 1 标题\n"
    "3 body body T 1 0 1 0 正文\n"
    "4 year year I 0 1 0 0 年份\n";

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学"};

class DataSetGenerationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_dir.path().empty());
    ASSERT_TRUE(BuildTrie(kWords, "dict.pdat"));
    ASSERT_TRUE(BuildWordList(kWords, "dict.words"));
    ASSERT_TRUE(RunSql(Path("docs.db"),
                       u8"create table docs (id integer, title text, body text, year integer);"));
    ASSERT_TRUE(RunSql(Path("docs.db"), Rows(1, 30)));
    ASSERT_TRUE(WriteTextFile(Path("schema.txt"), kSchema));
    ASSERT_TRUE(WriteTextFile(Path("db.xml"), "<DBConnectString>sqlite:" + Path("docs.db") +
                                                  "</DBConnectString><Table>docs</Table>"
                                                  "<SortField>id</SortField>"));
  }

  std::string Path(const std::string& name) const { return m_dir.Path(name); }

  bool BuildTrie(const std::vector<std::string>& words, const std::string& name) {
    CPDAT trie;
    return BuildTestTrie(words, Path(name + ".txt"), &trie) && trie.Save(Path(name).c_str());
  }

  bool BuildWordList(const std::vector<std::string>& words, const std::string& name) {
    CPDAT trie;
    if (!BuildTestTrie(words, Path(name + ".txt"), &trie)) return false;
    CWordList list;
    testing::internal::CaptureStdout();
    int count = list.BuildFromText(Path(name + ".txt").c_str(), trie);
    testing::internal::GetCapturedStdout();
    return count == static_cast<int>(words.size()) && list.Save(Path(name).c_str());
  }

  static tIndexModeOptions Options() {
    tIndexModeOptions options;
    options.scan.notRunningPauseMilliseconds = 0;
    return options;
  }

  std::string RunIndex(const std::string& base = "out", const std::string& schema = "schema.txt",
                       const tIndexModeOptions& options = Options()) {
    testing::internal::CaptureStdout();
    RunIndexModeWith(Path("db.xml").c_str(), Path(base).c_str(), Path(schema).c_str(),
                     Path("dict.pdat").c_str(), Path("dict.words").c_str(), options);
    return testing::internal::GetCapturedStdout();
  }

  std::string RunQuery(const std::string& schemaBinary = "schema.txt.dat") {
    testing::internal::CaptureStdout();
    RunQueryTestMode("", Path("out").c_str(), Path(schemaBinary).c_str(), Path("dict.pdat").c_str(),
                     Path("dict.words").c_str(), kQuery);
    return testing::internal::GetCapturedStdout();
  }

  // The files of the folder whose names start with `prefix`, with their bytes.
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

  // Makes the files starting with out. and schema.txt.dat exactly `files`.
  void Restore(const std::map<std::string, std::string>& files) {
    for (const char* prefix : {"out.", "schema.txt.dat"}) {
      for (const auto& file : Files(prefix)) std::remove(Path(file.first).c_str());
    }
    for (const auto& file : files) ASSERT_TRUE(WriteTextFile(Path(file.first), file.second));
  }

  std::map<std::string, std::string> DataSet() const {
    std::map<std::string, std::string> files = Files("out.");
    files.erase("out.lock");
    for (const auto& file : Files("schema.txt.dat")) files.insert(file);
    return files;
  }

  CScratchDirectory m_dir;
};

// True when mode 5's output starts with the given number of hits.
bool Reports(const std::string& output, int count) {
  return output.rfind("Total " + std::to_string(count) + "\n", 0) == 0;
}

TEST_F(DataSetGenerationTest, ModeFiveRefusesFilesThatDoNotMatchTheManifest) {
  ASSERT_NE(RunIndex().find("Save " + Path("out.index_2") + " Success!"), std::string::npos);
  const std::string oldIndex = ReadBinaryFile(Path("out.index_2"));
  ASSERT_TRUE(RunSql(Path("docs.db"), Rows(31, 6)));
  RunIndex();
  ASSERT_EQ(ReadDataSetGeneration(Path("out")), 2);
  ASSERT_TRUE(Reports(RunQuery(), 12));

  const std::string base = Path("out");
  const std::string refused =
      "Data set " + base + " does not match " + base + ".manifest (generation 2): ";
  std::vector<std::string> dictionaryPlusOne = kWords;
  dictionaryPlusOne.push_back("人民大学");
  CFieldInfo changedSchema;
  ASSERT_TRUE(WriteTextFile(Path("changed.txt"), kChangedSchema));
  testing::internal::CaptureStdout();
  ASSERT_TRUE(changedSchema.ImportText(Path("changed.txt").c_str()));
  testing::internal::GetCapturedStdout();
  CFileImage index1;
  ASSERT_TRUE(index1.Read(Path("out.index_1")));
  const std::string index1Size = std::to_string(index1.size());

  struct Case {
    const char* what;
    std::string file;               // the file the case replaces
    std::function<bool()> replace;  // writes the replacement
    std::string message;            // what mode 5 prints after `refused`
  } const cases[] = {
      {"dictionary with one line added", "dict.pdat",
       [&] { return BuildTrie(dictionaryPlusOne, "dict.pdat"); }, "trie " + Path("dict.pdat")},
      {"another word list", "dict.words",
       [&] {
         return BuildWordList({"大学", "北京", "人民", "中国"}, "dict.words");
       },
       "word list " + Path("dict.words") + " has checksum "},
      {"another schema", "schema.txt.dat",
       [&] { return changedSchema.SaveBinary(Path("schema.txt.dat").c_str()); },
       "binary schema " + Path("schema.txt.dat")},
      {"truncated index file", "out.index_1",
       [&] {
         CFileImage cut = index1;
         cut.Truncate(cut.size() - 4);
         return cut.Write(Path("out.index_1"));
       },
       "index file " + Path("out.index_1") + " is " + std::to_string(index1.size() - 4) +
           " bytes, the manifest records " + index1Size + "\n"},
      {"index file of the previous generation", "out.index_2",
       [&] { return WriteTextFile(Path("out.index_2"), oldIndex); },
       "index file " + Path("out.index_2")},
      {"one byte of the data-line file", "out.dataline",
       [&] {
         CFileImage image;
         if (!image.Read(Path("out.dataline"))) return false;
         image.PutByteAt(image.size() - 1, static_cast<uint8_t>(image.bytes().back() ^ 1));
         return image.Write(Path("out.dataline"));
       },
       "data-line file " + Path("out.dataline") + " has checksum "},
      {"missing index file", "out.index_0",
       [&] { return std::remove(Path("out.index_0").c_str()) == 0; },
       "index file " + Path("out.index_0") + " cannot be read (No such file or directory)\n"},
  };
  for (const Case& c : cases) {
    const std::string original = ReadBinaryFile(Path(c.file));
    ASSERT_TRUE(c.replace()) << c.what;
    ASSERT_NE(ReadBinaryFile(Path(c.file)), original) << c.what;
    const std::string output = RunQuery();
    EXPECT_EQ(output.rfind(refused + c.message, 0), 0u) << c.what << "\n" << output;
    EXPECT_NE(output.find("\nSave " + base + " failed!\n"), std::string::npos) << c.what;
    EXPECT_EQ(output.find("Total"), std::string::npos) << c.what;
    ASSERT_TRUE(WriteTextFile(Path(c.file), original));
    EXPECT_TRUE(Reports(RunQuery(), 12)) << c.what;
  }

  // A data set without a manifest loads as it is; a damaged manifest is refused.
  const std::string manifest = ReadBinaryFile(Path("out.manifest"));
  ASSERT_TRUE(WriteTextFile(Path("out.manifest"), manifest.substr(0, manifest.size() / 2)));
  EXPECT_EQ(RunQuery().rfind(
                "Data set " + base + " cannot be checked: " + base + ".manifest is damaged: ", 0),
            0u);
  ASSERT_EQ(std::remove(Path("out.manifest").c_str()), 0);
  ASSERT_TRUE(BuildTrie(dictionaryPlusOne, "dict.pdat"));
  EXPECT_TRUE(Reports(RunQuery(), 12));
}

// Two data sets built from one schema text share its binary schema: a changed schema for one
// is refused, naming the other, whose files stay loadable; from a schema text of its own the
// changed build succeeds and the other still loads.
TEST_F(DataSetGenerationTest, ABinarySchemaAnotherDataSetLoadsIsNotChangedUnderIt) {
  ASSERT_NE(RunIndex().find("Save " + Path("out.index_2") + " Success!"), std::string::npos);
  ASSERT_NE(RunIndex("other").find("Save " + Path("other.index_2") + " Success!"),
            std::string::npos);
  const std::string binarySchema = ReadBinaryFile(Path("schema.txt.dat"));
  ASSERT_TRUE(WriteTextFile(Path("schema.txt"), kChangedSchema));
  const std::string refused = RunIndex("other");
  EXPECT_NE(refused.find("is the one the data set " + Path("out") + " was built with"),
            std::string::npos)
      << refused;
  EXPECT_EQ(ReadBinaryFile(Path("schema.txt.dat")), binarySchema);
  EXPECT_TRUE(Reports(RunQuery(), 10));
  EXPECT_EQ(ReadDataSetGeneration(Path("other")), 1);

  ASSERT_TRUE(WriteTextFile(Path("other_schema.txt"), kChangedSchema));
  const std::string built = RunIndex("other", "other_schema.txt");
  EXPECT_NE(built.find("Save " + Path("other.index_1") + " Success!"), std::string::npos) << built;
  EXPECT_EQ(ReadDataSetGeneration(Path("other")), 2);
  EXPECT_EQ(ReadBinaryFile(Path("schema.txt.dat")), binarySchema);
  EXPECT_TRUE(Reports(RunQuery(), 10));
  // The same schema again is no change: both data sets rebuild from the shared text.
  ASSERT_TRUE(WriteTextFile(Path("schema.txt"), kSchema));
  EXPECT_NE(RunIndex("out").find("Save " + Path("out.index_2") + " Success!"), std::string::npos);
}

TEST_F(DataSetGenerationTest, AnotherRunOnTheSameBaseIsRefusedWhileOneHoldsTheLock) {
  RunIndex();
  const auto before = DataSet();
  CDataSetWriter holder(Path("out"), Path("schema.txt.dat"));
  std::string error;
  ASSERT_TRUE(holder.Begin(&error)) << error;
  ASSERT_TRUE(RunSql(Path("docs.db"), Rows(31, 6)));
  const std::string output = RunIndex();
  EXPECT_NE(output.find("Data set " + Path("out") + " is being written by another run\nSave " +
                        Path("out") + " failed!\n"),
            std::string::npos)
      << output;
  EXPECT_EQ(DataSet(), before);
}

TEST_F(DataSetGenerationTest, IndexFilesBeyondTheNewCountAreRemovedAfterTheCommit) {
  RunIndex();
  ASSERT_TRUE(FileExists(Path("out.index_2")));
  // The body is no longer indexed: two indexes instead of three.
  std::string schema = kSchema;
  schema.replace(schema.find("3 body body T 1 0 1 1"), 21, "3 body body T 0 0 1 0");
  ASSERT_TRUE(WriteTextFile(Path("schema.txt"), schema));
  RunIndex();
  EXPECT_TRUE(FileExists(Path("out.index_1")));
  EXPECT_FALSE(FileExists(Path("out.index_2")));
  EXPECT_TRUE(Reports(RunQuery(), 10));
}

TEST_F(DataSetGenerationTest, WhatAKilledRunLeftIsRemovedByTheNextAndNothingElse) {
  RunIndex();
  // Names a run killed while writing leaves: files under their temporary names, the pending
  // names of a generation, the runs and sections of a bounded build.
  const char* const left[] = {"out.dataline.g5.tmp", "out.dataline.g5.tmp.tmp",
                              "out.index_0.g5",      "out.index_1.g5.tmp.tmp",
                              "out.spill.g5.pool",   "out.spill.g5.index_2.run3"};
  // Names that only look alike.
  const char* const kept[] = {"out.index_0.g5x", "out.index_0.g5.tmpx", "other.index_0.g5.tmp.tmp",
                              "out.spill.gx.pool", "out.notes.g5.tmp"};
  for (const char* name : left) ASSERT_TRUE(WriteTextFile(Path(name), "x")) << name;
  for (const char* name : kept) ASSERT_TRUE(WriteTextFile(Path(name), "x")) << name;
  RunIndex();
  for (const char* name : left) EXPECT_FALSE(FileExists(Path(name))) << name;
  for (const char* name : kept) EXPECT_TRUE(FileExists(Path(name))) << name;
  EXPECT_TRUE(Reports(RunQuery(), 10));
}

// A server watching the manifest may finish the commit before mode 4 does its own renames:
// files already in place are the commit done, not a failure.
TEST_F(DataSetGenerationTest, ModeFourSucceedsWhenALoaderFinishedTheRenamesFirst) {
  RunIndex();
  ASSERT_TRUE(RunSql(Path("docs.db"), Rows(31, 6)));
  tIndexModeOptions options = Options();
  bool finished = false;
  options.faultHook = [this, &finished](const char* step) {
    if (std::string(step) != "folder synced") return;
    tDATA_SET_CHECK check;
    finished = CheckDataSet(
        {Path("out"), Path("schema.txt.dat"), Path("dict.pdat"), Path("dict.words")}, &check);
    EXPECT_EQ(check.generation, 2) << check.message;
  };
  const std::string output = RunIndex("out", "schema.txt", options);
  ASSERT_TRUE(finished);
  EXPECT_EQ(output.find("failed!"), std::string::npos) << output;
  EXPECT_EQ(output.find("Error Write"), std::string::npos) << output;
  EXPECT_TRUE(Reports(RunQuery(), 12));
}

// The generation number has an end: a manifest at the largest one is not followed by a
// manifest that no loader could read; the run is refused and the set stays as it is.
TEST_F(DataSetGenerationTest, ModeFourRefusesToCountPastTheLastGeneration) {
  RunIndex();
  std::string manifest = ReadBinaryFile(Path("out.manifest"));
  const size_t at = manifest.find("generation 1\n");
  ASSERT_NE(at, std::string::npos);
  manifest.replace(at, 13, "generation 9223372036854775807\n");
  ASSERT_TRUE(WriteTextFile(Path("out.manifest"), manifest));
  ASSERT_EQ(ReadDataSetGeneration(Path("out")), INT64_MAX);
  const auto before = DataSet();
  ASSERT_TRUE(RunSql(Path("docs.db"), Rows(31, 6)));
  const std::string output = RunIndex();
  EXPECT_NE(output.find("is at the last generation number 9223372036854775807"), std::string::npos)
      << output;
  EXPECT_EQ(DataSet(), before);
  EXPECT_TRUE(Reports(RunQuery(), 10));
}

// Kills mode 4 at chosen moments of its save and checks after each that the set loads as the
// old generation, byte for byte, or as the new one, byte for byte as an uninterrupted run
// writes it; then that the next mode-4 run recovers and leaves no pending file.
class KilledSaveTest : public DataSetGenerationTest {
 protected:
  void SetUp() override {
    DataSetGenerationTest::SetUp();
    ASSERT_TRUE(RunSql(Path("docs.db"), Rows(31, 1500)));
    RunIndex();
    m_old = DataSet();
    m_oldAnswer = RunQuery();
    ASSERT_TRUE(Reports(m_oldAnswer, 510));
    // The next generation: more rows and another schema.
    ASSERT_TRUE(RunSql(Path("docs.db"), Rows(2000, 300)));
    ASSERT_TRUE(WriteTextFile(Path("schema.txt"), kChangedSchema));
    ASSERT_TRUE(WriteTextFile(Path("ref.txt"), kChangedSchema));
    RunIndex("ref", "ref.txt");
    m_new[DataLinePath("out")] = ReadBinaryFile(Path(DataLinePath("ref")));
    for (size_t k = 0; k < 3; ++k)
      m_new[IndexPath("out", k)] = ReadBinaryFile(Path(IndexPath("ref", k)));
    m_new["schema.txt.dat"] = ReadBinaryFile(Path("ref.txt.dat"));
    ASSERT_NE(m_new["schema.txt.dat"], m_old["schema.txt.dat"]);
  }

  // Runs mode 4 in a child process that `kill` stops; true when the child was killed.
  template <typename Kill>
  bool RunChild(const tIndexModeOptions& options, Kill kill) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
      if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(3);
      RunIndexModeWith(Path("db.xml").c_str(), Path("out").c_str(), Path("schema.txt").c_str(),
                       Path("dict.pdat").c_str(), Path("dict.words").c_str(), options);
      std::fflush(stdout);
      _exit(0);
    }
    kill(child);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    if (WIFSIGNALED(status)) {
      EXPECT_EQ(WTERMSIG(status), SIGKILL);
      return true;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return false;
  }

  // Returns the generation the set loaded as (1 old, 2 new) after checking it.
  int64_t ExpectOneWholeGeneration(const std::string& where) {
    const std::string answer = RunQuery();  // finishes an interrupted commit
    const int64_t generation = ReadDataSetGeneration(Path("out"));
    std::map<std::string, std::string> files = DataSet();
    if (generation == 1) {
      EXPECT_EQ(answer, m_oldAnswer) << where;
      for (const auto& file : m_old) {
        EXPECT_TRUE(files[file.first] == file.second) << where << ": " << file.first;
      }
    } else {
      EXPECT_EQ(generation, 2) << where;
      EXPECT_TRUE(Reports(answer, 610)) << where;
      for (const auto& file : m_new) {
        EXPECT_TRUE(files[file.first] == file.second) << where << ": " << file.first;
      }
    }
    // The next run finishes or clears what the killed one left and commits a new generation.
    RunIndex();
    EXPECT_EQ(ReadDataSetGeneration(Path("out")), generation + 1) << where;
    EXPECT_TRUE(Reports(RunQuery(), 610)) << where;
    for (const auto& file : DataSet()) {
      EXPECT_EQ(file.first.find(".g"), std::string::npos) << where << ": " << file.first;
      EXPECT_EQ(file.first.find(".tmp"), std::string::npos) << where << ": " << file.first;
    }
    return generation;
  }

  std::map<std::string, std::string> m_old;
  std::map<std::string, std::string> m_new;
  std::string m_oldAnswer;
};

TEST_F(KilledSaveTest, KilledAtEveryStepOfTheSave) {
  std::vector<std::string> steps;  // the step each run was killed at
  std::map<int64_t, int> outcomes;
  for (int stop = 1;; ++stop) {
    ASSERT_LE(stop, 40) << "more steps than a save has";
    Restore(m_old);
    tIndexModeOptions options = Options();
    int reached = 0;
    options.faultHook = [&reached, stop](const char*) {
      if (++reached == stop) raise(SIGKILL);
    };
    if (!RunChild(options, [](pid_t) {})) break;
    ++outcomes[ExpectOneWholeGeneration("killed at step " + std::to_string(stop))];
    if (HasFailure()) return;
  }
  // Both sides of the commit were seen: kills before the manifest and after it.
  EXPECT_GE(outcomes[1], 4);
  EXPECT_GE(outcomes[2], 5);
}

TEST_F(KilledSaveTest, KilledAfterRandomDelaysIntoTheSave) {
  // The child reports through a pipe when it starts to save; the kill comes a random time
  // after that, within the time an uninterrupted save takes.
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  tIndexModeOptions options = Options();
  const int reportTo = pipeEnds[1];
  options.faultHook = [reportTo](const char* step) {
    if (std::string(step) == "save" && write(reportTo, "s", 1) != 1) _exit(4);
  };
  auto awaitSave = [&pipeEnds]() {
    char byte = 0;
    return read(pipeEnds[0], &byte, 1) == 1;
  };
  Restore(m_old);
  std::chrono::steady_clock::time_point saving;
  ASSERT_FALSE(RunChild(options, [&](pid_t) {
    ASSERT_TRUE(awaitSave());
    saving = std::chrono::steady_clock::now();
  }));
  const auto save = std::chrono::steady_clock::now() - saving;
  const int64_t window =
      std::max<int64_t>(1000, std::chrono::duration_cast<std::chrono::microseconds>(save).count());
  std::mt19937 random(2026);
  for (int run = 0; run < 16; ++run) {
    Restore(m_old);
    const auto delay =
        std::chrono::microseconds(std::uniform_int_distribution<int64_t>(0, window)(random));
    RunChild(options, [&](pid_t child) {
      if (awaitSave()) std::this_thread::sleep_for(delay);
      kill(child, SIGKILL);
    });
    ExpectOneWholeGeneration("killed " + std::to_string(delay.count()) +
                             " microseconds into the save");
    if (HasFailure()) break;
  }
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}

}  // namespace
