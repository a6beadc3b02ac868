// Tests of the inverted index: position words, the index file, damaged files, phrase
// matching against a brute-force model, the merge helpers and concurrent lookups.
#include "core/index/indexer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/index/indexer_control.h"
#include "core/text/pdat.h"
#include "testing/file_image.h"

namespace {

// Word numbers follow the line order of this dictionary.
const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生",
                                         "上海", "你好", "世界", "电脑", "软件"};
enum { kChina, kPeople, kBeijing, kCollege, kStudent, kShanghai, kHello, kWorld, kPc, kSoft };

std::string Join(const std::vector<int>& words) {
  std::string text;
  for (int word : words) text += kWords[static_cast<size_t>(word)] + " ";
  return text;
}

std::vector<tINDEX_STRUCTURE> PostingsOf(const CIndexer& index, int term) {
  int count = 0;
  const tINDEX_STRUCTURE* postings = index.GetPostings(term, &count);
  return std::vector<tINDEX_STRUCTURE>(postings, postings + count);
}

std::vector<int> Records(const CResultList& result) {
  std::vector<int> records;
  for (const tINDEX_STRUCTURE& entry : result.entries) {
    if (entry.record != -1) records.push_back(entry.record);
  }
  return records;
}

class IndexerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/indexer_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
    std::string dictionary = Path("dict.txt");
    FILE* file = std::fopen(dictionary.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (const std::string& word : kWords) std::fprintf(file, "%s 1 n\n", word.c_str());
    std::fclose(file);
    testing::internal::CaptureStdout();  // the build prints a line per word
    ASSERT_EQ(m_trie.BuildFromText(dictionary.c_str()), static_cast<int>(kWords.size()));
    testing::internal::GetCapturedStdout();
  }
  void TearDown() override { std::system(("rm -rf " + m_dir).c_str()); }

  std::string Path(const std::string& name) const { return m_dir + "/" + name; }

  // A finalised index over `records`, each a list of field texts under tag 255.
  void Build(CIndexer* index, const std::vector<std::vector<int>>& records) {
    for (size_t record = 0; record < records.size(); ++record) {
      ASSERT_TRUE(index->AddText(Join(records[record]).c_str(), static_cast<int>(record), 255));
    }
    ASSERT_TRUE(index->Finalize());
  }

  std::string m_dir;
  CPDAT m_trie;
};

TEST_F(IndexerTest, PositionWordIsTagTimesTwoHundredFiftySixPlusOrdinal) {
  CIndexer index(&m_trie, false);
  ASSERT_TRUE(index.AddText(Join({kHello, kHello, kHello, kHello, kHello, kChina}).c_str(), 0, 3));
  ASSERT_TRUE(
      index.AddText(Join({kHello, kHello, kHello, kHello, kHello, kChina}).c_str(), 1, 255));
  std::vector<int> long_text(300, kHello);
  long_text.push_back(kPeople);  // ordinal 300
  ASSERT_TRUE(index.AddText(Join(long_text).c_str(), 2, 1));
  std::vector<int> short_text(44, kHello);
  short_text.push_back(kPeople);  // ordinal 44
  ASSERT_TRUE(index.AddText(Join(short_text).c_str(), 3, 2));
  ASSERT_TRUE(index.Finalize());

  std::vector<tINDEX_STRUCTURE> china = PostingsOf(index, kChina);
  ASSERT_EQ(china.size(), 2u);
  EXPECT_EQ(china[0].position, 773);
  EXPECT_EQ(china[1].position, 5);
  std::vector<tINDEX_STRUCTURE> people = PostingsOf(index, kPeople);
  ASSERT_EQ(people.size(), 2u);
  EXPECT_EQ(people[0].position, 556);
  EXPECT_EQ(people[1].position, 556);
}

TEST_F(IndexerTest, RefusedAndEmptyTexts) {
  CIndexer index(&m_trie, false);
  EXPECT_TRUE(index.AddText("abc xyz", 0, 255));  // no dictionary word
  EXPECT_TRUE(index.AddText("", 1, 255));
  EXPECT_FALSE(index.AddText(nullptr, 2, 255));
  EXPECT_FALSE(index.AddText(Join({kChina}).c_str(), -1, 255));
  EXPECT_FALSE(index.AddText(Join({kChina}).c_str(), 0, 256));
  EXPECT_EQ(index.GetPostCount(), 0);
  CResultList result;
  EXPECT_EQ(index.Lookup(Join({kChina}).c_str(), &result), 0);  // still building
  EXPECT_FALSE(result.seeded);
  ASSERT_TRUE(index.Save(Path("empty.idx").c_str()));
  EXPECT_FALSE(index.AddText(Join({kChina}).c_str(), 3, 255));  // read-only after Save
  EXPECT_FALSE(index.Finalize());

  CFileImage image;
  ASSERT_TRUE(image.Read(Path("empty.idx")));
  EXPECT_EQ(image.size(), 8u + 8u * static_cast<size_t>(index.GetIDCount()));
  CIndexer loaded(&m_trie, true);
  ASSERT_TRUE(loaded.Load(Path("empty.idx").c_str()));
  EXPECT_EQ(loaded.GetPostCount(), 0);
  EXPECT_EQ(loaded.GetIDCount(), index.GetIDCount());
  EXPECT_EQ(loaded.Lookup(Join({kChina}).c_str(), &result), 1);
  EXPECT_TRUE(result.seeded);
  EXPECT_TRUE(result.entries.empty());
}

TEST_F(IndexerTest, NeverLoadedReadOnlyIndexSavesAFileThatLoads) {
  CIndexer empty(&m_trie, true);
  ASSERT_TRUE(empty.Save(Path("never.idx").c_str()));
  CIndexer loaded(&m_trie, true);
  EXPECT_TRUE(loaded.Load(Path("never.idx").c_str()));
  EXPECT_EQ(loaded.GetPostCount(), 0);
}

TEST_F(IndexerTest, RecordsAddedOutOfOrderAreSortedOnFinalize) {
  CIndexer index(&m_trie, false);
  ASSERT_TRUE(index.AddText(Join({kChina, kPeople}).c_str(), 9, 255));
  ASSERT_TRUE(index.AddText(Join({kPeople, kChina, kPeople}).c_str(), 2, 255));
  ASSERT_TRUE(index.Finalize());
  std::vector<tINDEX_STRUCTURE> people = PostingsOf(index, kPeople);
  ASSERT_EQ(people.size(), 3u);
  EXPECT_EQ(people[0].record, 2);
  EXPECT_EQ(people[1].record, 2);
  EXPECT_EQ(people[1].position, 2);
  EXPECT_EQ(people[2].record, 9);
  CResultList result;
  index.Lookup(Join({kChina, kPeople}).c_str(), &result);
  EXPECT_EQ(Records(result), std::vector<int>({2, 9}));
}

// The documented 56-byte file: m_IDCount 3, term 1 (0,0) (2,5), term 2 (2,6).
TEST_F(IndexerTest, FileLayoutRoundTripsByteForByte) {
  CFileImage image;
  const int32_t words[] = {3, 0, 0, 2, 0, 1, 2, 3, 0, 0, 2, 5, 2, 6};
  for (size_t i = 0; i < 14; ++i) image.PutI32At(4 * i, words[i]);
  ASSERT_EQ(image.size(), 56u);
  ASSERT_TRUE(image.Write(Path("golden.idx")));
  CIndexer index(&m_trie, true);
  ASSERT_TRUE(index.Load(Path("golden.idx").c_str()));
  EXPECT_EQ(index.GetIDCount(), 3);
  EXPECT_EQ(index.GetPostCount(), 3);
  std::vector<tINDEX_STRUCTURE> term1 = PostingsOf(index, 1);
  ASSERT_EQ(term1.size(), 2u);
  EXPECT_EQ(term1[1].record, 2);
  EXPECT_EQ(term1[1].position, 5);
  EXPECT_TRUE(PostingsOf(index, 0).empty());
  EXPECT_TRUE(PostingsOf(index, 3).empty());  // at or above m_IDCount: no postings
  ASSERT_TRUE(index.Save(Path("again.idx").c_str()));
  CFileImage again;
  ASSERT_TRUE(again.Read(Path("again.idx")));
  EXPECT_EQ(again.bytes(), image.bytes());

  // The same layout from building: the slots' first is the sum of lower counts, also for
  // terms without postings.
  CIndexer built(&m_trie, false);
  ASSERT_TRUE(built.AddText(Join({kPeople}).c_str(), 0, 255));
  ASSERT_TRUE(built.AddText(Join({kPeople, kBeijing}).c_str(), 2, 255));
  ASSERT_TRUE(built.Save(Path("built.idx").c_str()));
  CFileImage file;
  ASSERT_TRUE(file.Read(Path("built.idx")));
  const int32_t idCount = built.GetIDCount();
  ASSERT_EQ(file.size(), 8u + 8u * static_cast<size_t>(idCount + 3));
  auto at = [&file](size_t slot) {
    int32_t value;
    std::memcpy(&value, file.data() + 4 * slot, 4);
    return value;
  };
  EXPECT_EQ(at(0), idCount);
  EXPECT_EQ(at(1 + 2 * kChina), 0);  // count of term 0
  EXPECT_EQ(at(2 + 2 * kChina), 0);  // first of term 0
  EXPECT_EQ(at(1 + 2 * kPeople), 2);
  EXPECT_EQ(at(2 + 2 * kPeople), 0);
  EXPECT_EQ(at(1 + 2 * kBeijing), 1);
  EXPECT_EQ(at(2 + 2 * kBeijing), 2);
  EXPECT_EQ(at(2 + 2 * kCollege), 3);  // empty slots keep the running sum
  const size_t postings = 2 + 2 * static_cast<size_t>(idCount);
  EXPECT_EQ(at(postings - 1), 3);
  const int32_t expected[] = {0, 0, 2, 0, 2, 1};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(at(postings + i), expected[i]) << i;
}

TEST_F(IndexerTest, DamagedFilesAreRefusedAndKeepThePreviousIndex) {
  CIndexer good(&m_trie, false);
  Build(&good, {{kChina, kPeople}, {kPeople}, {kChina}});
  ASSERT_TRUE(good.Save(Path("good.idx").c_str()));
  CFileImage original;
  ASSERT_TRUE(original.Read(Path("good.idx")));
  const size_t postCountOffset = 4 + 8 * static_cast<size_t>(good.GetIDCount());
  const size_t slotOfPeople = 4 + 8 * kPeople;

  struct tDamage {
    const char* what;
    void (*apply)(CFileImage*, size_t postCountOffset, size_t slotOfPeople);
  };
  const tDamage damages[] = {
      {"empty", [](CFileImage* f, size_t, size_t) { f->Truncate(0); }},
      {"cut in the table", [](CFileImage* f, size_t, size_t) { f->Truncate(20); }},
      {"cut in the postings", [](CFileImage* f, size_t, size_t) { f->Truncate(f->size() - 4); }},
      {"trailing bytes", [](CFileImage* f, size_t, size_t) { f->Append("xxxxxxxx"); }},
      {"negative id count", [](CFileImage* f, size_t, size_t) { f->PutI32At(0, -1); }},
      {"huge id count", [](CFileImage* f, size_t, size_t) { f->PutI32At(0, 0x7FFFFFFF); }},
      {"huge post count",
       [](CFileImage* f, size_t offset, size_t) { f->PutI32At(offset, 0x7FFFFFFF); }},
      {"negative post count",
       [](CFileImage* f, size_t offset, size_t) { f->PutI32At(offset, -2); }},
      {"negative count", [](CFileImage* f, size_t, size_t slot) { f->PutI32At(slot, -1); }},
      {"count past the postings", [](CFileImage* f, size_t, size_t slot) { f->PutI32At(slot, 5); }},
      {"negative first", [](CFileImage* f, size_t, size_t slot) { f->PutI32At(slot + 4, -3); }},
      {"first + count overflows",
       [](CFileImage* f, size_t, size_t slot) { f->PutI32At(slot + 4, 0x7FFFFFFF); }},
  };
  CIndexer index(&m_trie, true);
  ASSERT_TRUE(index.Load(Path("good.idx").c_str()));
  for (const tDamage& damage : damages) {
    CFileImage image = original;
    damage.apply(&image, postCountOffset, slotOfPeople);
    ASSERT_TRUE(image.Write(Path("bad.idx")));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(index.Load(Path("bad.idx").c_str())) << damage.what;
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("Error Open " + Path("bad.idx")), std::string::npos) << damage.what;
    EXPECT_EQ(index.GetPostCount(), 4) << damage.what;
    CResultList result;
    index.Lookup(Join({kChina, kPeople}).c_str(), &result);
    EXPECT_EQ(Records(result), std::vector<int>({0})) << damage.what;
  }
  testing::internal::CaptureStdout();
  EXPECT_FALSE(index.Load(Path("missing.idx").c_str()));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Error Open"), std::string::npos);
}

TEST_F(IndexerTest, SaveFailureKeepsTheBuildListsAndNoPartialFile) {
  CIndexer index(&m_trie, false);
  ASSERT_TRUE(index.AddText(Join({kChina, kPeople}).c_str(), 0, 255));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(index.Save(Path("no/such/dir.idx").c_str()));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Error Write " + Path("no/such/dir.idx")),
            std::string::npos);
  EXPECT_FALSE(index.IsReadOnly());
  EXPECT_TRUE(index.AddText(Join({kChina}).c_str(), 1, 255));
  ASSERT_TRUE(index.Save(Path("later.idx").c_str()));
  EXPECT_EQ(index.GetPostCount(), 3);
  EXPECT_NE(std::fopen(Path("later.idx").c_str(), "rb"), nullptr);
  EXPECT_EQ(std::fopen(Path("later.idx.tmp").c_str(), "rb"), nullptr);
}

TEST_F(IndexerTest, LongFieldsInTheAllFieldsIndexStayInPostingOrder) {
  CIndexer index(&m_trie, false);
  std::vector<int> longText;
  for (int i = 0; i < 700; ++i) longText.push_back(i % 3 == 0 ? kChina : kPeople);
  longText.push_back(kHello);
  longText.push_back(kWorld);
  for (int record = 0; record < 3; ++record) {
    ASSERT_TRUE(index.AddText(Join(longText).c_str(), record, 1));
    ASSERT_TRUE(index.AddText(Join({kChina, kWorld, kHello}).c_str(), record, 2));
  }
  ASSERT_TRUE(index.Finalize());
  for (int term = 0; term < static_cast<int>(kWords.size()); ++term) {
    std::vector<tINDEX_STRUCTURE> postings = PostingsOf(index, term);
    for (size_t i = 1; i < postings.size(); ++i) {
      bool ascending = postings[i - 1].record < postings[i].record ||
                       (postings[i - 1].record == postings[i].record &&
                        postings[i - 1].position <= postings[i].position);
      ASSERT_TRUE(ascending) << "term " << term << " at " << i;
    }
  }
  // Phrases from the long field and from the field after it are both found.
  for (const std::vector<int>& phrase :
       {std::vector<int>{kHello, kWorld}, {kWorld, kHello}, {kPeople, kChina, kPeople}}) {
    CResultList result;
    ASSERT_EQ(index.Lookup(Join(phrase).c_str(), &result), 1);
    EXPECT_EQ(Records(result), std::vector<int>({0, 1, 2}));
  }
}

TEST_F(IndexerTest, PhraseIsFoundWhereverItStands) {
  CIndexer index(&m_trie, false);
  // Record 7: China at ordinals 1, 3, 7; People at 2 and 8.
  std::vector<std::vector<int>> records(9);
  records[7] = {kHello, kChina, kPeople, kChina, kHello, kHello, kHello, kChina, kPeople};
  // Record 4: Beijing at 2 and 10, College only at 11.
  records[4] = {kHello, kHello, kBeijing, kHello, kHello,   kHello,
                kHello, kHello, kHello,   kHello, kBeijing, kCollege};
  records[5] = {kBeijing, kHello, kCollege};
  Build(&index, records);

  CResultList result;
  index.Lookup(Join({kChina, kPeople}).c_str(), &result);
  EXPECT_TRUE(result.seeded);
  EXPECT_EQ(Records(result), std::vector<int>({7}));
  EXPECT_EQ(CompactResult(&result.entries), 1);

  // A list already reduced to one entry per record still finds the later occurrence.
  CResultList reduced;
  reduced.seeded = true;
  reduced.entries = {{4, 0}, {5, 0}, {7, 0}};
  index.Lookup(Join({kBeijing, kCollege}).c_str(), &reduced);
  EXPECT_EQ(Records(reduced), std::vector<int>({4}));

  // Values combine by AND in any order.
  CResultList first;
  index.Lookup(Join({kHello}).c_str(), &first);
  index.Lookup(Join({kCollege}).c_str(), &first);
  CResultList second;
  index.Lookup(Join({kCollege}).c_str(), &second);
  index.Lookup(Join({kHello}).c_str(), &second);
  CompactResult(&first.entries);
  CompactResult(&second.entries);
  EXPECT_EQ(Records(first), std::vector<int>({4, 5}));
  EXPECT_EQ(Records(second), Records(first));
}

TEST_F(IndexerTest, SeededEmptyListStaysEmptyAndUnknownWordsRestrictNothing) {
  CIndexer index(&m_trie, false);
  Build(&index, {{kChina}, {kPeople}, {kChina, kPeople}});
  CResultList result;
  index.Lookup("abc xyz", &result);  // no dictionary word
  EXPECT_FALSE(result.seeded);
  index.Lookup(Join({kSoft}).c_str(), &result);  // a word that no record holds
  EXPECT_TRUE(result.seeded);
  EXPECT_TRUE(result.entries.empty());
  index.Lookup(Join({kChina}).c_str(), &result);  // does not seed afresh
  EXPECT_TRUE(result.entries.empty());

  CResultList narrowed;
  index.Lookup(Join({kChina}).c_str(), &narrowed);
  index.Lookup("abc", &narrowed);
  EXPECT_EQ(Records(narrowed), std::vector<int>({0, 2}));
}

TEST_F(IndexerTest, TermIdsBeyondALoadedTableHaveNoPostings) {
  // A file with fewer slots than the trie has words (index and trie that do not belong
  // together): words above the table are simply absent.
  CFileImage image;
  const int32_t words[] = {2, 1, 0, 0, 1, 1, 0, 0};  // term 0 at (0,0); term 1 none
  for (size_t i = 0; i < 8; ++i) image.PutI32At(4 * i, words[i]);
  ASSERT_TRUE(image.Write(Path("small.idx")));
  CIndexer index(&m_trie, true);
  ASSERT_TRUE(index.Load(Path("small.idx").c_str()));
  CResultList result;
  index.Lookup(Join({kSoft}).c_str(), &result);
  EXPECT_TRUE(result.seeded);
  EXPECT_TRUE(result.entries.empty());
  CResultList china;
  index.Lookup(Join({kChina}).c_str(), &china);
  EXPECT_EQ(Records(china), std::vector<int>({0}));
}

// Brute force: record r holds the phrase when its word sequence contains it contiguously.
std::set<int> ModelPhrase(const std::vector<std::vector<int>>& records,
                          const std::vector<int>& phrase) {
  std::set<int> found;
  for (size_t record = 0; record < records.size(); ++record) {
    const std::vector<int>& words = records[record];
    for (size_t start = 0; start + phrase.size() <= words.size(); ++start) {
      if (std::equal(phrase.begin(), phrase.end(), words.begin() + static_cast<long>(start))) {
        found.insert(static_cast<int>(record));
        break;
      }
    }
  }
  return found;
}

TEST_F(IndexerTest, RandomPhrasesMatchTheBruteForceModel) {
  std::mt19937 random(301);
  std::vector<std::vector<int>> records(300);
  for (auto& words : records) {
    size_t length = random() % 30;
    for (size_t i = 0; i < length; ++i) words.push_back(static_cast<int>(random() % 4));
  }
  CIndexer index(&m_trie, false);
  Build(&index, records);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<int> first(1 + random() % 3);
    for (int& word : first) word = static_cast<int>(random() % 4);
    std::vector<int> second(1 + random() % 2);
    for (int& word : second) word = static_cast<int>(random() % 4);
    CResultList result;
    index.Lookup(Join(first).c_str(), &result);
    index.Lookup(Join(second).c_str(), &result);
    CompactResult(&result.entries);
    std::set<int> expected;
    std::set<int> a = ModelPhrase(records, first);
    std::set<int> b = ModelPhrase(records, second);
    for (int record : a) {
      if (b.count(record) != 0) expected.insert(record);
    }
    std::vector<int> got = Records(result);
    ASSERT_EQ(std::set<int>(got.begin(), got.end()), expected) << "trial " << trial;
    ASSERT_EQ(got.size(), expected.size());  // one entry per record
  }
}

TEST_F(IndexerTest, ConcurrentLookupsShareOneIndex) {
  std::mt19937 random(7);
  std::vector<std::vector<int>> records(500);
  for (auto& words : records) {
    for (size_t i = 0; i < 20; ++i) words.push_back(static_cast<int>(random() % 5));
  }
  CIndexerControl control(&m_trie, false);
  for (size_t record = 0; record < records.size(); ++record) {
    ASSERT_TRUE(control.AddText(Join(records[record]).c_str(), static_cast<int>(record), 255));
  }
  ASSERT_TRUE(control.Save(Path("shared.idx").c_str()));
  CIndexerControl loaded(&m_trie, true);
  ASSERT_TRUE(loaded.Load(Path("shared.idx").c_str()));
  EXPECT_FALSE(loaded.AddText(Join({kChina}).c_str(), 0, 255));

  std::vector<std::vector<int>> phrases;
  std::vector<std::vector<int>> expected;
  for (int i = 0; i < 40; ++i) {
    std::vector<int> phrase(1 + random() % 3);
    for (int& word : phrase) word = static_cast<int>(random() % 5);
    phrases.push_back(phrase);
    std::set<int> model = ModelPhrase(records, phrase);
    expected.emplace_back(model.begin(), model.end());
  }
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t]() {
      for (int round = 0; round < 25; ++round) {
        for (size_t i = 0; i < phrases.size(); ++i) {
          // Texts of different lengths make the per-thread scratch grow while others read.
          std::string text = Join(phrases[(i + static_cast<size_t>(t)) % phrases.size()]);
          text.append(static_cast<size_t>(round * 7), ' ');
          CResultList result;
          loaded.Lookup(text.c_str(), &result);
          if (Records(result) != expected[(i + static_cast<size_t>(t)) % phrases.size()]) {
            ++failures[static_cast<size_t>(t)];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(MergeHelpersTest, CompactResultKeepsOneEntryPerRecord) {
  std::vector<tINDEX_STRUCTURE> result = {{5, 0}, {-1, 0}, {5, 1}, {9, 0}, {9, 3}, {-1, 0}};
  EXPECT_EQ(CompactResult(&result), 2);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result[0].record, 5);
  EXPECT_EQ(result[1].record, 9);
  std::vector<tINDEX_STRUCTURE> empty;
  EXPECT_EQ(CompactResult(&empty), 0);
}

}  // namespace
