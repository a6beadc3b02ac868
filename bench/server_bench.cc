// Load generator for SearchServer: speaks the wire protocol over loopback, one connection per
// query as the protocol has it. Queries are sampled from the records of the data set the
// server serves (the sampler of query_bench, same seed, same queries), and every answer's
// total is checked against the in-process query engine over the same files.
//
//   server_bench BASE SCHEMA.dat TRIE WORDLIST PORT [clients=1,4,16] [seconds=5]
//                [phrases=1000] [pairs=200] [seed=7]
//
// For each client count: that many threads send queries for the given time (bounded), each
// waiting for its answer before the next. Prints queries/s, latency p50/p99/max, and the
// failures by kind (connect refused or reset, short answer, wrong total).
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_options.h"
#include "core/query/query.h"
#include "core/query/result_page.h"
#include "core/util/byte_io.h"
#include "net/frame.h"
#include "net/socket_io.h"
#include "testing/net/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;

struct tQuery {
  std::string body;   // the request body
  int32_t total = 0;  // the in-process engine's answer
};

struct tClientRun {
  std::vector<double> latencies;  // microseconds
  long connectFailures = 0, shortAnswers = 0, wrongTotals = 0;
};

// One exchange; 0 when the answer's total matches, else the failure kind (1 connect, 2 short,
// 3 wrong total).
int Exchange(in_addr address, uint16_t port, const tQuery& query, std::string* buffer) {
  CSocket socket;
  int error = 0;
  if (!ConnectTcp(address, port, DeadlineAfter(10), &socket, &error)) return 1;
  const Deadline deadline = DeadlineAfter(10);
  const auto bodyLength = static_cast<int32_t>(query.body.size());
  if (SendFrame(socket.fd(), query.body.data(), bodyLength, deadline) !=
      bodyLength + kFrameLengthBytes) {
    return 2;
  }
  if (ReceiveFrame(socket.fd(), kPageHeaderBytes, INT32_MAX, deadline, buffer).status !=
      FrameStatus::kOk) {
    return 2;
  }
  int32_t total = 0;
  std::memcpy(&total, buffer->data(), 4);
  return total == query.total ? 0 : 3;
}

void RunClient(in_addr address, uint16_t port, const std::vector<tQuery>& queries, size_t first,
               Clock::time_point until, tClientRun* run) {
  std::string buffer;
  for (size_t i = first; Clock::now() < until; i = (i + 7) % queries.size()) {
    auto started = Clock::now();
    int outcome = Exchange(address, port, queries[i], &buffer);
    run->latencies.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - started).count());
    if (outcome == 1) ++run->connectFailures;
    if (outcome == 2) ++run->shortAnswers;
    if (outcome == 3) ++run->wrongTotals;
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::tLoadOptions options;
  if (!bench::ParseLoadOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: %s BASE SCHEMA.dat TRIE WORDLIST PORT [clients=1,4,16] [seconds=5] "
                 "[phrases=1000] [pairs=200] [seed=7]\n",
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
    query.body = RequestBody(sampled.text, 0, 20);
    queries.push_back(std::move(query));
  }

  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  std::printf("%zu queries (%d phrases, %d pairs), %d s per client count, port %u\n",
              queries.size(), phrases, pairs, seconds, port);
  std::printf("%8s %10s %10s %10s %10s %10s %8s %8s %8s\n", "clients", "answers", "q/s", "p50 us",
              "p99 us", "max us", "connect", "short", "wrong");
  int status = 0;
  for (int clients : clientCounts) {
    std::vector<tClientRun> runs(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    auto started = Clock::now();
    auto until = started + std::chrono::seconds(seconds);
    for (int client = 0; client < clients; ++client) {
      threads.emplace_back(RunClient, loopback, port, std::cref(queries),
                           static_cast<size_t>(client) * 131 % queries.size(), until,
                           &runs[static_cast<size_t>(client)]);
    }
    for (std::thread& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    tClientRun all;
    for (tClientRun& run : runs) {
      all.latencies.insert(all.latencies.end(), run.latencies.begin(), run.latencies.end());
      all.connectFailures += run.connectFailures;
      all.shortAnswers += run.shortAnswers;
      all.wrongTotals += run.wrongTotals;
    }
    const size_t answers = all.latencies.size();
    const double maximum =
        answers > 0 ? *std::max_element(all.latencies.begin(), all.latencies.end()) : 0;
    std::printf("%8d %10zu %10.0f %10.1f %10.1f %10.0f %8ld %8ld %8ld\n", clients, answers,
                static_cast<double>(answers) / elapsed, bench::Percentile(&all.latencies, 0.5),
                bench::Percentile(&all.latencies, 0.99), maximum, all.connectFailures,
                all.shortAnswers, all.wrongTotals);
    std::fflush(stdout);
    if (all.connectFailures + all.shortAnswers + all.wrongTotals > 0) status = 3;
  }
  return status;
}
