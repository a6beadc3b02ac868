// Tests of the broker's plan and splice without sockets: the rounds a window asks of the
// shards and the pieces it takes from them, checked against a model of shards over one hit
// list (each answers any window of its own hits), and the splice's stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "server/shard_broker.h"

namespace {

std::string Describe(const std::vector<tShardRequest>& requests) {
  std::string text;
  for (const tShardRequest& request : requests) {
    text += (text.empty() ? "" : " ") + std::to_string(request.shard) + ":" +
            std::to_string(request.start) + "+" + std::to_string(request.pageCount);
  }
  return text;
}

std::string Describe(const std::vector<tShardPiece>& pieces) {
  std::string text;
  for (const tShardPiece& piece : pieces) {
    text += (text.empty() ? "" : " ") + std::to_string(piece.shard) + ":" +
            std::to_string(piece.local) + "+" + std::to_string(piece.count) + "@" +
            std::to_string(piece.first) + (piece.secondRound ? "/2" : "/1");
  }
  return text;
}

// Shards over one hit list: shard k holds totals[k] hits, one value each, "k.i" for its
// i-th hit. A page is what a server answers for a window of them.
class CModelShards {
 public:
  explicit CModelShards(std::vector<int32_t> totals) : m_totals(std::move(totals)) {}
  ResultPage Page(size_t shard, int32_t start, int32_t pageCount, int32_t cap = 0) const {
    ResultPage page;
    page.total = m_totals[shard];
    page.start = start;
    page.fieldCount = 1;
    if (start < 0 || pageCount < 1) return page;
    auto end = static_cast<int32_t>(std::min<int64_t>(int64_t{start} + pageCount, m_totals[shard]));
    if (cap > 0) end = std::min(end, start + cap);
    for (int32_t hit = start; hit < end; ++hit) AddHit(Value(shard, hit), &page);
    return page;
  }
  static std::string Value(size_t shard, int32_t hit) {
    return std::to_string(shard) + "." + std::to_string(hit);
  }
  static void AddHit(const std::string& value, ResultPage* page) {
    page->valueLengths.push_back(static_cast<int32_t>(value.size()));
    page->text += value;
    ++page->returned;
  }
  // The window of the shards' hits one after another.
  std::string Window(int32_t start, int32_t pageCount) const {
    std::string text;
    int64_t position = 0;
    for (size_t shard = 0; shard < m_totals.size(); ++shard) {
      for (int32_t hit = 0; hit < m_totals[shard]; ++hit, ++position) {
        if (start >= 0 && pageCount > 0 && position >= start &&
            position < int64_t{start} + pageCount)
          text += Value(shard, hit);
      }
    }
    return text;
  }
  const std::vector<int32_t>& totals() const { return m_totals; }

 private:
  std::vector<int32_t> m_totals;
};

TEST(BrokerPlanTest, RoundsAndPiecesOfWindowsNearAndFar) {
  struct tCase {
    int32_t start;
    int32_t pageCount;
    std::vector<int32_t> totals;
    const char* first;
    const char* pieces;
  };
  const tCase cases[] = {
      {0, 10, {3, 4, 5}, "0:0+10 1:0+10 2:0+10", "0:0+3@0/1 1:0+4@0/1 2:0+3@0/1"},
      {5, 4, {3, 4, 5}, "0:5+4 1:0+9 2:0+9", "1:2+2@2/1 2:0+2@0/1"},
      {190, 10, {100, 100, 100}, "0:190+10 1:0+200 2:0+200", "1:90+10@90/1"},
      {195, 10, {100, 100, 100}, "0:195+10 1:0+0 2:0+0", "1:95+5@0/2 2:0+5@0/2"},
      {300, 10, {200, 150, 50}, "0:300+10 1:0+0 2:0+0", "1:100+10@0/2"},
      {2, 5, {10, 0, 5}, "0:2+5 1:0+7 2:0+7", "0:2+5@0/1"},
      {12, 5, {10, 0, 5}, "0:12+5 1:0+17 2:0+17", "2:2+3@2/1"},
      {15, 5, {10, 0, 5}, "0:15+5 1:0+20 2:0+20", ""},
      {0, 0, {3, 4}, "0:0+0 1:0+0", ""},
      {-1, 5, {3, 4}, "0:0+0 1:0+0", ""},
  };
  for (const tCase& c : cases) {
    const std::string window = std::to_string(c.start) + "+" + std::to_string(c.pageCount);
    EXPECT_EQ(Describe(PlanFirstRound(c.start, c.pageCount, c.totals.size())), c.first) << window;
    EXPECT_EQ(Describe(PlanPieces(c.start, c.pageCount, c.totals)), c.pieces) << window;
  }
}

// Plan, pages and splice together give the window of the whole hit list, for random shards
// and windows on both sides of the one-round reach.
TEST(BrokerPlanTest, SplicedPiecesAreTheWindowOfTheWholeList) {
  std::mt19937 random(301);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<int32_t> totals(1 + random() % 4);
    for (int32_t& total : totals)
      total = static_cast<int32_t>(random() % 5 == 0 ? 0 : random() % 150);
    const CModelShards shards(totals);
    const auto start = static_cast<int32_t>(random() % 400) - 5;
    const auto pageCount = static_cast<int32_t>(random() % 60);
    std::vector<ResultPage> first;
    for (const tShardRequest& request : PlanFirstRound(start, pageCount, totals.size())) {
      first.push_back(shards.Page(request.shard, request.start, request.pageCount));
    }
    const std::vector<tShardPiece> pieces = PlanPieces(start, pageCount, totals);
    std::vector<ResultPage> second;
    second.reserve(pieces.size());
    std::vector<tPieceRecords> records;
    for (const tShardPiece& piece : pieces) {
      const ResultPage* page = &first[piece.shard];
      if (piece.secondRound) {
        second.push_back(shards.Page(piece.shard, piece.local, piece.count));
        page = &second.back();
      }
      records.push_back({page, piece.first, piece.count});
    }
    ResultPage spliced;
    SplicePieces(records, 1, &spliced);
    const std::string expected = shards.Window(start, pageCount);
    EXPECT_EQ(spliced.text, expected) << start << "+" << pageCount << " trial " << trial;
    EXPECT_EQ(static_cast<size_t>(spliced.returned), spliced.valueLengths.size());
  }
}

TEST(BrokerPlanTest, ASpliceStopsAtAPieceItsShardCutShort) {
  const CModelShards shards({10, 10});
  const ResultPage cut = shards.Page(0, 4, 6, /*cap=*/2);  // hits 4 and 5 of the 6 asked
  const ResultPage next = shards.Page(1, 0, 3);
  ResultPage spliced;
  SplicePieces({{&cut, 0, 6}, {&next, 0, 3}}, 1, &spliced);
  EXPECT_EQ(spliced.text, "0.40.5");
  EXPECT_EQ(spliced.returned, 2);
}

}  // namespace
