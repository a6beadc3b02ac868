#include "server/shard_broker.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

#include "core/util/daily_log.h"
#include "core/util/string_format.h"
#include "net/query_exchange.h"
#include "net/socket_io.h"
#include "server/connection.h"

namespace {

// Windows that end within this many hits are answered in one round (see Answer).
constexpr int64_t kOneRoundReach = 200;
// Rounds that may follow a shard's short page to fill its piece of the window.
constexpr int kMaxRefills = 1000;

// Appends records [first, last) of `from` (of `fields` values each) to *to.
void AppendRecords(const ResultPage& from, int32_t first, int32_t last, size_t fields,
                   ResultPage* to) {
  size_t value = 0;
  size_t text = 0;
  for (int32_t record = 0; record < first; ++record) {
    for (size_t column = 0; column < fields; ++column) {
      text += static_cast<size_t>(from.valueLengths[value++]);
    }
  }
  size_t bytes = 0;
  const size_t values = static_cast<size_t>(last - first) * fields;
  for (size_t i = 0; i < values; ++i) bytes += static_cast<size_t>(from.valueLengths[value + i]);
  to->valueLengths.insert(to->valueLengths.end(), from.valueLengths.begin() + value,
                          from.valueLengths.begin() + value + values);
  to->text.append(from.text, text, bytes);
  to->returned += last - first;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

}  // namespace

std::vector<tShardRequest> PlanFirstRound(int32_t start, int32_t pageCount, size_t shardCount) {
  const bool wantsHits = start >= 0 && pageCount >= 1;
  const int64_t reach = wantsHits ? int64_t{start} + pageCount : 0;
  const bool oneRound = wantsHits && reach <= kOneRoundReach;
  std::vector<tShardRequest> first;
  for (size_t shard = 0; shard < shardCount; ++shard) {
    if (shard == 0 && wantsHits) {
      first.push_back({shard, start, pageCount});
    } else {
      first.push_back({shard, 0, oneRound ? static_cast<int32_t>(reach) : 0});
    }
  }
  return first;
}

std::vector<tShardPiece> PlanPieces(int32_t start, int32_t pageCount,
                                    const std::vector<int32_t>& totals) {
  std::vector<tShardPiece> pieces;
  int64_t total = 0;
  for (int32_t shardTotal : totals) total += shardTotal;
  const bool wantsHits = start >= 0 && pageCount >= 1;
  if (!wantsHits || start >= total || totals.empty()) return pieces;
  const bool oneRound = int64_t{start} + pageCount <= kOneRoundReach;
  const int64_t end = start + std::min<int64_t>(pageCount, total - start);
  // The first shard was asked for the window itself: its page starts with the piece.
  if (start < totals[0]) {
    pieces.push_back(
        {0, start, static_cast<int32_t>(std::min<int64_t>(end, totals[0]) - start), 0, false});
  }
  int64_t offset = totals[0];
  for (size_t shard = 1; shard < totals.size(); ++shard) {
    const int64_t low = std::max<int64_t>(start, offset);
    const int64_t high = std::min<int64_t>(end, offset + totals[shard]);
    if (low < high) {
      const auto local = static_cast<int32_t>(low - offset);
      const auto count = static_cast<int32_t>(high - low);
      // Near the front a later shard's first-round page holds its first start + pageCount
      // hits, the piece among them; deeper, the second round asks for the piece alone.
      pieces.push_back({shard, local, count, oneRound ? local : 0, !oneRound});
    }
    offset += totals[shard];
  }
  return pieces;
}

void SplicePieces(const std::vector<tPieceRecords>& pieces, int32_t fieldCount, ResultPage* page) {
  const auto fields = static_cast<size_t>(std::max(fieldCount, 0));
  CPackedPageBudget budget;
  for (const tPieceRecords& piece : pieces) {
    const ResultPage& from = *piece.page;
    size_t value = 0;
    size_t text = 0;
    for (int32_t record = 0; record < piece.first && record < from.returned; ++record) {
      for (size_t column = 0; column < fields; ++column) {
        text += static_cast<size_t>(from.valueLengths[value++]);
      }
    }
    const int32_t last = std::min(from.returned, piece.first + piece.count);
    for (int32_t record = piece.first; record < last; ++record) {
      size_t recordBytes = 0;
      for (size_t column = 0; column < fields; ++column) {
        recordBytes += static_cast<size_t>(from.valueLengths[value + column]);
      }
      if (!budget.Take(static_cast<int64_t>(fields), static_cast<int64_t>(recordBytes))) return;
      page->valueLengths.insert(page->valueLengths.end(), from.valueLengths.begin() + value,
                                from.valueLengths.begin() + value + fields);
      page->text.append(from.text, text, recordBytes);
      value += fields;
      text += recordBytes;
      ++page->returned;
    }
    // A piece cut short (by its shard's int32 length) ends the page there.
    if (last < piece.first + piece.count) return;
  }
}

bool ParseShardList(const std::string& text, std::vector<tShard>* shards, std::string* error) {
  shards->clear();
  size_t begin = 0;
  for (;;) {
    const size_t comma = text.find(',', begin);
    const std::string item =
        Trim(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    const size_t colon = item.rfind(':');
    const std::string port = colon == std::string::npos ? "" : item.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (colon == 0 || !digits || std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535) {
      *error = "Invalid shard \"" + item + "\": give host:port, separated by commas";
      return false;
    }
    tShard shard;
    shard.name = item;
    shard.port = static_cast<uint16_t>(std::atoi(port.c_str()));
    int code = 0;
    if (!ResolveAddress(item.substr(0, colon), &shard.address, &code)) {
      *error = "Shard " + item + ": cannot resolve hostname";
      return false;
    }
    shards->push_back(shard);
    if (comma == std::string::npos) return true;
    begin = comma + 1;
  }
}

SearchStop RefusalOf(BrokerStop stop) {
  switch (stop) {
    case BrokerStop::kTooLarge:
      return SearchStop::kTooLarge;
    case BrokerStop::kTimedOut:
      return SearchStop::kTimedOut;
    case BrokerStop::kNone:
    case BrokerStop::kShardFailed:
      break;
  }
  return SearchStop::kNone;
}

CShardBroker::CShardBroker(std::vector<tShard> shards, int32_t fieldCount, int timeoutSeconds)
    : m_shards(std::move(shards)),
      m_fieldCount(fieldCount),
      m_timeoutSeconds(timeoutSeconds),
      m_failures(new std::atomic<int64_t>[m_shards.size()]) {
  for (size_t i = 0; i < m_shards.size(); ++i) m_failures[i].store(0);
}

CShardBroker::~CShardBroker() = default;

bool CShardBroker::Round(const std::string& query, const std::vector<tShardRequest>& requests,
                         std::vector<ResultPage>* pages, size_t* failed, bool* closed) const {
  if (closed != nullptr) *closed = false;
  const Deadline deadline = DeadlineAfter(m_timeoutSeconds);
  std::vector<CQueryExchange> exchanges(requests.size());
  // Every request goes out before any answer is read, so the shards work at the same time.
  for (size_t i = 0; i < requests.size(); ++i) {
    *failed = requests[i].shard;
    const tShard& shard = m_shards[requests[i].shard];
    int error = 0;
    if (!exchanges[i].Connect(shard.address, shard.port, deadline, &error)) return false;
    SetNoDelay(exchanges[i].fd());
    if (!exchanges[i].Send(requests[i].start, requests[i].pageCount, query.c_str(), deadline)) {
      return false;
    }
  }
  pages->assign(requests.size(), ResultPage());
  for (size_t i = 0; i < requests.size(); ++i) {
    *failed = requests[i].shard;
    const ExchangeStatus received = exchanges[i].Receive(deadline);
    if (received != ExchangeStatus::kOk) {
      if (closed != nullptr) {
        // Nothing arrived before the deadline: the shard closed the connection.
        *closed =
            received == ExchangeStatus::kClosed && std::chrono::steady_clock::now() < deadline;
      }
      return false;
    }
    if (exchanges[i].page().fieldCount != m_fieldCount) return false;
    (*pages)[i] = exchanges[i].page();
  }
  return true;
}

bool CShardBroker::Stop(size_t shard, bool closed, std::chrono::steady_clock::time_point started,
                        std::string* failedShard, BrokerStop* stop) const {
  const auto elapsed = std::chrono::steady_clock::now() - started;
  std::vector<ResultPage> pages;
  size_t failed = 0;
  if (closed && Round("", {{shard, 0, 0}}, &pages, &failed)) {
    const bool late =
        m_queryTimeoutMs > 0 && elapsed >= std::chrono::milliseconds(m_queryTimeoutMs);
    if (stop != nullptr) *stop = late ? BrokerStop::kTimedOut : BrokerStop::kTooLarge;
    failedShard->clear();
    return false;
  }
  if (stop != nullptr) *stop = BrokerStop::kShardFailed;
  return Fail(shard, failedShard);
}

bool CShardBroker::Fail(size_t shard, std::string* failedShard) const {
  m_failures[shard].fetch_add(1);
  *failedShard = m_shards[shard].name;
  return false;
}

bool CShardBroker::Answer(const std::string& query, int32_t start, int32_t pageCount,
                          ResultPage* page, std::string* failedShard, BrokerStop* stop) const {
  if (stop != nullptr) *stop = BrokerStop::kNone;
  const auto started = std::chrono::steady_clock::now();
  page->start = start;
  page->fieldCount = m_fieldCount;
  page->returned = 0;
  page->valueLengths.clear();
  page->text.clear();
  std::vector<ResultPage> firstPages;
  size_t failed = 0;
  bool closed = false;
  if (!Round(query, PlanFirstRound(start, pageCount, m_shards.size()), &firstPages, &failed,
             &closed)) {
    return Stop(failed, closed, started, failedShard, stop);
  }
  std::vector<int32_t> totals;
  int64_t total = 0;
  for (const ResultPage& shardPage : firstPages) {
    totals.push_back(shardPage.total);
    total += shardPage.total;
  }
  page->total = static_cast<int32_t>(std::min<int64_t>(total, std::numeric_limits<int32_t>::max()));
  const std::vector<tShardPiece> pieces = PlanPieces(start, pageCount, totals);

  // The pieces the first round's pages do not hold are asked for in a second round.
  std::vector<tShardRequest> second;
  std::vector<tPieceRecords> records;
  for (const tShardPiece& piece : pieces) {
    records.push_back(
        {piece.secondRound ? nullptr : &firstPages[piece.shard], piece.first, piece.count});
    if (piece.secondRound) second.push_back({piece.shard, piece.local, piece.count});
  }
  std::vector<ResultPage> secondPages;
  if (!second.empty() && !Round(query, second, &secondPages, &failed, &closed)) {
    return Stop(failed, closed, started, failedShard, stop);
  }
  size_t answered = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (!pieces[i].secondRound) continue;
    const ResultPage& shardPage = secondPages[answered++];
    // A shard that changed its data set between the rounds would shift the window.
    if (shardPage.total != totals[pieces[i].shard]) {
      if (stop != nullptr) *stop = BrokerStop::kShardFailed;
      return Fail(pieces[i].shard, failedShard);
    }
    records[i].page = &shardPage;
  }
  std::vector<std::unique_ptr<ResultPage>> filled;
  if (!FillShortPieces(query, pieces, &records, &filled, started, failedShard, stop)) return false;
  SplicePieces(records, m_fieldCount, page);
  return true;
}

bool CShardBroker::FillShortPieces(const std::string& query, const std::vector<tShardPiece>& pieces,
                                   std::vector<tPieceRecords>* records,
                                   std::vector<std::unique_ptr<ResultPage>>* filled,
                                   std::chrono::steady_clock::time_point started,
                                   std::string* failedShard, BrokerStop* stop) const {
  const auto fields = static_cast<size_t>(m_fieldCount);
  for (size_t i = 0; i < pieces.size(); ++i) {
    const tShardPiece& piece = pieces[i];
    tPieceRecords& held = (*records)[i];
    const ResultPage& from = *held.page;
    if (from.returned >= held.first + held.count) continue;
    auto whole = std::make_unique<ResultPage>();
    whole->total = from.total;
    whole->fieldCount = from.fieldCount;
    if (from.returned > held.first) {
      AppendRecords(from, held.first, from.returned, fields, whole.get());
    }
    for (int round = 0; round < kMaxRefills && whole->returned < piece.count; ++round) {
      std::vector<ResultPage> more;
      size_t failed = 0;
      bool closed = false;
      if (!Round(query,
                 {{piece.shard, piece.local + whole->returned, piece.count - whole->returned}},
                 &more, &failed, &closed)) {
        return Stop(failed, closed, started, failedShard, stop);
      }
      if (more[0].total != from.total) {
        if (stop != nullptr) *stop = BrokerStop::kShardFailed;
        return Fail(piece.shard, failedShard);
      }
      if (more[0].returned <= 0) break;
      AppendRecords(more[0], 0, more[0].returned, fields, whole.get());
    }
    held.page = whole.get();
    held.first = 0;
    filled->push_back(std::move(whole));
  }
  return true;
}

bool CShardBroker::CheckShards(std::string* error) const {
  for (size_t shard = 0; shard < m_shards.size(); ++shard) {
    std::vector<ResultPage> pages;
    size_t failed = 0;
    if (Round("", {{shard, 0, 0}}, &pages, &failed)) continue;
    *error = "Shard " + m_shards[shard].name + " does not answer with a page of the " +
             std::to_string(m_fieldCount) + " stored fields of FieldInfo";
    return false;
  }
  return true;
}

std::string CShardBroker::RenderMetrics() const {
  std::string text =
      "# HELP trindle_shard_failures_total Queries failed because a shard did not answer.\n"
      "# TYPE trindle_shard_failures_total counter\n";
  for (size_t shard = 0; shard < m_shards.size(); ++shard) {
    text += "trindle_shard_failures_total{shard=\"" + m_shards[shard].name + "\"} " +
            std::to_string(m_failures[shard].load()) + "\n";
  }
  return text;
}

void ServeBrokerClient(CSocket socket, const CShardBroker& broker, const tConnectionLimits& limits,
                       CServerMetrics* metrics) {
  ResultPage page;
  ServeRequest(std::move(socket), limits, metrics,
               [&](const QueryRequest& request, trindle::Outcome* outcome) -> const ResultPage* {
                 std::string failed;
                 BrokerStop stop = BrokerStop::kNone;
                 // The page cap holds through a broker as on a server over the whole table.
                 if (!broker.Answer(request.text, request.start, CappedPageCount(request, limits),
                                    &page, &failed, &stop)) {
                   // A query the shards refused is refused as one server refuses it.
                   if (RefuseStopped(RefusalOf(stop), limits, outcome)) return nullptr;
                   std::printf("Shard %s failed\n", failed.c_str());
                   WriteLog("Shard " + failed + " failed: no answer to the query");
                   return nullptr;
                 }
                 std::printf("result count %d \n", page.total);
                 std::printf("start %d pagecount %d\n", request.start, request.pageCount);
                 std::printf("return result count %d \n", page.returned);
                 return &page;
               });
}
