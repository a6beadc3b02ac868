// Counters of the search server for monitoring, read by the HTTP interface's /metrics in the
// Prometheus text format. Every counter is an atomic updated without a lock, so the binary
// connections and the HTTP threads count in parallel; a scrape reads each counter once, so
// the figures of one scrape may be a few queries apart from each other.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace trindle {

// The interface a request came through.
enum class Interface { kBinary = 0, kHttp = 1 };
constexpr int kInterfaceCount = 2;

// The outcome of one query request. Binary requests are kOk, kFailed (a request that could
// not be read, answered or sent) or kProbe (a connection closed by its peer before it sent a
// byte: a balancer's TCP check, not a query; kept out of the latency histogram); HTTP
// requests are kOk, kBadRequest (400, 413), kUnavailable (503 while the data set loads) or
// kFailed. A query refused for its size is kBadRequest on either port; one stopped by its
// time budget is kTimedOut.
enum class Outcome {
  kOk = 0,
  kBadRequest = 1,
  kUnavailable = 2,
  kFailed = 3,
  kProbe = 4,
  kTimedOut = 5
};
constexpr int kOutcomeCount = 6;

}  // namespace trindle

class CServerMetrics {
 public:
  // Upper bounds of the latency histogram, in seconds; the last bucket is +Inf.
  static constexpr int kBucketCount = 12;
  static const double kBucketBounds[kBucketCount];

  CServerMetrics();
  virtual ~CServerMetrics();
  CServerMetrics(const CServerMetrics&) = delete;
  CServerMetrics& operator=(const CServerMetrics&) = delete;

  // A query request ended; `seconds` is the time from its parsed request to its answer.
  void CountQuery(trindle::Interface where, trindle::Outcome outcome, double seconds);
  void ConnectionStarted(trindle::Interface where);
  void ConnectionEnded(trindle::Interface where);
  void ConnectionRefused(trindle::Interface where);
  // The first load (`reload` false) or a reload ended.
  void DataSetLoaded(bool reload, bool loaded, int records, double seconds);

  int64_t Queries(trindle::Interface where, trindle::Outcome outcome) const;
  int64_t ConnectionsInProgress(trindle::Interface where) const;
  int64_t ConnectionsRefused(trindle::Interface where) const;

  // The Prometheus text exposition of every counter.
  std::string Render() const;

  // Counters kept elsewhere (a broker's shard failures), appended to Render's text. Set before
  // the first Render; `render` must be thread-safe and outlive this object's use.
  void SetExtraRenderer(std::function<std::string()> render) { m_extra = std::move(render); }

 private:
  struct tPerInterface {
    std::atomic<int64_t> queries[trindle::kOutcomeCount] = {};
    std::atomic<int64_t> buckets[kBucketCount + 1] = {};  // not cumulative; +Inf last
    std::atomic<int64_t> latencyMicros{0};
    std::atomic<int64_t> inProgress{0};
    std::atomic<int64_t> refused{0};
  };
  tPerInterface m_interfaces[trindle::kInterfaceCount];
  std::atomic<int64_t> m_reloadsSucceeded{0};
  std::atomic<int64_t> m_reloadsFailed{0};
  std::atomic<int64_t> m_records{0};
  std::atomic<int64_t> m_loadMicros{0};
  std::function<std::string()> m_extra;
};
