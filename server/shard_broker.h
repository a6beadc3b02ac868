// CShardBroker: answers queries over a data set split into shards by ranges of its sort
// column, by asking the shards over the binary protocol. The shards are listed in the order of
// their ranges, so every hit of shard k sorts before every hit of shard k+1, and the hit list
// of the whole set is the shards' hit lists one after another. A page is then the same page one
// server over the whole table would give: the total is the sum of the shards' totals, and the
// window is cut from the shards in order, their stored values passed through unchanged.
//
// A query takes one round to every shard at once: the first shard is asked for the window as it
// stands, the others, for a window that ends within the first 200 hits, for their first
// start + count hits (enough for any part of the window they can hold), else for their totals
// only, and then a second round asks the later shards the window reaches for their parts.
// A shard whose MaxPageCount is below the broker's answers short pages: it is asked again for
// the rest of its part, from where its page ended, so the page is as long as one server with
// the broker's MaxPageCount would give. Each round is bounded by the shard time-out.
// A shard that cannot be reached, does not answer in time or answers something that is not a
// page of the schema's stored fields fails the whole query: a broker never answers a partial
// total. A shard that closes the connection without a byte of answer and then answers an
// empty query refused the query itself, as it refuses one over MaxQueryWords or past
// QueryTimeoutMs: the broker refuses it the same way and counts no failure of the shard.
//
// Thread safety: Answer may run on many threads at once; the object is read-only after
// construction.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/query/result_page.h"
#include "net/socket_io.h"
#include "server/search_run.h"

class CServerMetrics;
struct tConnectionLimits;

// One shard: a SearchServer's binary port, or a balancer's frontend of its replicas.
struct tShard {
  std::string name;  // "host:port" as configured
  in_addr address{};
  uint16_t port = 0;
};

// Parses a comma-separated list of host:port (blanks around items ignored) and resolves the
// hosts. False with a one-line *error naming the item that is wrong or does not resolve.
bool ParseShardList(const std::string& text, std::vector<tShard>* shards, std::string* error);

// Why Answer gave no page.
enum class BrokerStop {
  kNone,
  kShardFailed,  // a shard failed (counted); *failedShard names it
  kTooLarge,     // a shard refused the query before its time budget ran out
  kTimedOut,     // a shard refused the query once the time budget had run out
};

// The refusal a shard's stop means to the broker's own clients: kTooLarge or kTimedOut as
// one server over the whole set refuses the query, else kNone.
SearchStop RefusalOf(BrokerStop stop);

// One request of a round: a shard and the window it is asked for.
struct tShardRequest {
  size_t shard;
  int32_t start;
  int32_t pageCount;
};

// The first round of a window (start, pageCount) over `shardCount` shards: the first shard is
// asked for the window as it stands; the others, for a window that ends within the first 200
// hits, for their first start + pageCount hits, else for their totals only (page count 0).
std::vector<tShardRequest> PlanFirstRound(int32_t start, int32_t pageCount, size_t shardCount);

// A shard's part of the window: its hits [local, local + count), which begin at record `first`
// of the page that holds them: the first round's page of the shard, or with secondRound the
// page of a second-round request for (local, count).
struct tShardPiece {
  size_t shard;
  int32_t local;
  int32_t count;
  int32_t first;
  bool secondRound;
};

// The pieces of the window (start, pageCount), in shard order, given every shard's total as
// the first round of PlanFirstRound reported it; none when the window asks for no hit or
// starts at or past the sum of the totals.
std::vector<tShardPiece> PlanPieces(int32_t start, int32_t pageCount,
                                    const std::vector<int32_t>& totals);

// The records of one piece as a page holds them: records [first, first + count) of *page.
struct tPieceRecords {
  const ResultPage* page;
  int32_t first;
  int32_t count;
};

// Appends the pieces' records (of `fieldCount` values each) to *page in order, counting them
// in page->returned. Like one server, the page ends before the first record whose packed form
// would take it past an int32 length (CPackedPageBudget), and where a piece's page holds fewer
// records than the piece (a shard that cut its own page short).
void SplicePieces(const std::vector<tPieceRecords>& pieces, int32_t fieldCount, ResultPage* page);

class CShardBroker {
 public:
  // `fieldCount`: the stored fields of the schema every shard must serve.
  CShardBroker(std::vector<tShard> shards, int32_t fieldCount, int timeoutSeconds);
  virtual ~CShardBroker();
  CShardBroker(const CShardBroker&) = delete;
  CShardBroker& operator=(const CShardBroker&) = delete;

  // The page of `query` at `start` with `pageCount`, as one server over the whole set would
  // give it. False when a shard failed (*failedShard then holds its name) or refused the
  // query; *stop, when given, says which.
  bool Answer(const std::string& query, int32_t start, int32_t pageCount, ResultPage* page,
              std::string* failedShard, BrokerStop* stop = nullptr) const;

  // The time budget of one query on the shards (QueryTimeoutMs; 0: none): a refusal that
  // comes after it is a query past its budget, one before it a query too large.
  void SetQueryTimeoutMs(int milliseconds) { m_queryTimeoutMs = milliseconds; }

  // The start-up check: every shard answers an empty query with a page of `fieldCount`
  // stored fields. False with a one-line *error naming the first shard that does not.
  bool CheckShards(std::string* error) const;

  const std::vector<tShard>& shards() const { return m_shards; }
  // Queries each shard failed, in shard order.
  int64_t Failures(size_t shard) const { return m_failures[shard].load(); }
  // trindle_shard_failures_total{shard="host:port"} for /metrics.
  std::string RenderMetrics() const;

 private:
  // Sends every request at once and collects the pages into pages[i] (one per request).
  // False at the first shard that fails, with its index in *failed; *closed is set when that
  // shard closed the connection without a byte of answer after taking the whole request.
  bool Round(const std::string& query, const std::vector<tShardRequest>& requests,
             std::vector<ResultPage>* pages, size_t* failed, bool* closed = nullptr) const;
  // A failed round: a refusal of the query when the shard closed without answering and still
  // answers an empty query, else a failure of the shard (counted).
  bool Stop(size_t shard, bool closed, std::chrono::steady_clock::time_point started,
            std::string* failedShard, BrokerStop* stop) const;
  bool Fail(size_t shard, std::string* failedShard) const;
  // A shard whose page cap is below the broker's returns a short page: the rest of its piece
  // is asked for again from where the page ended, until the piece is whole or a page brings
  // nothing (a page cut short by its int32 length). The pages made are kept in *filled and
  // the piece's records point into them. False as Answer fails.
  bool FillShortPieces(const std::string& query, const std::vector<tShardPiece>& pieces,
                       std::vector<tPieceRecords>* records,
                       std::vector<std::unique_ptr<ResultPage>>* filled,
                       std::chrono::steady_clock::time_point started, std::string* failedShard,
                       BrokerStop* stop) const;

  std::vector<tShard> m_shards;
  int32_t m_fieldCount;
  int m_timeoutSeconds;
  int m_queryTimeoutMs = 0;
  std::unique_ptr<std::atomic<int64_t>[]> m_failures;
};

// Serves one binary connection of a broker: the exchange of ServAClient, with the page asked
// of the shards. A failed shard closes the connection without an answer (logged, naming it).
void ServeBrokerClient(CSocket socket, const CShardBroker& broker, const tConnectionLimits& limits,
                       CServerMetrics* metrics);
