#include "core/text/word_list.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "core/text/pdat.h"
#include "testing/trie_test_files.h"

namespace {

class WordListTest : public testing::Test {
 protected:
  // Builds the trie from dictionary text, then the list from word-list text; returns the
  // number of stored words and keeps what the build printed.
  int Build(const std::string& dictionary, const std::string& wordListText) {
    std::string dictionaryPath = WriteScratchFile("words_dictionary.txt", dictionary);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    m_trie.BuildFromText(dictionaryPath.c_str());
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    std::string textPath = WriteScratchFile("word_list.txt", wordListText);
    testing::internal::CaptureStdout();
    int count = m_list.BuildFromText(textPath.c_str(), m_trie);
    m_printed = testing::internal::GetCapturedStdout();
    return count;
  }
  std::string Saved(const CWordList& list) {
    std::string path = ScratchPath("saved.words");
    return list.Save(path.c_str()) ? ReadFileBytes(path) : "";
  }
  bool LoadImage(CWordList* list, const std::string& image) {
    return list->Load(WriteScratchFile("loaded.words", image).c_str());
  }
  static int32_t I32At(const std::string& image, size_t offset) {
    int32_t value;
    std::memcpy(&value, image.data() + offset, 4);
    return value;
  }
  static void PutI32At(std::string* image, size_t offset, int32_t value) {
    std::memcpy(&(*image)[offset], &value, 4);
  }

  CPDAT m_trie;
  CWordList m_list;
  std::string m_printed;
};

TEST_F(WordListTest, StoresWordsInInputOrderAndMapsNumbersToThem) {
  ASSERT_EQ(Build("ab\n中国\n中国人\n", "ab\n中国\n中国人\n"), 3);
  std::string image = Saved(m_list);
  int32_t tableSize = I32At(image, 4);
  EXPECT_EQ(tableSize, m_trie.GetMaxIndex());
  size_t textLengthOffset = 8 + 4 * (static_cast<size_t>(tableSize) + 1);
  EXPECT_EQ(I32At(image, textLengthOffset), 15);
  EXPECT_EQ(I32At(image, 8 + 4 * 0), 0);
  EXPECT_EQ(I32At(image, 8 + 4 * 1), 3);
  EXPECT_EQ(I32At(image, 8 + 4 * 2), 8);
  EXPECT_EQ(image.size(), textLengthOffset + 4 + 15);
  EXPECT_STREQ(m_list.GetWord(1), "中国");
  EXPECT_STREQ(m_list.GetWord(2), "中国人");
}

TEST_F(WordListTest, PrintsEveryLineAndSkipsWordsOutsideTheTrie) {
  ASSERT_EQ(Build("ab\ncd\n", "zz\n\ncd 5 n\nab\n"), 2);
  EXPECT_EQ(m_printed, "Line 1:zz\nLine 3:cd\nLine 4:ab\n");
  EXPECT_EQ(m_list.GetWordCount(), 2);
  EXPECT_STREQ(m_list.GetWord(0), "ab");
  EXPECT_STREQ(m_list.GetWord(1), "cd");
}

TEST_F(WordListTest, NumbersOutsideTheRangeGiveNoneAndUnusedOnesTheFirstWord) {
  ASSERT_EQ(Build("ab\ncd\nef\n", "cd\n"), 1);
  int tableSize = m_list.GetTableSize();
  EXPECT_EQ(m_list.GetWord(-1), nullptr);
  EXPECT_EQ(m_list.GetWord(tableSize), nullptr);
  EXPECT_EQ(m_list.GetWord(INT_MAX), nullptr);
  EXPECT_STREQ(m_list.GetWord(0), "cd");  // no stored word carries 0: offset 0
  EXPECT_STREQ(m_list.GetWord(tableSize - 1), "cd");
}

TEST_F(WordListTest, RepeatedDictionaryLinesStillFitTheTable) {
  // Five lines "ab": the highest cell index is 2 but the word number is 4.
  ASSERT_EQ(Build("ab\nab\nab\nab\nab\n", "ab\n"), 1);
  ASSERT_EQ(m_trie.GetMaxIndex(), 2);
  EXPECT_EQ(m_list.GetTableSize(), 5);
  EXPECT_STREQ(m_list.GetWord(4), "ab");
  CWordList loaded;
  ASSERT_TRUE(LoadImage(&loaded, Saved(m_list)));
  EXPECT_STREQ(loaded.GetWord(4), "ab");
}

TEST_F(WordListTest, AWordStoredTwicePointsAtItsLaterCopy) {
  ASSERT_EQ(Build("ab\ncd\n", "ab\ncd\nab\n"), 3);
  std::string image = Saved(m_list);
  EXPECT_EQ(I32At(image, 8), 6);  // "ab\0cd\0ab\0": the second copy starts at 6
}

TEST_F(WordListTest, NothingStoredGivesZero) {
  EXPECT_EQ(Build("ab\n", "zz\nyy\n"), 0);
  EXPECT_EQ(m_list.GetWord(0), nullptr);
  CWordList list;
  EXPECT_EQ(list.BuildFromText(ScratchPath("missing.txt").c_str(), m_trie), 0);
  // An empty list still saves and loads, and yields no text.
  CWordList loaded;
  ASSERT_TRUE(LoadImage(&loaded, Saved(m_list)));
  EXPECT_EQ(loaded.GetWord(0), nullptr);
}

TEST_F(WordListTest, RoundTripAndDamagedFiles) {
  ASSERT_EQ(Build("ab\n中国\nxyz\n", "xyz\nab\n中国\n"), 3);
  std::string image = Saved(m_list);
  CWordList loaded;
  ASSERT_TRUE(LoadImage(&loaded, image));
  EXPECT_EQ(loaded.GetWordCount(), 3);
  EXPECT_STREQ(loaded.GetWord(1), "中国");
  EXPECT_EQ(Saved(loaded), image);

  const size_t tableSize = static_cast<size_t>(I32At(image, 4));
  const size_t lengthOffset = 8 + 4 * (tableSize + 1);
  std::vector<std::pair<const char*, std::string>> damaged;
  damaged.push_back({"truncated text", image.substr(0, image.size() - 1)});
  damaged.push_back({"truncated table", image.substr(0, 12)});
  damaged.push_back({"trailing byte", image + "x"});
  damaged.push_back({"empty", ""});
  std::string bad = image;
  PutI32At(&bad, 4, -1);
  damaged.push_back({"negative table size", bad});
  bad = image;
  PutI32At(&bad, 4, INT_MAX);
  damaged.push_back({"huge table size", bad});
  bad = image;
  PutI32At(&bad, 0, 1000);
  damaged.push_back({"more words than text", bad});
  bad = image;
  PutI32At(&bad, 0, -3);
  damaged.push_back({"negative word count", bad});
  bad = image;
  PutI32At(&bad, 8 + 4, I32At(image, lengthOffset));  // at the text length: outside
  damaged.push_back({"offset past the text", bad});
  bad = image;
  PutI32At(&bad, 8, -4);
  damaged.push_back({"negative offset", bad});
  bad = image;
  bad[bad.size() - 1] = 'x';
  damaged.push_back({"text without a final NUL", bad});
  bad = image;
  PutI32At(&bad, lengthOffset, INT_MAX);
  damaged.push_back({"huge text length", bad});
  for (const auto& entry : damaged) {
    SCOPED_TRACE(entry.first);
    EXPECT_FALSE(LoadImage(&loaded, entry.second));
    EXPECT_STREQ(loaded.GetWord(1), "中国");  // unchanged
  }
  EXPECT_FALSE(loaded.Load(ScratchPath("missing.words").c_str()));
}

}  // namespace
