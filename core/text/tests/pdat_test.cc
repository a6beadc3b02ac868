#include "core/text/pdat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/text/pdat_free_cells.h"
#include "core/util/byte_io.h"
#include "testing/reference_trie.h"
#include "testing/trie_test_files.h"

namespace {

const std::string kX = "\xB0\xA1";  // two GBK characters used throughout
const std::string kY = "\xB0\xA2";

// Builds a trie from dictionary text; the progress printed goes to *progress when given.
// Warnings on standard error go to *warnings when given.
int Build(CPDAT* trie, const std::string& dictionary, std::string* progress = nullptr,
          const CPDAT* exclusion = nullptr, std::string* warnings = nullptr) {
  std::string path = WriteScratchFile("dictionary.txt", dictionary);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int count = trie->BuildFromText(path.c_str(), exclusion);
  std::string printed = testing::internal::GetCapturedStdout();
  std::string errors = testing::internal::GetCapturedStderr();
  if (progress != nullptr) *progress = printed;
  if (warnings != nullptr) *warnings = errors;
  return count;
}

std::string SavedImage(const CPDAT& trie) {
  std::string path = ScratchPath("saved.trie");
  if (!trie.Save(path.c_str())) return "";
  return ReadFileBytes(path);
}

TEST(PdatBuild, TwoWordExampleGivesTheDocumentedCells) {
  CPDAT trie;
  ASSERT_EQ(Build(&trie, kX + "\n" + kX + kY + "\n"), 2);
  EXPECT_EQ(trie.GetCodeTable()[0xB0A1], 0);
  EXPECT_EQ(trie.GetCodeTable()[0xB0A2], 1);
  ASSERT_EQ(trie.GetMaxIndex(), 2);
  const auto& cells = trie.GetCells();
  EXPECT_EQ(cells[0].base, -1);  // word end with children at base 1
  EXPECT_EQ(cells[0].check, -2);
  EXPECT_EQ(cells[0].value, 0);
  EXPECT_EQ(cells[2].base, -2);  // leaf
  EXPECT_EQ(cells[2].check, 0);
  EXPECT_EQ(cells[2].value, 1);
  EXPECT_EQ(SavedImage(trie).size(), 262144u + 8 + 3 * 12);
  EXPECT_EQ(trie.LookupString(kX.c_str()), 0);
  EXPECT_EQ(trie.LookupString((kX + kY).c_str()), 1);
}

TEST(PdatBuild, LeafInCellZeroStaysFindable) {
  // X is the most frequent character, a word of its own and the start of no longer word.
  CPDAT trie;
  ASSERT_EQ(Build(&trie, kX + "\na" + kX + "\nb" + kX + "\n"), 3);
  ASSERT_EQ(trie.GetCodeTable()[0xB0A1], 0);
  EXPECT_EQ(trie.GetCells()[0].check, -2);
  EXPECT_EQ(trie.GetCells()[0].base, -1);
  EXPECT_EQ(trie.LookupString(kX.c_str()), 0);
  EXPECT_EQ(trie.LookupString(("a" + kX).c_str()), 1);
  std::vector<int32_t> ids;
  std::vector<char> tokens;
  ASSERT_EQ(trie.Segment((kX + "b" + kX + kX).c_str(), &ids, &tokens), 3);
  EXPECT_EQ(std::vector<int32_t>(ids.begin(), ids.begin() + 3), (std::vector<int32_t>{0, 2, 0}));
  EXPECT_EQ(std::string(tokens.data()), kX + "\tb" + kX + "\t" + kX + "\t");
}

TEST(PdatBuild, LeafInCellZeroWrittenAsBaseZeroLoadsAsALeaf) {
  CPDAT trie;
  ASSERT_EQ(Build(&trie, kX + "\na" + kX + "\nb" + kX + "\n"), 3);
  std::string image = SavedImage(trie);
  int32_t zero = 0;
  std::memcpy(&image[262152], &zero, 4);  // cell 0's leaf as minus its own index
  CPDAT loaded;
  ASSERT_TRUE(loaded.Load(WriteScratchFile("leaf_base_zero.trie", image).c_str()));
  EXPECT_EQ(loaded.LookupString(kX.c_str()), 0);
  EXPECT_EQ(loaded.LookupString(("b" + kX).c_str()), 2);
}

TEST(PdatBuild, WordsAndTheirPrefixesAreBothFound) {
  CPDAT trie;
  ASSERT_EQ(Build(&trie, "中国\n中国人民\n人民\n"), 3);
  EXPECT_EQ(trie.LookupString("中国"), 0);
  EXPECT_EQ(trie.LookupString("中国人民"), 1);
  EXPECT_EQ(trie.LookupString("中国人"), -1);
  EXPECT_EQ(trie.LookupString("中"), -1);
}

TEST(PdatBuild, LoneLeadByteAtTheEndIsACharacterOfItsOwn) {
  CPDAT trie;
  ASSERT_EQ(Build(&trie, "a\xB0\n"), 1);
  EXPECT_EQ(trie.LookupString("a\xB0"), 0);
  EXPECT_EQ(trie.LookupString("a\xB0\xA1"), -1);  // here 0xB0 starts a two-byte character
  EXPECT_EQ(trie.LookupWord("a\xB0\xA1", 2), 0);
}

TEST(PdatBuild, LineRules) {
  struct {
    const char* name;
    std::string dictionary;
    int count;
    std::vector<std::pair<std::string, int>> lookups;
  } cases[] = {
      {"repeated word keeps its later number", "ab\nab\nab\nab\nab\n", 5, {{"ab", 4}, {"a", -1}}},
      {"blank and white-space lines take no number",
       "\n  \t\nx 12 n\n\r\n  y\n",
       2,
       {{"x", 0}, {"y", 1}, {"12", -1}}},
      {"a line longer than 3071 bytes is read in pieces",
       std::string(4000, 'q') + "\nz\n",
       3,
       {{std::string(3071, 'q'), 0}, {std::string(929, 'q'), 1}, {"z", 2}}},
      {"a NUL ends the line's word", std::string("ab\0cd\nx\n", 8), 2, {{"ab", 0}, {"x", 1}}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    CPDAT trie;
    EXPECT_EQ(Build(&trie, test.dictionary), test.count);
    EXPECT_EQ(trie.GetWordCount(), test.count);
    for (const auto& lookup : test.lookups) {
      EXPECT_EQ(trie.LookupString(lookup.first.c_str()), lookup.second) << lookup.first;
    }
  }
  CPDAT repeated;
  Build(&repeated, "ab\nab\nab\nab\nab\n");
  EXPECT_EQ(repeated.GetMaxIndex(), 2);  // word number 4 lies above N
}

TEST(PdatBuild, ExcludedWordsAreNeitherNumberedNorCounted) {
  CPDAT exclusion;
  ASSERT_EQ(Build(&exclusion, "b\n"), 1);
  CPDAT trie;
  ASSERT_EQ(Build(&trie, "a\nb\nc\n", nullptr, &exclusion), 2);
  EXPECT_EQ(trie.LookupString("a"), 0);
  EXPECT_EQ(trie.LookupString("b"), -1);
  EXPECT_EQ(trie.LookupString("c"), 1);
}

TEST(PdatBuild, NoWordsGivesZero) {
  CPDAT trie;
  EXPECT_EQ(trie.BuildFromText(ScratchPath("missing.txt").c_str()), 0);
  EXPECT_EQ(Build(&trie, ""), 0);
  EXPECT_EQ(Build(&trie, " \n\n\t\n"), 0);
  EXPECT_EQ(trie.LookupString("a"), -1);
}

TEST(PdatBuild, PrintsOneLinePerWordAndWarnsAboutWordsNormalisedTextHoldsOnlyInPart) {
  CPDAT trie;
  std::string progress;
  std::string warnings;
  Build(&trie, "ab\nAB\n\xA3\xC1x\nc\n", &progress, nullptr, &warnings);
  EXPECT_EQ(progress.substr(0, 17), "1\tab Completed!\n2");
  EXPECT_NE(progress.find("4\tc Completed!\n"), std::string::npos);
  EXPECT_NE(warnings.find("\"AB\" matches only text that writes its capitals full-width"),
            std::string::npos);
  EXPECT_NE(warnings.find("\"\xA3\xC1x\" never matches"), std::string::npos);
  EXPECT_EQ(warnings.find("\"ab\""), std::string::npos);
  EXPECT_EQ(warnings.find("\"c\""), std::string::npos);
  EXPECT_EQ(trie.LookupString("AB"), 1);  // kept as written
}

TEST(PdatLookup, UnbuiltTrieAndEmptyKeysFindNothing) {
  CPDAT trie;
  EXPECT_EQ(trie.LookupString("a"), -1);
  EXPECT_EQ(trie.LookupString(""), -1);
  EXPECT_EQ(trie.LookupWord("a", 0), -1);
  CPDAT built;
  Build(&built, "a\n");
  EXPECT_EQ(built.LookupString(""), -1);
  EXPECT_EQ(built.LookupWord(nullptr, 3), -1);
}

// Random dictionaries: shared prefixes, repeats, one- and two-byte characters, a lone lead
// byte at a word's end, trailing columns, blank lines.
std::string RandomDictionary(std::mt19937* random, int words, std::vector<std::string>* list) {
  static const char* const kPieces[] = {"a",        "b",        "c",        "d",        "e",
                                        "z",        "A",        "#",        "\xB0\xA1", "\xB0\xA2",
                                        "\xB0\xA3", "\xD6\xD0", "\xB9\xFA", "\xC8\xCB", "\xA3\xC1"};
  std::uniform_int_distribution<int> piece(0, sizeof kPieces / sizeof kPieces[0] - 1);
  std::uniform_int_distribution<int> percent(0, 99);
  std::string text;
  for (int index = 0; index < words; ++index) {
    std::string word;
    if (!list->empty() && percent(*random) < 40) {
      const std::string& earlier =
          (*list)[static_cast<size_t>(random->operator()() % list->size())];
      if (percent(*random) < 30) {
        word = earlier;  // repeated
      } else {
        word = earlier.substr(0, earlier.size() - 1 < 1 ? 1 : earlier.size() - 1);
      }
    }
    int extra = 1 + percent(*random) % 4;
    for (int count = 0; count < extra; ++count) word += kPieces[piece(*random)];
    if (percent(*random) < 3) word += "\xC8";  // a lone lead byte at the end
    list->push_back(word);
    if (percent(*random) < 5) text += "\n";
    text +=
        (percent(*random) < 10 ? " " : "") + word + (percent(*random) < 30 ? " 3 n" : "") + "\n";
  }
  return text;
}

TEST(PdatBuild, MatchesTheLiteralBuildByteForByte) {
  std::mt19937 random(301);
  int skippedOwnCells = 0;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    int size = 1 + static_cast<int>(random() % (round % 10 == 0 ? 1500 : 60));
    std::vector<std::string> list;
    std::string dictionary = RandomDictionary(&random, size, &list);
    CPDAT exclusion;
    bool excluding = round % 4 == 3;
    if (excluding) Build(&exclusion, list[0] + "\n" + list[list.size() / 2] + "\n");
    std::string path = WriteScratchFile("dictionary.txt", dictionary);
    tReferenceTrie expected = ReferenceBuildTrie(path.c_str(), excluding ? &exclusion : nullptr);
    skippedOwnCells += expected.skippedOwnCells;

    CPDAT trie;
    std::string progress;
    int count = Build(&trie, dictionary, &progress, excluding ? &exclusion : nullptr);
    ASSERT_EQ(count, expected.wordCount);
    ASSERT_EQ(progress, expected.progress);
    std::string image = SavedImage(trie);
    ASSERT_EQ(image.size(), expected.image.size());
    ASSERT_TRUE(image == expected.image);

    int acceptedLines = 0;
    std::map<std::string, int> words =
        ReferenceDictionary(path.c_str(), excluding ? &exclusion : nullptr, &acceptedLines);
    ASSERT_EQ(acceptedLines, count);
    for (const auto& entry : words) {
      ASSERT_EQ(trie.LookupString(entry.first.c_str()), entry.second) << entry.first;
    }
    for (const std::string& candidate : list) {
      std::string longer = candidate + "\xB0\xA1";
      int expectedWord = words.count(longer) != 0 ? words[longer] : -1;
      ASSERT_EQ(trie.LookupString(longer.c_str()), expectedWord);
    }
  }
  EXPECT_GT(skippedOwnCells, 0);  // the rounds reached the word end's own-cell rule
}

TEST(PdatBuild, LargeDictionaryReportsEveryHundredthPass) {
  std::mt19937 random(7);
  std::vector<std::string> list;
  std::string dictionary = RandomDictionary(&random, 3000, &list);
  std::string path = WriteScratchFile("dictionary.txt", dictionary);
  tReferenceTrie expected = ReferenceBuildTrie(path.c_str());
  ASSERT_NE(expected.progress.find("Line 100:Selected Node="), std::string::npos);
  CPDAT trie;
  std::string progress;
  Build(&trie, dictionary, &progress);
  EXPECT_TRUE(progress == expected.progress);
  EXPECT_TRUE(SavedImage(trie) == expected.image);
}

TEST(PdatBuild, MatchesTheLiteralBuildOnTheRealDictionaryHead) {
  const char* source = std::getenv("TRINDLE_SOURCE_DIR");
  std::string dictionary =
      ReadFileBytes(std::string(source != nullptr ? source : ".") + "/data/dict.gbk.txt");
  if (dictionary.empty()) GTEST_SKIP() << "no data/dict.gbk.txt (scripts/prepare_data.sh)";
  size_t end = 0;
  for (int line = 0; line < 5000 && end != std::string::npos; ++line) {
    end = dictionary.find('\n', end + 1);
  }
  std::string head = dictionary.substr(0, end == std::string::npos ? end : end + 1);
  tReferenceTrie expected = ReferenceBuildTrie(WriteScratchFile("head.txt", head).c_str());
  CPDAT trie;
  std::string progress;
  Build(&trie, head, &progress);
  EXPECT_TRUE(progress == expected.progress);
  EXPECT_TRUE(SavedImage(trie) == expected.image);
}

// Both forms of the block search (the portable one and the wide one where the processor
// has it) against a plain first fit: the first h >= start with h + d free for every d.
TEST(PdatFreeCells, BlockSearchFindsTheFirstFitInBothForms) {
  for (bool portable : {false, true}) {
    SCOPED_TRACE(portable ? "portable" : "wide");
    CFreeCells::ForcePortableSearch(portable);
    std::mt19937 random(portable ? 11 : 12);
    for (int round = 0; round < 200; ++round) {
      SCOPED_TRACE(round);
      const int size = 64 + static_cast<int>(random() % 3000);
      CFreeCells cells;
      cells.Grow(static_cast<size_t>(size));
      // Dense at the front, sparse further on, so that fits come late and blocks jump.
      std::vector<bool> used(static_cast<size_t>(size), false);
      const int dense = static_cast<int>(random() % static_cast<unsigned>(size));
      for (int cell = 0; cell < size; ++cell) {
        unsigned percent = random() % 100;
        if (percent < (cell < dense ? 97u : 30u)) {
          used[static_cast<size_t>(cell)] = true;
          cells.Use(cell);
        }
      }
      std::vector<int32_t> distances;
      const int children = static_cast<int>(random() % 9);
      for (int child = 0; child < children; ++child) {
        distances.push_back(1 + static_cast<int32_t>(random() % (round % 5 == 0 ? 60000 : 700)));
      }
      const int64_t start = static_cast<int64_t>(random() % static_cast<unsigned>(size));
      auto isFree = [&](int64_t cell) { return cell >= size || !used[static_cast<size_t>(cell)]; };
      int64_t expected = start;
      for (;; ++expected) {
        bool fits = isFree(expected);
        for (int32_t distance : distances) fits = fits && isFree(expected + distance);
        if (fits) break;
      }
      std::vector<const uint8_t*> rows;
      for (int32_t distance : distances) rows.push_back(cells.Row(distance));
      int64_t position = start & ~int64_t{7};
      uint64_t fits[4] = {0, 0, 0, 0};
      int64_t block = cells.FindBlock(cells.Row(0), rows.data(), rows.size(), position,
                                      ~uint64_t{0} << (start & 7), fits);
      int64_t found = -1;
      for (int word = 0; word < 4 && found < 0; ++word) {
        if (fits[word] != 0) found = block + 64 * word + __builtin_ctzll(fits[word]);
      }
      ASSERT_EQ(block % 8, 0);
      ASSERT_EQ(found, expected);
    }
  }
  CFreeCells::ForcePortableSearch(false);
}

// The portable block search gives the same trie, byte for byte, as the literal build.
TEST(PdatBuild, PortableBaseSearchMatchesTheLiteralBuild) {
  CFreeCells::ForcePortableSearch(true);
  std::mt19937 random(41);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::string> list;
    std::string dictionary = RandomDictionary(&random, round == 0 ? 3000 : 300, &list);
    tReferenceTrie expected =
        ReferenceBuildTrie(WriteScratchFile("dictionary.txt", dictionary).c_str());
    CPDAT trie;
    std::string progress;
    Build(&trie, dictionary, &progress);
    EXPECT_TRUE(progress == expected.progress);
    EXPECT_TRUE(SavedImage(trie) == expected.image);
  }
  CFreeCells::ForcePortableSearch(false);
}

class PdatFileTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Build(&m_trie, "中国\n中国人民\n人民\nab\n"), 4);
    m_image = SavedImage(m_trie);
    ASSERT_FALSE(m_image.empty());
  }
  bool LoadImage(CPDAT* trie, const std::string& image) {
    return trie->Load(WriteScratchFile("loaded.trie", image).c_str());
  }
  void PutI32At(std::string* image, size_t offset, int32_t value) {
    std::memcpy(&(*image)[offset], &value, 4);
  }
  CPDAT m_trie;
  std::string m_image;
};

TEST_F(PdatFileTest, RoundTripKeepsEveryWordAndByte) {
  CPDAT loaded;
  ASSERT_TRUE(LoadImage(&loaded, m_image));
  EXPECT_EQ(loaded.GetMaxIndex(), m_trie.GetMaxIndex());
  EXPECT_EQ(loaded.GetWordCount(), 4);
  EXPECT_EQ(loaded.LookupString("中国人民"), 1);
  EXPECT_EQ(loaded.LookupString("ab"), 3);
  EXPECT_TRUE(SavedImage(loaded) == m_image);
  CPDAT empty;
  ASSERT_TRUE(LoadImage(&empty, SavedImage(CPDAT())));
  EXPECT_EQ(empty.LookupString("ab"), -1);
}

TEST_F(PdatFileTest, DamagedFilesAreRefusedAndLeaveTheTrieAsItWas) {
  const size_t countOffset = 262144;
  std::vector<std::pair<const char*, std::string>> damaged;
  damaged.push_back({"truncated by one byte", m_image.substr(0, m_image.size() - 1)});
  damaged.push_back({"one byte too many", m_image + "x"});
  damaged.push_back({"header only", m_image.substr(0, countOffset + 8)});
  damaged.push_back({"empty", ""});
  std::string image = m_image;
  PutI32At(&image, countOffset, -1);
  damaged.push_back({"negative N", image});
  image = m_image;
  PutI32At(&image, countOffset, INT_MAX);
  damaged.push_back({"huge N", image});
  image = m_image;
  PutI32At(&image, countOffset + 4, 1000000);
  damaged.push_back({"word count without words", image});
  image = m_image;
  PutI32At(&image, countOffset + 8 + 8, -7);
  damaged.push_back({"value below -1", image});
  image = m_image;
  int freeCell = 0;
  while (freeCell <= m_trie.GetMaxIndex() &&
         m_trie.GetCells()[static_cast<size_t>(freeCell)].check != -1) {
    ++freeCell;
  }
  ASSERT_LE(freeCell, m_trie.GetMaxIndex());
  PutI32At(&image, countOffset + 8 + 12 * static_cast<size_t>(freeCell) + 8, 3);
  damaged.push_back({"word number on a free cell", image});

  CPDAT trie;
  ASSERT_TRUE(LoadImage(&trie, m_image));
  for (const auto& entry : damaged) {
    SCOPED_TRACE(entry.first);
    EXPECT_FALSE(LoadImage(&trie, entry.second));
    EXPECT_EQ(trie.LookupString("人民"), 2);
  }
  EXPECT_FALSE(trie.Load(ScratchPath("no-such.trie").c_str()));
}

TEST_F(PdatFileTest, HostileCodesAndBasesNeverReadOutsideTheCells) {
  std::string image = m_image;
  const int32_t hostile[] = {INT_MAX, INT_MIN, -2, -1000000, 1 << 30};
  int next = 0;
  for (int value = 0; value < 65536; value += 7) PutI32At(&image, 4 * value, hostile[next++ % 5]);
  for (int cell = 0; cell <= m_trie.GetMaxIndex(); cell += 2) {
    PutI32At(&image, 262152 + 12 * static_cast<size_t>(cell), cell % 4 == 0 ? INT_MIN : INT_MAX);
  }
  CPDAT trie;
  ASSERT_TRUE(LoadImage(&trie, image));
  std::string text;
  for (int value = 1; value < 256; ++value) text += static_cast<char>(value);
  text += "中国人民人民ab中国";
  std::vector<int32_t> ids;
  std::vector<char> tokens;
  for (size_t start = 0; start < text.size(); ++start) {
    const char* key = text.c_str() + start;
    trie.LookupString(key);
    trie.Segment(key, &ids, &tokens);
  }
  CPDAT hostileKeys;
  ASSERT_TRUE(LoadImage(&hostileKeys, m_image));
  EXPECT_EQ(hostileKeys.LookupString(text.c_str()), -1);
}

// Tables of the index and the word list are sized by the word count: a file must back it
// with cells. A count past N + 1 is refused however consistent the cells look.
TEST_F(PdatFileTest, WordCountsTheCellsDoNotBackAreRefused) {
  auto oneCellImage = [](int32_t check, int32_t value, int32_t count) {
    std::string image(262144, '\xFF');  // every code -1
    PutI32(&image, 0);                  // N
    PutI32(&image, count);
    PutI32(&image, -1);
    PutI32(&image, check);
    PutI32(&image, value);
    return image;
  };
  struct Case {
    const char* name;
    std::string image;
    bool loads;
  } const cases[] = {
      {"free cell 0 with word 2^31 - 2", oneCellImage(-1, 0x7FFFFFFE, 0x7FFFFFFF), false},
      {"root child cell 0 with word 2^31 - 2", oneCellImage(-2, 0x7FFFFFFE, 0x7FFFFFFF), false},
      {"root child cell 0 with word 1", oneCellImage(-2, 1, 2), false},
      {"root child cell 0 with word 0", oneCellImage(-2, 0, 1), true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ASSERT_EQ(test.image.size(), 262164u);
    CPDAT trie;
    EXPECT_EQ(LoadImage(&trie, test.image), test.loads);
    EXPECT_LE(trie.GetWordCount(), trie.GetMaxIndex() + 1);
  }
}

TEST_F(PdatFileTest, RepeatedLinesSaveCellsForEveryWordNumber) {
  CPDAT built;
  ASSERT_EQ(Build(&built, "ab\nab\ncd\nab\nab\nab\n"), 6);
  ASSERT_LT(built.GetMaxIndex() + 1, 6);  // numbers past the highest cell in use
  std::string image = SavedImage(built);
  CPDAT loaded;
  ASSERT_TRUE(LoadImage(&loaded, image));
  EXPECT_EQ(loaded.GetWordCount(), 6);
  EXPECT_EQ(loaded.GetMaxIndex(), 5);
  EXPECT_EQ(image.size(), 262152u + 12 * 6);
  EXPECT_EQ(loaded.LookupString("ab"), 5);
  EXPECT_EQ(loaded.LookupString("cd"), 2);
  EXPECT_EQ(loaded.LookupString("a"), -1);
  EXPECT_TRUE(SavedImage(loaded) == image);  // saving again changes nothing
}

}  // namespace
