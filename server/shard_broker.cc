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

bool CShardBroker::Round(const std::string& query, const std::vector<tRequest>& requests,
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
  // Round one: the first shard answers the window as it stands. A later shard's part of the
  // window starts at most at `start` of its own hits and ends before `start + pageCount`, so
  // for windows near the front each later shard is asked for its first start + pageCount hits
  // and one round answers the query; deeper windows ask the later shards for their totals and
  // take their parts in a second round.
  const bool wantsHits = start >= 0 && pageCount >= 1;
  const int64_t reach = wantsHits ? int64_t{start} + pageCount : 0;
  const bool oneRound = wantsHits && reach <= kOneRoundReach;
  std::vector<tRequest> first;
  for (size_t shard = 0; shard < m_shards.size(); ++shard) {
    if (shard == 0 && wantsHits) {
      first.push_back({shard, start, pageCount});
    } else {
      first.push_back({shard, 0, oneRound ? static_cast<int32_t>(reach) : 0});
    }
  }
  std::vector<ResultPage> firstPages;
  size_t failed = 0;
  bool closed = false;
  if (!Round(query, first, &firstPages, &failed, &closed)) {
    return Stop(failed, closed, started, failedShard, stop);
  }
  int64_t total = 0;
  for (const ResultPage& shardPage : firstPages) total += shardPage.total;
  page->total = static_cast<int32_t>(std::min<int64_t>(total, std::numeric_limits<int32_t>::max()));
  if (!wantsHits || start >= total) return true;
  const int64_t end = start + std::min<int64_t>(pageCount, total - start);

  // The part of the window each shard holds: hits [first, first + count) of its page, which
  // are the shard's hits from `local` on.
  struct tPiece {
    const ResultPage* page;
    int32_t first;
    int32_t count;
    size_t shard;
    int32_t local;
  };
  std::vector<tPiece> pieces;
  if (start < firstPages[0].total) {
    pieces.push_back({&firstPages[0], 0,
                      static_cast<int32_t>(std::min<int64_t>(end, firstPages[0].total) - start), 0,
                      start});
  }
  std::vector<tRequest> second;
  std::vector<size_t> secondPiece;  // the piece each second-round answer fills
  int64_t offset = firstPages[0].total;
  for (size_t shard = 1; shard < m_shards.size(); ++shard) {
    const int64_t low = std::max<int64_t>(start, offset);
    const int64_t high = std::min<int64_t>(end, offset + firstPages[shard].total);
    if (low < high) {
      const auto localStart = static_cast<int32_t>(low - offset);
      const auto count = static_cast<int32_t>(high - low);
      if (oneRound) {
        pieces.push_back({&firstPages[shard], localStart, count, shard, localStart});
      } else {
        secondPiece.push_back(pieces.size());
        pieces.push_back({nullptr, 0, count, shard, localStart});
        second.push_back({shard, localStart, count});
      }
    }
    offset += firstPages[shard].total;
  }
  std::vector<ResultPage> secondPages;
  if (!second.empty() && !Round(query, second, &secondPages, &failed, &closed)) {
    return Stop(failed, closed, started, failedShard, stop);
  }
  for (size_t i = 0; i < second.size(); ++i) {
    // A shard that changed its data set between the rounds would shift the window.
    if (secondPages[i].total != firstPages[second[i].shard].total) {
      if (stop != nullptr) *stop = BrokerStop::kShardFailed;
      return Fail(second[i].shard, failedShard);
    }
    pieces[secondPiece[i]].page = &secondPages[i];
  }

  // A shard whose page cap is below the broker's returns a short page: the rest of its piece
  // is asked for again from where the page ended, until the piece is whole or a page brings
  // nothing (a page cut short by its int32 length).
  std::vector<std::unique_ptr<ResultPage>> filled;
  const auto fields = static_cast<size_t>(m_fieldCount);
  for (tPiece& piece : pieces) {
    const ResultPage& from = *piece.page;
    if (from.returned >= piece.first + piece.count) continue;
    auto whole = std::make_unique<ResultPage>();
    whole->total = from.total;
    whole->fieldCount = from.fieldCount;
    if (from.returned > piece.first)
      AppendRecords(from, piece.first, from.returned, fields, whole.get());
    for (int round = 0; round < kMaxRefills && whole->returned < piece.count; ++round) {
      std::vector<ResultPage> more;
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
    piece.page = whole.get();
    piece.first = 0;
    filled.push_back(std::move(whole));
  }

  // The pieces in shard order. Like one server, the page ends before the first record whose
  // packed form would take the body past an int32 length, and where a shard cut its own page
  // short for the same reason.
  const int64_t budget = std::numeric_limits<int32_t>::max();
  int64_t packedSize = 20;
  for (const tPiece& piece : pieces) {
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
      int64_t recordSize = 0;
      size_t recordBytes = 0;
      for (size_t column = 0; column < fields; ++column) {
        const int32_t length = from.valueLengths[value + column];
        recordSize += 4 + length;
        recordBytes += static_cast<size_t>(length);
      }
      if (packedSize + recordSize > budget) return true;
      packedSize += recordSize;
      page->valueLengths.insert(page->valueLengths.end(), from.valueLengths.begin() + value,
                                from.valueLengths.begin() + value + fields);
      page->text.append(from.text, text, recordBytes);
      value += fields;
      text += recordBytes;
      ++page->returned;
    }
    if (last < piece.first + piece.count) return true;
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
