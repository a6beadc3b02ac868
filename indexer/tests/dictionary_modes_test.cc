#include <gtest/gtest.h>

#include <string>

#include "core/text/pdat.h"
#include "core/text/word_list.h"
#include "indexer/modes.h"
#include "testing/trie_test_files.h"

namespace {

struct tModeRun {
  int exitCode;
  std::string printed;
};

tModeRun RunMode1(const std::string& dictionaryPath, const std::string& triePath) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int code = RunDictionaryMode(dictionaryPath.c_str(), triePath.c_str());
  std::fflush(stdout);
  testing::internal::GetCapturedStderr();
  return {code, testing::internal::GetCapturedStdout()};
}

tModeRun RunMode2(const std::string& textPath, const std::string& listPath,
                  const std::string& triePath) {
  testing::internal::CaptureStdout();
  int code = RunWordListMode(textPath.c_str(), listPath.c_str(), triePath.c_str());
  std::fflush(stdout);
  return {code, testing::internal::GetCapturedStdout()};
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(DictionaryMode, BuildsAndSavesTheTrie) {
  std::string dictionary = WriteScratchFile("mode1.txt", "中国 9 n\n人民\n中国人民\n");
  std::string trie = ScratchPath("mode1.trie");
  tModeRun run = RunMode1(dictionary, trie);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(Contains(run.printed, "3\t中国人民 Completed!\n"));
  CPDAT loaded;
  ASSERT_TRUE(loaded.Load(trie.c_str()));
  EXPECT_EQ(loaded.LookupString("人民"), 1);
  EXPECT_EQ(loaded.GetWordCount(), 3);
}

// An input that yields no word exits with 1, an output that cannot be written with 3.
TEST(DictionaryMode, FailuresNameTheFileAndExitWithTheirStatus) {
  std::string empty = WriteScratchFile("mode1_empty.txt", "\n  \n");
  tModeRun run = RunMode1(empty, ScratchPath("unused.trie"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.printed, "Error Load " + empty + "\n");

  std::string missing = ScratchPath("mode1_missing.txt");
  EXPECT_EQ(RunMode1(missing, ScratchPath("unused.trie")).printed, "Error Load " + missing + "\n");

  std::string dictionary = WriteScratchFile("mode1_ok.txt", "ab\n");
  std::string unwritable = ScratchPath("no-such-directory/out.trie");
  run = RunMode1(dictionary, unwritable);
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_TRUE(Contains(run.printed, "Error Save " + unwritable + "\n"));
}

class WordListModeTest : public testing::Test {
 protected:
  void SetUp() override {
    m_trie = ScratchPath("mode2.trie");
    ASSERT_EQ(RunMode1(WriteScratchFile("mode2_dictionary.txt", "ab\n中国\ncd\n"), m_trie).exitCode,
              0);
    m_text = WriteScratchFile("mode2_words.txt", "中国\nzz\nab\n");
    m_list = ScratchPath("mode2.words");
  }
  std::string m_trie, m_text, m_list;
};

TEST_F(WordListModeTest, BuildsAndSavesTheWordList) {
  tModeRun run = RunMode2(m_text, m_list, m_trie);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.printed, "Line 1:中国\nLine 2:zz\nLine 3:ab\n");
  CWordList loaded;
  ASSERT_TRUE(loaded.Load(m_list.c_str()));
  EXPECT_EQ(loaded.GetWordCount(), 2);
  EXPECT_STREQ(loaded.GetWord(1), "中国");
  EXPECT_STREQ(loaded.GetWord(0), "ab");
}

TEST_F(WordListModeTest, AMissingOrDamagedTrieLeavesNoWordToStore) {
  std::string missing = ScratchPath("mode2_missing.trie");
  tModeRun run = RunMode2(m_text, m_list, missing);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.printed.substr(0, run.printed.find('\n') + 1), "Load " + missing + " Error!\n");
  EXPECT_TRUE(Contains(run.printed, "Error Load " + m_text + "\n"));

  std::string image = ReadFileBytes(m_trie);
  std::string truncated =
      WriteScratchFile("mode2_truncated.trie", image.substr(0, image.size() - 5));
  run = RunMode2(m_text, m_list, truncated);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.printed, "Load " + truncated + " Error!\n"));
}

TEST_F(WordListModeTest, FailuresOfTheListNameTheirFile) {
  tModeRun run = RunMode2(WriteScratchFile("mode2_none.txt", "zz\n"), m_list, m_trie);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.printed, "Error Load " + ScratchPath("mode2_none.txt") + "\n"));
  std::string unwritable = ScratchPath("no-such-directory/out.words");
  run = RunMode2(m_text, unwritable, m_trie);
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_TRUE(Contains(run.printed, "Error Save " + unwritable + "\n"));
}

}  // namespace
