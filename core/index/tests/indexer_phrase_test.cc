// Phrase matching of CIndexer::LookupIds against a brute-force model over random postings:
// seeding and filtering, dense and rare words, repeated words, fields whose position words
// run into the next tag's range, lists with holes, repeats and records out of order, and the
// query budget stopping long phrases.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "core/index/indexer.h"

namespace {

// The texts of one record: (field tag, term ids in ordinal order).
struct tText {
  int tag;
  std::vector<int32_t> ids;
};
using Records = std::vector<std::vector<tText>>;

// Every record's positions of every term, as AddTerms stores them.
using Places = std::vector<std::map<int32_t, std::multiset<int64_t>>>;

Places PlacesOf(const Records& records) {
  Places places(records.size());
  for (size_t record = 0; record < records.size(); ++record) {
    for (const tText& text : records[record]) {
      const int64_t base = text.tag == 255 ? 0 : int64_t{text.tag} * 256;
      for (size_t ordinal = 0; ordinal < text.ids.size(); ++ordinal) {
        places[record][text.ids[ordinal]].insert(base + static_cast<int64_t>(ordinal));
      }
    }
  }
  return places;
}

// The lowest start p with term j of the phrase at p + j for every j, or INT64_MIN.
int64_t ModelStart(const Places& places, size_t record, const std::vector<int32_t>& phrase) {
  auto first = places[record].find(phrase[0]);
  if (first == places[record].end()) return INT64_MIN;
  for (int64_t start : first->second) {
    bool all = true;
    for (size_t j = 1; j < phrase.size() && all; ++j) {
      auto word = places[record].find(phrase[j]);
      all =
          word != places[record].end() && word->second.count(start + static_cast<int64_t>(j)) != 0;
    }
    if (all) return start;
  }
  return INT64_MIN;
}

void Build(CIndexer* index, const Records& records) {
  for (size_t record = 0; record < records.size(); ++record) {
    for (const tText& text : records[record]) {
      ASSERT_TRUE(index->AddTerms(text.ids.data(), static_cast<int>(text.ids.size()),
                                  static_cast<int>(record), text.tag));
    }
  }
  ASSERT_TRUE(index->Finalize());
}

// Term t is drawn with weight 1 / (t + 1): term 0 stands in most records, the high terms in
// few, so that phrases mix long lists with short ones.
int32_t SkewedTerm(std::mt19937* random, int terms) {
  std::vector<double> weights;
  for (int t = 0; t < terms; ++t) weights.push_back(1.0 / (t + 1));
  std::discrete_distribution<int32_t> pick(weights.begin(), weights.end());
  return pick(*random);
}

struct tShape {
  const char* name;
  int records;
  int terms;
  int maxLength;     // words of one text
  bool severalTags;  // texts under tags 0..2 besides 255
  bool longFields;   // some texts of 300 words, whose position words run into the next tag
  int maxPhrase;     // words of one phrase
};

const tShape kShapes[] = {
    {"dense, four terms", 300, 4, 30, false, false, 4},
    {"skewed, forty terms", 2000, 40, 60, false, false, 3},
    {"fields under tags", 400, 6, 20, true, false, 3},
    {"fields past 256 words", 120, 5, 40, true, true, 3},
    {"long phrases", 200, 3, 50, false, false, 9},
};

Records RandomRecords(const tShape& shape, std::mt19937* random) {
  Records records(static_cast<size_t>(shape.records));
  for (auto& texts : records) {
    const int count = 1 + static_cast<int>((*random)() % 2);
    for (int t = 0; t < count; ++t) {
      tText text;
      text.tag =
          shape.severalTags && (*random)() % 2 == 0 ? static_cast<int>((*random)() % 3) : 255;
      int length = static_cast<int>((*random)() % static_cast<unsigned>(shape.maxLength + 1));
      if (shape.longFields && (*random)() % 10 == 0) length = 300;
      for (int i = 0; i < length; ++i) text.ids.push_back(SkewedTerm(random, shape.terms));
      texts.push_back(text);
    }
  }
  return records;
}

// A phrase cut out of some record's text (so that it has hits), or drawn at random.
std::vector<int32_t> RandomPhrase(const tShape& shape, const Records& records,
                                  std::mt19937* random) {
  const size_t length = 1 + (*random)() % static_cast<unsigned>(shape.maxPhrase);
  std::vector<int32_t> phrase;
  if ((*random)() % 3 != 0) {
    const auto& texts = records[(*random)() % records.size()];
    const tText& text = texts[(*random)() % texts.size()];
    if (text.ids.size() >= length) {
      const size_t start = (*random)() % (text.ids.size() - length + 1);
      phrase.assign(text.ids.begin() + static_cast<long>(start),
                    text.ids.begin() + static_cast<long>(start + length));
      return phrase;
    }
  }
  for (size_t i = 0; i < length; ++i) phrase.push_back(SkewedTerm(random, shape.terms));
  return phrase;
}

int32_t Clamp(int64_t start) {
  return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(start, INT32_MIN), INT32_MAX));
}

TEST(IndexerPhraseTest, SeedAndFilterMatchTheModel) {
  std::mt19937 random(33);
  for (const tShape& shape : kShapes) {
    SCOPED_TRACE(shape.name);
    const Records records = RandomRecords(shape, &random);
    const Places places = PlacesOf(records);
    CIndexer index(shape.terms + 2, false);  // the last two ids have no posting
    Build(&index, records);
    for (int trial = 0; trial < 150; ++trial) {
      std::vector<int32_t> phrase = RandomPhrase(shape, records, &random);
      if (trial % 25 == 0) phrase.push_back(shape.terms + 1);  // a word without postings
      SCOPED_TRACE(::testing::PrintToString(phrase));

      // Seeding: one entry per record that holds the phrase, at its lowest start (for one
      // word: its first posting in the record).
      CResultList seeded;
      ASSERT_EQ(index.LookupIds(phrase.data(), static_cast<int>(phrase.size()), &seeded), 1);
      EXPECT_TRUE(seeded.seeded);
      std::vector<std::pair<int32_t, int32_t>> expected;
      for (size_t record = 0; record < records.size(); ++record) {
        const int64_t start = ModelStart(places, record, phrase);
        if (start != INT64_MIN) expected.emplace_back(static_cast<int32_t>(record), Clamp(start));
      }
      std::vector<std::pair<int32_t, int32_t>> got;
      for (const tINDEX_STRUCTURE& entry : seeded.entries) {
        got.emplace_back(entry.record, entry.position);
      }
      ASSERT_EQ(got, expected);

      // Filtering a list with holes, repeated records and a stretch out of order.
      CResultList list;
      list.seeded = true;
      for (size_t record = 0; record < records.size(); ++record) {
        const unsigned draw = random() % 8;
        if (draw == 0) list.entries.push_back({-1, 0});
        if (draw < 5) list.entries.push_back({static_cast<int32_t>(record), 7});
        if (draw == 1) list.entries.push_back({static_cast<int32_t>(record), 9});
      }
      if (trial % 3 == 0 && list.entries.size() > 20) {
        std::reverse(list.entries.begin() + 5, list.entries.begin() + 15);
      }
      const std::vector<tINDEX_STRUCTURE> before = list.entries;
      index.LookupIds(phrase.data(), static_cast<int>(phrase.size()), &list);
      ASSERT_EQ(list.entries.size(), before.size());
      for (size_t i = 0; i < before.size(); ++i) {
        const int32_t record = before[i].record;
        if (record < 0) {
          EXPECT_EQ(list.entries[i].record, -1);
          continue;
        }
        const int64_t start = ModelStart(places, static_cast<size_t>(record), phrase);
        if (start == INT64_MIN) {
          EXPECT_EQ(list.entries[i].record, -1) << "entry " << i << " record " << record;
        } else {
          EXPECT_EQ(list.entries[i].record, record) << "entry " << i;
          EXPECT_EQ(list.entries[i].position, Clamp(start));
        }
      }
    }
  }
}

// A long phrase of one dense word, as a costly query would send it: untimed it is answered
// in full, with the deadline passed it stops with the budget saying so, and over the word
// bound it is not applied at all.
TEST(IndexerPhraseTest, TheBudgetStopsLongPhrases) {
  Records records(400);
  for (size_t record = 0; record < records.size(); ++record) {
    // Runs of term 0 of growing length, broken by term 1.
    tText text{255, {}};
    for (size_t i = 0; i < 200; ++i) text.ids.push_back(i % (2 + record % 40) == 0 ? 1 : 0);
    records[record].push_back(text);
  }
  CIndexer index(2, false);
  Build(&index, records);
  const Places places = PlacesOf(records);
  const std::vector<int32_t> phrase(30, 0);
  size_t holding = 0;
  for (size_t record = 0; record < records.size(); ++record) {
    holding += ModelStart(places, record, phrase) != INT64_MIN ? 1 : 0;
  }
  ASSERT_GT(holding, 0u);
  ASSERT_LT(holding, records.size());

  CResultList whole;
  index.LookupIds(phrase.data(), static_cast<int>(phrase.size()), &whole);
  EXPECT_FALSE(whole.budget.stopped());
  EXPECT_EQ(whole.entries.size(), holding);

  CResultList late;
  late.budget.timed = true;
  late.budget.deadline = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  index.LookupIds(phrase.data(), static_cast<int>(phrase.size()), &late);
  EXPECT_TRUE(late.budget.expired);
  EXPECT_LT(late.entries.size(), holding);

  CResultList lateFilter;
  lateFilter.seeded = true;
  for (int32_t record = 0; record < 400; ++record) lateFilter.entries.push_back({record, 0});
  lateFilter.budget = late.budget;
  lateFilter.budget.expired = false;
  index.LookupIds(phrase.data(), static_cast<int>(phrase.size()), &lateFilter);
  EXPECT_TRUE(lateFilter.budget.expired);

  CResultList bounded;
  bounded.budget.maxWords = 29;
  index.LookupIds(phrase.data(), static_cast<int>(phrase.size()), &bounded);
  EXPECT_TRUE(bounded.budget.tooManyWords);
  EXPECT_FALSE(bounded.seeded);
}

TEST(IndexerPhraseTest, CompactResultKeepsTheFirstEntryOfEachRecord) {
  const std::vector<std::vector<tINDEX_STRUCTURE>> cases = {
      {},
      {{1, 5}, {2, 6}, {4, 7}},                   // compact already
      {{-1, 0}, {-1, 0}},                         // only holes
      {{1, 5}, {1, 6}, {-1, 0}, {3, 1}, {3, 2}},  // repeats and a hole
      {{0, 1}, {2, 2}, {-1, 0}, {2, 3}, {7, 4}},  // a repeat across a hole
  };
  for (const auto& entries : cases) {
    std::vector<tINDEX_STRUCTURE> expected;
    for (const tINDEX_STRUCTURE& entry : entries) {
      if (entry.record < 0) continue;
      if (!expected.empty() && expected.back().record == entry.record) continue;
      expected.push_back(entry);
    }
    std::vector<tINDEX_STRUCTURE> result = entries;
    EXPECT_EQ(CompactResult(&result), static_cast<int>(expected.size()));
    ASSERT_EQ(result.size(), expected.size());
    for (size_t i = 0; i < result.size(); ++i) {
      EXPECT_EQ(result[i].record, expected[i].record);
      EXPECT_EQ(result[i].position, expected[i].position);
    }
  }
}

}  // namespace

namespace {

// CountRecords gives what the one-word seed lists: the number of its records and the last,
// for words of few postings (counted at every call) and of many (counted once and kept).
TEST(IndexerPhraseTest, CountRecordsAgreesWithTheOneWordSeed) {
  std::mt19937 random(4096);
  Records records(3000);
  for (auto& texts : records) {
    tText text{255, {}};
    // Term 0 several times in most records (well over 4,096 postings), term 1 in a few,
    // term 2 never.
    for (int i = 0; i < 6; ++i) text.ids.push_back(random() % 5 == 0 ? 3 : 0);
    if (random() % 100 == 0) text.ids.push_back(1);
    texts.push_back(text);
  }
  CIndexer index(4, false);
  Build(&index, records);
  int count = 0;
  ASSERT_NE(index.GetPostings(0, &count), nullptr);
  ASSERT_GT(count, 4096);
  for (int32_t term : {0, 1, 2, 3, 0, 1, 7, -1}) {
    SCOPED_TRACE(term);
    CResultList seeded;
    index.LookupIds(&term, 1, &seeded);
    int32_t last = 0;
    EXPECT_EQ(index.CountRecords(term, &last), static_cast<int32_t>(seeded.entries.size()));
    EXPECT_EQ(last, seeded.entries.empty() ? -1 : seeded.entries.back().record);
  }
  CIndexer building(4, false);
  int32_t last = 0;
  EXPECT_EQ(building.CountRecords(0, &last), -1);
}

}  // namespace
