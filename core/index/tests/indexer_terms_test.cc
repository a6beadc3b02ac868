// Tests of CIndexer::AddTerms: one segmentation feeding several indexes must give the index
// files AddText gives, and its refusals must match AddText's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/index/indexer.h"
#include "core/index/indexer_control.h"
#include "core/text/pdat.h"
#include "testing/file_image.h"

namespace {

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "上海"};
enum { kChina, kPeople, kBeijing, kCollege, kStudent, kShanghai };

class IndexerTermsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/indexer_terms_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
    std::string dictionary = Path("dict.txt");
    FILE* file = std::fopen(dictionary.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (const std::string& word : kWords) std::fprintf(file, "%s 1 n\n", word.c_str());
    std::fclose(file);
    testing::internal::CaptureStdout();
    ASSERT_EQ(m_trie.BuildFromText(dictionary.c_str()), static_cast<int>(kWords.size()));
    testing::internal::GetCapturedStdout();
  }
  void TearDown() override { std::system(("rm -rf " + m_dir).c_str()); }

  std::string Path(const std::string& name) const { return m_dir + "/" + name; }

  std::string SavedBytes(CIndexerControl* control, const std::string& name) {
    EXPECT_TRUE(control->Save(Path(name).c_str()));
    CFileImage image;
    EXPECT_TRUE(image.Read(Path(name)));
    return std::string(image.data(), image.size());
  }

  std::string m_dir;
  CPDAT m_trie;
};

// Random texts of words, stray letters and punctuation, some longer than 256 words so that
// the all-fields index runs into the next tag's range and must sort on Finalize.
std::vector<std::string> RandomTexts(int count) {
  std::mt19937 random(7);
  const std::vector<std::string> fillers = {"x", " ", "，", "ab", "。"};
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) {
    int length = i % 17 == 0 ? 300 : static_cast<int>(random() % 40);
    std::string text;
    for (int j = 0; j < length; ++j) {
      text +=
          random() % 4 == 0 ? fillers[random() % fillers.size()] : kWords[random() % kWords.size()];
    }
    texts.push_back(text);
  }
  return texts;
}

TEST_F(IndexerTermsTest, OneSegmentationGivesTheFilesOfAddText) {
  // Two wildcard fields per record: field k goes to index k untagged and to index 0 tagged k,
  // as the data-line store feeds them.
  std::vector<std::string> texts = RandomTexts(400);
  CIndexerControl byText[3] = {{&m_trie, false}, {&m_trie, false}, {&m_trie, false}};
  CIndexerControl byTerms[3] = {{&m_trie, false}, {&m_trie, false}, {&m_trie, false}};
  std::vector<int32_t> ids;
  for (size_t i = 0; i < texts.size(); ++i) {
    int record = static_cast<int>(i / 2);
    int field = static_cast<int>(i % 2) + 1;
    const char* text = texts[i].c_str();
    ASSERT_TRUE(byText[field].AddText(text, record, 255));
    ASSERT_TRUE(byText[0].AddText(text, record, field));
    int count = m_trie.Segment(text, &ids, nullptr);
    ASSERT_TRUE(byTerms[field].AddTerms(ids.data(), count, record, 255));
    ASSERT_TRUE(byTerms[0].AddTerms(ids.data(), count, record, field));
  }
  for (int k = 0; k < 3; ++k) {
    std::string expected = SavedBytes(&byText[k], "text_" + std::to_string(k));
    EXPECT_GT(expected.size(), 8u + 8u * static_cast<size_t>(byText[k].GetIndexer().GetIDCount()));
    EXPECT_EQ(SavedBytes(&byTerms[k], "terms_" + std::to_string(k)), expected) << "index " << k;
  }
}

TEST_F(IndexerTermsTest, IdsOutsideTheTableKeepTheirOrdinalButAddNoPosting) {
  CIndexer index(&m_trie, false);
  const int32_t ids[] = {kChina, -1, index.GetIDCount(), kPeople};
  ASSERT_TRUE(index.AddTerms(ids, 4, 5, 2));
  EXPECT_EQ(index.GetPostCount(), 2);
  ASSERT_TRUE(index.Finalize());
  int count = 0;
  const tINDEX_STRUCTURE* people = index.GetPostings(kPeople, &count);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(people[0].record, 5);
  EXPECT_EQ(people[0].position, 2 * 256 + 3);
  EXPECT_EQ(index.GetPostings(kChina, &count)->position, 2 * 256);
}

TEST_F(IndexerTermsTest, TextsThatStartBeforeTheLastEndedAreSorted) {
  // Two untagged texts of one record restart at ordinal 0; a later record's text is added
  // first. Every slice must still come out in (record, position word) order.
  CIndexer index(&m_trie, false);
  const int32_t first[] = {kPeople, kPeople, kChina};
  const int32_t second[] = {kChina, kPeople};
  ASSERT_TRUE(index.AddTerms(first, 3, 4, 255));
  ASSERT_TRUE(index.AddTerms(second, 2, 4, 255));
  ASSERT_TRUE(index.AddTerms(second, 2, 9, 1));
  ASSERT_TRUE(index.AddTerms(first, 3, 2, 1));
  ASSERT_TRUE(index.Finalize());
  struct {
    int term;
    std::vector<std::pair<int, int>> postings;
  } expected[] = {
      {kChina, {{2, 258}, {4, 0}, {4, 2}, {9, 256}}},
      {kPeople, {{2, 256}, {2, 257}, {4, 0}, {4, 1}, {4, 1}, {9, 257}}},
  };
  for (const auto& term : expected) {
    int count = 0;
    const tINDEX_STRUCTURE* postings = index.GetPostings(term.term, &count);
    std::vector<std::pair<int, int>> actual;
    for (int i = 0; i < count; ++i) actual.emplace_back(postings[i].record, postings[i].position);
    EXPECT_EQ(actual, term.postings) << "term " << term.term;
  }
}

TEST_F(IndexerTermsTest, RefusalsMatchAddText) {
  CIndexer index(&m_trie, false);
  const int32_t ids[] = {kBeijing, kCollege};
  EXPECT_TRUE(index.AddTerms(ids, 0, 0, 255));  // no term: accepted, nothing added
  EXPECT_TRUE(index.AddTerms(nullptr, 0, 0, 255));
  EXPECT_FALSE(index.AddTerms(nullptr, 2, 0, 255));
  EXPECT_FALSE(index.AddTerms(ids, 2, -1, 255));
  EXPECT_FALSE(index.AddTerms(ids, 2, 0, 256));
  EXPECT_FALSE(index.AddTerms(ids, 2, 0, -1));
  EXPECT_EQ(index.GetPostCount(), 0);
  ASSERT_TRUE(index.AddTerms(ids, 2, 0, 255));
  ASSERT_TRUE(index.Finalize());
  EXPECT_FALSE(index.AddTerms(ids, 2, 1, 255));  // read-only now
  EXPECT_EQ(index.GetPostCount(), 2);
}

}  // namespace

// Spilled runs hold their postings in delta-coded blocks: a term of more postings than a
// block, record numbers and position words far apart, records out of order across runs and
// more runs than one merge takes must all give the bytes of the in-memory build; a damaged
// run fails the save instead of being read past its end.
TEST_F(IndexerTermsTest, SpilledRunsGiveTheBytesOfTheInMemoryBuild) {
  struct tText {
    std::vector<int32_t> ids;
    int record;
    int tag;
  };
  std::vector<tText> texts;
  const std::vector<int32_t> many(9000, kChina);  // one text, more postings than a block
  texts.push_back({many, 3, 255});
  texts.push_back({{kPeople, kChina}, 2000000000, 255});
  texts.push_back({{kChina, kBeijing}, 7, 254});  // position words near 65,000
  texts.push_back({{kPeople}, 5, 1});             // before the record of the last run
  for (int record = 100; record < 700; ++record) {
    texts.push_back({{kShanghai, static_cast<int32_t>(record % 3), kCollege}, record, record % 3});
  }
  auto build = [&](int spillEvery, const std::string& name) {
    CIndexerControl control(&m_trie, false);
    control.GetIndexer().SetRunNames(
        [this, name](int run) { return Path(name + ".spill.run" + std::to_string(run)); });
    std::string error;
    for (size_t i = 0; i < texts.size(); ++i) {
      EXPECT_TRUE(control.AddTerms(texts[i].ids.data(), static_cast<int>(texts[i].ids.size()),
                                   texts[i].record, texts[i].tag));
      if (spillEvery > 0 && i % static_cast<size_t>(spillEvery) == 0) {
        EXPECT_TRUE(control.GetIndexer().SpillRun(&error)) << error;
      }
    }
    return SavedBytes(&control, name);
  };
  const std::string expected = build(0, "memory");
  EXPECT_EQ(build(100, "few"), expected);
  EXPECT_EQ(build(1, "many"), expected);  // over 600 runs: merged in groups first

  CIndexerControl control(&m_trie, false);
  control.GetIndexer().SetRunNames(
      [this](int run) { return Path("damaged.run" + std::to_string(run)); });
  std::string error;
  for (int run = 0; run < 3; ++run) {
    ASSERT_TRUE(control.AddTerms(many.data(), static_cast<int>(many.size()), run, 255));
    ASSERT_TRUE(control.GetIndexer().SpillRun(&error)) << error;
  }
  ASSERT_EQ(truncate(Path("damaged.run1").c_str(), 100), 0);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(control.Save(Path("damaged.out").c_str()));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Error Write"), std::string::npos);
}
