// Tests of the manifest text: what Format writes is read back whole by Parse, and Parse
// refuses every truncated or altered form rather than reading part of it.
#include "core/records/manifest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

CManifest Sample() {
  CManifest manifest;
  manifest.generation = 12;
  manifest.recordCount = 1000000;
  manifest.trie = {8228904, 0xa3529ea6};
  manifest.wordList = {5037049, 0x7bf33170};
  manifest.schema = {239, 0x0000001a};
  manifest.schemaPath = "/tmp/a folder/schema.txt.dat";
  manifest.dataLine = {387594647, 0xffffffff};
  manifest.indexes = {{640864592, 0x3293d372}, {0, 0}, {582867416, 0x24c679e7}};
  return manifest;
}

void ExpectSame(const CManifest& a, const CManifest& b) {
  EXPECT_EQ(a.generation, b.generation);
  EXPECT_EQ(a.recordCount, b.recordCount);
  EXPECT_EQ(a.trie, b.trie);
  EXPECT_EQ(a.wordList, b.wordList);
  EXPECT_EQ(a.schema, b.schema);
  EXPECT_EQ(a.schemaPath, b.schemaPath);
  EXPECT_EQ(a.dataLine, b.dataLine);
  EXPECT_EQ(a.indexes, b.indexes);
  EXPECT_EQ(a.lastKey, b.lastKey);
}

TEST(ManifestTest, FormatThenParseGivesTheSameManifest) {
  for (size_t indexCount : {size_t{0}, size_t{1}, size_t{3}}) {
    for (const char* lastKey : {"", "i 1000000", "i -7", "t 6b3030303031d6d0"}) {
      CManifest written = Sample();
      written.indexes.resize(indexCount, {7, 7});
      written.lastKey = lastKey;
      CManifest read;
      std::string error;
      ASSERT_TRUE(read.Parse(written.Format(), &error)) << error;
      ExpectSame(read, written);
    }
  }
}

TEST(ManifestTest, OnlyWellFormedLastKeysAreRead) {
  CManifest sample = Sample();
  sample.lastKey = "i 5";
  const std::string text = sample.Format();
  for (const char* bad :
       {"i ", "i -", "i 5x", "i 123456789012345", "t abc", "t 6G", "x 5", "i5", "t 6B"}) {
    std::string altered = text;
    altered.replace(altered.find("last-key i 5"), 12, std::string("last-key ") + bad);
    CManifest read;
    std::string error;
    EXPECT_FALSE(read.Parse(altered, &error)) << bad;
  }
}

TEST(ManifestTest, EveryTruncationIsRefusedAndLeavesTheManifestAlone) {
  const std::string text = Sample().Format();
  for (size_t size = 0; size < text.size(); ++size) {
    CManifest read;
    read.generation = 99;
    std::string error;
    EXPECT_FALSE(read.Parse(text.substr(0, size), &error)) << size;
    EXPECT_EQ(read.generation, 99);
    EXPECT_FALSE(error.empty());
  }
}

TEST(ManifestTest, AlteredLinesAreRefused) {
  const std::string text = Sample().Format();
  struct Case {
    std::string from, to;
  } const cases[] = {
      {"trindle-data-set 1", "trindle-data-set 2"},
      {"generation 12", "generation -12"},
      {"generation 12", "generation 1x"},
      {"records 1000000", "records 99999999999"},  // beyond int32
      // Beyond int64, in as many digits as INT64_MAX has: never read as a wrapped number.
      {"generation 12", "generation 9999999999999999999"},
      {"generation 12", "generation 9223372036854775808"},
      {"trie 8228904", "trie 9999999999999999999"},
      {"records 1000000", "records 2147483648"},
      {"trie 8228904 a3529ea6", "trie 8228904 A3529EA6"},
      {"trie 8228904 a3529ea6", "trie 8228904 a3529ea"},
      {"trie 8228904 a3529ea6", "trie 8228904 a3529ea6 extra"},
      {"word-list 5037049", "wordlist 5037049"},
      {" /tmp/a folder/schema.txt.dat", ""},  // the schema's path is required
      {"indexes 3", "indexes 4"},
      {"indexes 3", "indexes 2"},
      {"index_1 0", "index_2 0"},
      {"end\n", "end\nmore\n"},
      {"end\n", "end"},
  };
  for (const Case& c : cases) {
    std::string altered = text;
    size_t at = altered.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    altered.replace(at, c.from.size(), c.to);
    CManifest read;
    std::string error;
    EXPECT_FALSE(read.Parse(altered, &error)) << c.to;
  }
}

TEST(ManifestTest, TheLargestNumbersAreReadExactly) {
  std::string text = Sample().Format();
  text.replace(text.find("generation 12"), 13, "generation 9223372036854775807");
  text.replace(text.find("records 1000000"), 15, "records 2147483647");
  CManifest read;
  std::string error;
  ASSERT_TRUE(read.Parse(text, &error)) << error;
  EXPECT_EQ(read.generation, INT64_MAX);
  EXPECT_EQ(read.recordCount, INT32_MAX);
}

}  // namespace
