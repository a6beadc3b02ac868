// Tests of trindle-publish, folder to folder: a published generation loads at the replica, a
// copy that stops half-way leaves the replica on its previous generation, and the next run
// completes the new one; a change run's generation (sort keys, deletion list, delta) arrives
// whole.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>

#include "core/records/data_set_files.h"
#include "core/records/manifest.h"
#include "core/records/record_keys.h"
#include "core/records/record_list.h"
#include "core/text/word_list.h"
#include "core/util/crc32c.h"
#include "server/search_data.h"
#include "testing/records/query_fixture.h"

namespace {

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学"};
const char kSchema[] = "1 TITLE title T 1 0 1 1 标题\n";

// Builds a data set "set" of `records` rows in its own scratch directory, with its word list.
std::unique_ptr<CQueryFixture> BuildSet(int records) {
  auto fixture = std::make_unique<CQueryFixture>(kWords, kSchema);
  if (!fixture->ok()) return nullptr;
  for (int record = 0; record < records; ++record) {
    const char* title = record % 2 == 0 ? "中国人民" : "北京大学";
    if (!fixture->AddRow(CMemoryRow{{"TITLE", TextValue(title)}})) return nullptr;
  }
  CWordList words;
  if (!fixture->SaveAndLoad("set") ||
      words.BuildFromText(fixture->directory().Path("dict.txt").c_str(), fixture->trie()) <= 0 ||
      !words.Save(fixture->directory().Path("set.words").c_str())) {
    return nullptr;
  }
  return fixture;
}

// Commits generation `generation` of the files at `base` as mode 4 would: a manifest naming
// their sizes and checksums.
bool Commit(const std::string& base, int64_t generation, int32_t records, int indexes) {
  CManifest manifest;
  manifest.generation = generation;
  manifest.recordCount = records;
  manifest.schemaPath = base + ".schema";
  std::string error;
  bool ok = IdentifyFile(base + ".trie", &manifest.trie, &error) &&
            IdentifyFile(base + ".words", &manifest.wordList, &error) &&
            IdentifyFile(base + ".schema", &manifest.schema, &error) &&
            IdentifyFile(DataLinePath(base), &manifest.dataLine, &error);
  manifest.indexes.resize(static_cast<size_t>(indexes));
  for (int index = 0; ok && index < indexes; ++index) {
    ok =
        IdentifyFile(IndexPath(base, index), &manifest.indexes[static_cast<size_t>(index)], &error);
  }
  return ok && WriteTextFile(ManifestPath(base), manifest.Format());
}

// Runs the tool with `arguments` (shell words), the folder `path` first on PATH when given;
// its exit status.
int Publish(const std::string& arguments, const std::string& path = "") {
  std::string command = std::string(PUBLISH_PATH) + " " + arguments + " > publish.out 2>&1";
  if (!path.empty()) command = "PATH=" + path + ":$PATH " + command;
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_source = BuildSet(2);
    ASSERT_TRUE(m_source);
    m_indexes = m_source->store().GetIndexCount();
    ASSERT_TRUE(Commit(Source("set"), 1, 2, m_indexes));
    ASSERT_EQ(std::system(("mkdir -p " + Source("replica")).c_str()), 0);
    // The trie and word list reach a replica by hand, once.
    for (const char* file : {"set.trie", "set.words"}) {
      ASSERT_TRUE(WriteTextFile(Replica(file), ReadBinaryFile(Source(file))));
    }
  }
  std::string Source(const std::string& name) const { return m_source->directory().Path(name); }
  std::string Replica(const std::string& name) const { return Source("replica/" + name); }
  std::shared_ptr<const CSearchData> LoadReplica() const {
    return LoadSearchData(
        {Replica("set"), Replica("set.schema"), Replica("set.trie"), Replica("set.words")});
  }
  std::string PublishOutput() const { return ReadBinaryFile(Source("publish.out")); }

  std::unique_ptr<CQueryFixture> m_source;
  int m_indexes = 0;
};

TEST_F(PublishTest, AGenerationLoadsAtTheReplicaOnlyOnceItIsWholeThere) {
  ASSERT_EQ(Publish(Source("set") + " " + Source("replica")), 0) << PublishOutput();
  std::shared_ptr<const CSearchData> served = LoadReplica();
  ASSERT_TRUE(served);
  EXPECT_EQ(served->generation(), 1);
  EXPECT_EQ(served->store().GetRecordCount(), 2);
  EXPECT_FALSE(FileExists(Replica("set.dataline.g1")));  // moved into place by the loader

  // Generation 2 has five records. A copy that fails after its first file (the way a dropped
  // connection ends rsync, with a partial temporary file beside the pending ones) leaves the
  // replica loading generation 1.
  {
    std::unique_ptr<CQueryFixture> next = BuildSet(5);
    ASSERT_TRUE(next);
    ASSERT_EQ(next->store().GetIndexCount(), m_indexes);
    for (std::string file : {"set.dataline", "set.schema"}) {
      ASSERT_TRUE(WriteTextFile(Source(file), ReadBinaryFile(next->directory().Path(file))));
    }
    for (int index = 0; index < m_indexes; ++index) {
      const std::string file = "set.index_" + std::to_string(index);
      ASSERT_TRUE(WriteTextFile(Source(file), ReadBinaryFile(next->directory().Path(file))));
    }
  }
  ASSERT_TRUE(Commit(Source("set"), 2, 5, m_indexes));
  ASSERT_EQ(std::system(("mkdir -p " + Source("broken")).c_str()), 0);
  ASSERT_TRUE(WriteTextFile(Source("broken/rsync"),
                            "#!/bin/sh\n"
                            "[ \"$1\" = --help ] && exec /usr/bin/rsync --help\n"
                            "n=$(cat " +
                                Source("broken/calls") +
                                " 2>/dev/null || echo 0)\n"
                                "n=$((n + 1)); echo $n > " +
                                Source("broken/calls") +
                                "\n"
                                "if [ $n -ge 2 ]; then\n"
                                "  for word; do from=$to; to=$word; done\n"
                                "  head -c 5 \"$from\" > \"$(dirname \"$to\")/.partial.XXXXXX\"\n"
                                "  exit 20\n"
                                "fi\n"
                                "exec /usr/bin/rsync \"$@\"\n"));
  ASSERT_EQ(std::system(("chmod +x " + Source("broken/rsync")).c_str()), 0);
  EXPECT_EQ(Publish(Source("set") + " " + Source("replica"), Source("broken")), 1);
  EXPECT_NE(PublishOutput().find("generation 2 is not committed there"), std::string::npos)
      << PublishOutput();
  EXPECT_TRUE(FileExists(Replica("set.dataline.g2")));
  served = LoadReplica();
  ASSERT_TRUE(served);
  EXPECT_EQ(served->generation(), 1);
  EXPECT_EQ(served->store().GetRecordCount(), 2);

  // A dry run changes nothing; the next real run completes generation 2.
  EXPECT_EQ(Publish("--dry-run " + Source("set") + " " + Source("replica")), 0);
  EXPECT_EQ(LoadReplica()->generation(), 1);
  ASSERT_EQ(Publish(Source("set") + " " + Source("replica")), 0) << PublishOutput();
  served = LoadReplica();
  ASSERT_TRUE(served);
  EXPECT_EQ(served->generation(), 2);
  EXPECT_EQ(served->store().GetRecordCount(), 5);
  EXPECT_EQ(ReadBinaryFile(Replica("set.dataline")), ReadBinaryFile(Source("set.dataline")));
  for (int index = 0; index < m_indexes; ++index) {
    EXPECT_FALSE(FileExists(Replica("set.index_" + std::to_string(index) + ".g2")));
  }
}

TEST_F(PublishTest, RefusesWhatIsNotACommittedGeneration) {
  struct Case {
    std::string arguments;
    int status;
    const char* message;
  } cases[] = {
      {Source("nothing") + " " + Source("replica"), 1, "only a committed generation"},
      {Source("set") + " " + Source("no-such-folder"), 1, "no such folder"},
      {Source("set") + " host:relative/folder", 1, "must be absolute"},
      {Source("set"), 2, "Usage:"},
      {"--frobnicate " + Source("set") + " " + Source("replica"), 2, "unknown option"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Publish(c.arguments), c.status) << c.arguments;
    EXPECT_NE(PublishOutput().find(c.message), std::string::npos) << PublishOutput();
  }
  // A data file missing from the committed generation stops the run before anything is copied.
  ASSERT_EQ(std::remove(Source("set.index_0").c_str()), 0);
  EXPECT_EQ(Publish(Source("set") + " " + Source("replica")), 1);
  EXPECT_NE(PublishOutput().find("cannot read"), std::string::npos) << PublishOutput();
  EXPECT_FALSE(FileExists(Replica("set.manifest")));
  EXPECT_FALSE(FileExists(Replica("set.dataline.g1")));
}

TEST_F(PublishTest, AChangeRunsGenerationArrivesWithItsKeysDeletionsAndDelta) {
  // Generation 2 of "set": record 0 answers from the delta with new content, record 1 is
  // deleted, and the delta adds a third record.
  std::unique_ptr<CQueryFixture> delta = BuildSet(2);
  ASSERT_TRUE(delta);
  const std::string base = Source("set");
  for (int index = 0; index < m_indexes; ++index) {
    const std::string file = "set.index_" + std::to_string(index);
    ASSERT_TRUE(WriteTextFile(IndexPath(DeltaBase(base), static_cast<size_t>(index)),
                              ReadBinaryFile(delta->directory().Path(file))));
  }
  ASSERT_TRUE(WriteTextFile(DeltaBase(base) + ".dataline",
                            ReadBinaryFile(delta->directory().Path("set.dataline"))));
  CRecordList hidden;
  CRecordList numbers;
  CRecordKeys keys;
  keys.Append("i 1");
  keys.Append("i 2");
  ASSERT_TRUE(hidden.Assign({0, 1}, 2) && hidden.Save(DeletedPath(base)));
  ASSERT_TRUE(numbers.Assign({0, 2}, INT32_MAX) && numbers.Save(DeltaRecordsPath(base)));
  ASSERT_TRUE(keys.Save(KeysPath(base)));
  ASSERT_TRUE(Commit(base, 2, 2, m_indexes));
  CManifest manifest;
  std::string error;
  ASSERT_EQ(manifest.Read(ManifestPath(base), &error), CManifest::ReadResult::kRead);
  manifest.hasKeys = manifest.hasDeleted = true;
  manifest.deltaRecords = 2;
  manifest.deltaIndexes.resize(manifest.indexes.size());
  bool ok = IdentifyFile(KeysPath(base), &manifest.keys, &error) &&
            IdentifyFile(DeletedPath(base), &manifest.deleted, &error) &&
            IdentifyFile(DeltaBase(base) + ".dataline", &manifest.deltaDataLine, &error) &&
            IdentifyFile(DeltaRecordsPath(base), &manifest.deltaRecordList, &error);
  for (size_t index = 0; ok && index < manifest.deltaIndexes.size(); ++index) {
    ok = IdentifyFile(IndexPath(DeltaBase(base), index), &manifest.deltaIndexes[index], &error);
  }
  ASSERT_TRUE(ok) << error;
  ASSERT_TRUE(WriteTextFile(ManifestPath(base), manifest.Format()));

  ASSERT_EQ(Publish(base + " " + Source("replica")), 0) << PublishOutput();
  std::shared_ptr<const CSearchData> served = LoadReplica();
  ASSERT_TRUE(served);
  EXPECT_EQ(served->generation(), 2);
  // The loader moved the copies into place.
  for (const std::string file : {"set.keys", "set.deleted", "set.delta.dataline",
                                 "set.delta.records", "set.delta.index_0"}) {
    EXPECT_EQ(ReadBinaryFile(Replica(file)), ReadBinaryFile(Source(file))) << file;
  }
  EXPECT_EQ(served->store().GetRecordCount(), 3);
  EXPECT_EQ(served->store().GetLiveRecordCount(), 2);
  EXPECT_TRUE(served->store().IsDeleted(1));
  int length = 0;
  const char* cell = served->store().GetCell(2, 0, &length);
  EXPECT_EQ(std::string(cell, static_cast<size_t>(length)), "北京大学");  // the delta's second
}

}  // namespace
