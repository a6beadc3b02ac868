// Load generator for the HTTP interface of SearchServer: the queries of server_bench (same
// sampler, same seed), sent as GET /search over keep-alive HTTP/1.1 connections, one per
// client thread; every answer's total is checked against the in-process query engine.
//
//   http_bench BASE SCHEMA.dat TRIE WORDLIST HTTP_PORT [clients=1,4,16] [seconds=5]
//              [phrases=1000] [pairs=200] [seed=7]
//
// Prints queries/s, latency p50/p99/max and the failures by kind (connect refused or
// closed, bad answer, wrong total) for each client count.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_options.h"
#include "core/query/query.h"
#include "core/text/encoding.h"
#include "net/socket_io.h"
#include "testing/net/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;

struct tQuery {
  std::string request;  // the whole HTTP request
  int32_t total = 0;    // the in-process engine's answer
};

struct tClientRun {
  std::vector<double> latencies;  // microseconds
  long connectFailures = 0, badAnswers = 0, wrongTotals = 0;
};

// One keep-alive connection to the HTTP port.
class CConnection {
 public:
  bool Open(uint16_t port) {
    m_client = std::make_unique<CHttpTestClient>(port);
    return m_client->valid();
  }
  bool valid() const { return m_client != nullptr && m_client->valid(); }
  void Close() { m_client.reset(); }

  // One exchange: 0 when the total matches, 2 bad or no answer, 3 wrong total.
  int Exchange(const tQuery& query) {
    if (!m_client->Send(query.request)) return 2;
    const tHttpReply response = m_client->Read();
    if (response.status != 200) return 2;
    const size_t total = response.body.find("\"total\":");
    const long answer = total != std::string::npos ? std::atol(&response.body[total + 8]) : -1;
    if (response.headers.find("Connection: close") != std::string::npos) Close();
    return answer == query.total ? 0 : 3;
  }

 private:
  std::unique_ptr<CHttpTestClient> m_client;
};

void RunClient(uint16_t port, const std::vector<tQuery>& queries, size_t first,
               Clock::time_point until, tClientRun* run) {
  CConnection connection;
  for (size_t i = first; Clock::now() < until; i = (i + 7) % queries.size()) {
    auto started = Clock::now();
    if (!connection.valid() && !connection.Open(port)) {
      ++run->connectFailures;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    const int outcome = connection.Exchange(queries[i]);
    run->latencies.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - started).count());
    if (outcome == 2) {
      ++run->badAnswers;
      connection.Close();
    }
    if (outcome == 3) ++run->wrongTotals;
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::tLoadOptions options;
  if (!bench::ParseLoadOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s BASE SCHEMA.dat TRIE WORDLIST HTTP_PORT [clients=1,4,16] "
                 "[seconds=5] [phrases=1000] [pairs=200] [seed=7]\n",
                 argv[0]);
    return 2;
  }
  const uint16_t port = options.port;
  const std::vector<int>& clientCounts = options.clientCounts;
  const int seconds = options.seconds;
  const int phrases = options.phrases;
  const int pairs = options.pairs;
  std::vector<bench::tSampledQuery> sampledQueries;
  if (!bench::SampleQueries(options, &sampledQueries)) return 1;
  std::vector<tQuery> queries;
  for (const bench::tSampledQuery& sampled : sampledQueries) {
    tQuery query;
    query.total = sampled.total;
    query.request = "GET /search?q=" + PercentEncode(GbkToUtf8(sampled.text)) +
                    "&start=0&count=20 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    queries.push_back(std::move(query));
  }

  std::printf("%zu queries (%d phrases, %d pairs), %d s per client count, HTTP port %u\n",
              queries.size(), phrases, pairs, seconds, port);
  std::printf("%8s %10s %10s %10s %10s %10s %8s %8s %8s\n", "clients", "answers", "q/s", "p50 us",
              "p99 us", "max us", "connect", "bad", "wrong");
  int status = 0;
  for (int clients : clientCounts) {
    std::vector<tClientRun> runs(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    auto started = Clock::now();
    auto until = started + std::chrono::seconds(seconds);
    for (int client = 0; client < clients; ++client) {
      threads.emplace_back(RunClient, port, std::cref(queries),
                           static_cast<size_t>(client) * 131 % queries.size(), until,
                           &runs[static_cast<size_t>(client)]);
    }
    for (std::thread& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    tClientRun all;
    for (tClientRun& run : runs) {
      all.latencies.insert(all.latencies.end(), run.latencies.begin(), run.latencies.end());
      all.connectFailures += run.connectFailures;
      all.badAnswers += run.badAnswers;
      all.wrongTotals += run.wrongTotals;
    }
    const size_t answers = all.latencies.size();
    const double maximum =
        answers > 0 ? *std::max_element(all.latencies.begin(), all.latencies.end()) : 0;
    std::printf("%8d %10zu %10.0f %10.1f %10.1f %10.0f %8ld %8ld %8ld\n", clients, answers,
                static_cast<double>(answers) / elapsed, bench::Percentile(&all.latencies, 0.5),
                bench::Percentile(&all.latencies, 0.99), maximum, all.connectFailures,
                all.badAnswers, all.wrongTotals);
    std::fflush(stdout);
    if (all.connectFailures + all.badAnswers + all.wrongTotals > 0) status = 3;
  }
  return status;
}
