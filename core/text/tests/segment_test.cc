#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/text/pdat.h"
#include "testing/reference_segment.h"
#include "testing/reference_trie.h"
#include "testing/trie_test_files.h"

namespace {

std::string Load(CPDAT* trie, const std::string& dictionary) {
  std::string path = WriteScratchFile("segment_dictionary.txt", dictionary);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  trie->BuildFromText(path.c_str());
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return path;
}

// "token/token/..." and the word numbers of one Segment call.
struct tCut {
  std::string tokens;
  std::vector<int32_t> ids;
};

tCut Cut(const CPDAT& trie, const std::string& text) {
  std::vector<int32_t> ids;
  std::vector<char> tokens;
  int count = trie.Segment(text.c_str(), &ids, &tokens);
  tCut cut;
  cut.tokens = tokens.data();
  for (char& byte : cut.tokens) {
    if (byte == '\t') byte = '/';
  }
  cut.ids.assign(ids.begin(), ids.begin() + count);
  return cut;
}

TEST(Segment, CutsByLongestDictionaryWords) {
  CPDAT trie;
  // Word numbers: 中国 0, 中国人民 1, 人民 2, ab 3, c# 4, 中华人民 5.
  Load(&trie, "中国\n中国人民\n人民\nab\nc#\n中华人民\n");
  struct {
    const char* text;
    const char* tokens;
    std::vector<int32_t> ids;
  } cases[] = {
      {"中国人民", "中国人民/", {1}},
      {"中国人", "中国/人/", {0}},
      {"人民中国", "人民/中国/", {2, 0}},
      {"abc def", "ab/c/ /def/", {3}},  // c starts a word but is none
      {"ab ab", "ab/ /ab/", {3, 3}},
      {"c#", "c#/", {4}},
      {"c-x", "c/-/x/", {}},             // c starts a word but is none
      {"中华人", "中/华/人/", {}},       // the continuation fails after 中华
      {"中国万岁", "中国/万/岁/", {0}},  // a character outside the dictionary
      {"中国人万", "中国/人/万/", {0}},
      {"xyz-中国", "xyz/-/中国/", {0}},
      {"中\xB0", "中/\xB0/", {}},  // lone lead byte at the end
      {"", "", {}},
      {"中国人民中国人民中国", "中国人民/中国人民/中国/", {1, 1, 0}},
  };
  for (const auto& test : cases) {
    tCut cut = Cut(trie, test.text);
    EXPECT_EQ(cut.tokens, test.tokens) << test.text;
    EXPECT_EQ(cut.ids, test.ids) << test.text;
  }
}

TEST(Segment, WithoutAsciiWordsRunsStopAtSeparators) {
  CPDAT trie;
  Load(&trie, "中国\n");
  tCut cut = Cut(trie, "abc def");
  EXPECT_EQ(cut.tokens, "abc/ /def/");
  EXPECT_TRUE(cut.ids.empty());
  EXPECT_EQ(Cut(trie, "a_b(c)~d").tokens, "a/_/b/(/c/)/~/d/");
}

TEST(Segment, GrowsBuffersOnlyUpAndWorksWithoutTokenText) {
  CPDAT trie;
  Load(&trie, "ab\n");
  std::vector<int32_t> ids;
  std::vector<char> tokens;
  std::string text = "ab ab ab";
  EXPECT_EQ(trie.Segment(text.c_str(), &ids, &tokens), 3);
  EXPECT_GE(ids.size(), text.size() + 2);
  EXPECT_GE(tokens.size(), 2 * text.size() + 1);
  std::vector<int32_t> bigIds(1000, 7);
  std::vector<char> bigTokens(1000, 'x');
  EXPECT_EQ(trie.Segment("ab", &bigIds, &bigTokens), 1);
  EXPECT_EQ(bigIds.size(), 1000u);
  EXPECT_EQ(bigTokens.size(), 1000u);
  EXPECT_EQ(bigIds[0], 0);
  EXPECT_EQ(std::string(bigTokens.data()), "ab\t");
  std::vector<int32_t> onlyIds;
  EXPECT_EQ(trie.Segment(text.c_str(), &onlyIds, nullptr), 3);
  EXPECT_EQ(trie.Segment(text.c_str(), nullptr, nullptr), 3);
  // A text of nothing but one-byte separators needs the full 2L + 1 bytes.
  std::string separators(50, '-');
  EXPECT_EQ(trie.Segment(separators.c_str(), &ids, &tokens), 0);
  EXPECT_EQ(std::string(tokens.data()).size(), 100u);
}

TEST(Segment, ManyThreadsShareOneTrie) {
  CPDAT trie;
  Load(&trie, "中国\n中国人民\n人民\n");
  std::string text;
  for (int repeat = 0; repeat < 200; ++repeat) text += "中国人民 人民中国 中国人 ";
  tCut expected = Cut(trie, text);
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&, thread] {
      for (int round = 0; round < 50; ++round) {
        if (Cut(trie, text).ids != expected.ids) ++mismatches[static_cast<size_t>(thread)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// Random texts over a small random dictionary, against the naive longest match.
TEST(Segment, AgreesWithTheNaiveLongestMatch) {
  static const char* const kPieces[] = {"a",        "b",        "c",        " ",
                                        "-",        "#",        "\xB0\xA1", "\xB0\xA2",
                                        "\xB0\xA3", "\xD6\xD0", "\xC8\xCB", "\xC8"};
  std::mt19937 random(2024);
  std::uniform_int_distribution<int> piece(0, sizeof kPieces / sizeof kPieces[0] - 1);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    std::string dictionary;
    int words = 1 + static_cast<int>(random() % 25);
    for (int index = 0; index < words; ++index) {
      std::string word;
      int length = 1 + static_cast<int>(random() % 4);
      for (int count = 0; count < length; ++count) {
        std::string next = kPieces[piece(random)];
        if (next != " ") word += next;
      }
      if (!word.empty()) dictionary += word + "\n";
    }
    CPDAT trie;
    std::string path = Load(&trie, dictionary);
    std::map<std::string, int> model = ReferenceDictionary(path.c_str());
    for (int text = 0; text < 30; ++text) {
      std::string sample;
      int length = static_cast<int>(random() % 30);
      for (int count = 0; count < length; ++count) sample += kPieces[piece(random)];
      tReferenceSegments expected = ReferenceSegment(model, sample);
      std::vector<int32_t> ids;
      std::vector<char> tokens;
      int count = trie.Segment(sample.c_str(), &ids, &tokens);
      ASSERT_EQ(std::string(tokens.data()), expected.tokens) << sample;
      ASSERT_EQ(std::vector<int32_t>(ids.begin(), ids.begin() + count), expected.ids) << sample;
    }
  }
}

}  // namespace
