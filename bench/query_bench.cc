// Query benchmark over a saved data set (indexer mode 4 output), loaded as the server loads
// it. Queries are sampled from the records with a fixed seed:
//  - phrase queries of 1 to 3 consecutive dictionary words taken from a record's indexed
//    and stored field, "[FIELD] <field> [AND] <phrase>";
//  - two-condition queries: a phrase on one field plus a phrase of the same record on the
//    all-fields entry "*", or plus a filter condition with the record's filter value.
// Each query runs Execute + GetPage(0, 20). Reported: queries/s on one thread and on
// several, and the latency median and 99th percentile.
//
//   query_bench BASE SCHEMA.dat TRIE WORDLIST [phrases=1000] [pairs=200] [threads=2] [seed=7]
//               [rounds=20]
// Every measurement answers its query list `rounds` times, so that the multi-thread run lasts
// long enough for thread start-up not to count.
// TRINDLE_BENCH_MATCH=contains answers with contains matching (a set with contains indexes),
// TRINDLE_BENCH_ORDER=relevance ranks every query's hits before taking the page, as /search
// does with those parameters.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/data_set.h"
#include "bench/query_sampler.h"
#include "core/query/query.h"
#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"
#include "core/text/word_list.h"

namespace {

using bench::CSampler;

using Clock = std::chrono::steady_clock;

struct tRun {
  double seconds = 0;
  std::vector<double> latencies;  // microseconds, in the order the queries were answered
  std::vector<int> hitsPerQuery;
  long hits = 0;
};

void RunQueries(const CFieldInfo& schema, const CDataLineIndex& store,
                const std::vector<std::string>& queries, size_t first, size_t step, int rounds,
                tRun* run) {
  CQuery query(schema, store);
  query.SetLimits({1000, 2000});  // the server's default MaxQueryWords and QueryTimeoutMs
  const char* match = std::getenv("TRINDLE_BENCH_MATCH");
  const char* order = std::getenv("TRINDLE_BENCH_ORDER");
  const bool relevance = order != nullptr && std::strcmp(order, "relevance") == 0;
  if (match != nullptr && std::strcmp(match, "contains") == 0) query.SetMatch(MatchMode::kContains);
  const std::vector<double> weights;  // every field weighs 1
  auto started = Clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = first; i < queries.size(); i += step) {
      auto start = Clock::now();
      int hits = query.Execute(queries[i].c_str());
      if (relevance) query.RankByRelevance(weights, 20);
      run->hits += hits;
      run->hitsPerQuery.push_back(hits);
      query.GetPage(0, 20);
      run->latencies.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  run->seconds = std::chrono::duration<double>(Clock::now() - started).count();
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// `queries` counts every query answered, all rounds and threads together.
void Report(const char* label, const std::vector<tRun>& runs, size_t queries) {
  std::vector<double> latencies;
  double seconds = 0;
  long hits = 0;
  for (const tRun& run : runs) {
    latencies.insert(latencies.end(), run.latencies.begin(), run.latencies.end());
    seconds = std::max(seconds, run.seconds);
    hits += run.hits;
  }
  std::printf(
      "%-28s %5zu queries, %8.0f queries/s, p50 %7.1f us, p99 %8.1f us, max %8.1f us, "
      "%.0f hits avg\n",
      label, queries, static_cast<double>(queries) / seconds, Percentile(latencies, 0.5),
      Percentile(latencies, 0.99), Percentile(latencies, 1.0),
      static_cast<double>(hits) / static_cast<double>(queries));
}

// The slowest 1% of a one-thread run over `queries` (answered `rounds` times): each query's
// median latency, its hits and its text (GBK).
void ReportSlowest(const tRun& run, const std::vector<std::string>& queries, int rounds) {
  std::vector<std::pair<double, size_t>> medians;
  for (size_t i = 0; i < queries.size(); ++i) {
    std::vector<double> mine;
    for (int round = 0; round < rounds; ++round) {
      mine.push_back(run.latencies[static_cast<size_t>(round) * queries.size() + i]);
    }
    medians.push_back({Percentile(mine, 0.5), i});
  }
  std::sort(medians.rbegin(), medians.rend());
  // Where the time goes: the share of the summed medians that the slowest queries take.
  double sum = 0;
  for (const auto& median : medians) sum += median.first;
  double slowest = 0;
  std::printf("share of the summed medians (%.0f us per query):",
              sum / static_cast<double>(medians.size()));
  for (size_t k = 0, mark = 0; k < medians.size(); ++k) {
    slowest += medians[k].first;
    const size_t marks[] = {medians.size() / 100, medians.size() / 20, medians.size() / 10,
                            medians.size() / 4};
    while (mark < 4 && k + 1 == std::max<size_t>(1, marks[mark])) {
      const int percents[] = {1, 5, 10, 25};
      std::printf(" slowest %d%% %.0f%%", percents[mark], 100.0 * slowest / sum);
      ++mark;
    }
  }
  std::printf("\n");
  if (const char* dump = std::getenv("QUERY_BENCH_DUMP")) {  // every query's median, for study
    if (FILE* file = std::fopen(dump, "w")) {
      for (const auto& median : medians) {
        std::fprintf(file, "%.1f\t%d\t%s\n", median.first, run.hitsPerQuery[median.second],
                     queries[median.second].c_str());
      }
      std::fclose(file);
    }
  }
  size_t shown = std::max<size_t>(1, queries.size() / 100);
  std::printf("slowest 1%% (%zu queries): median us, hits, query\n", shown);
  for (size_t k = 0; k < shown && k < medians.size(); ++k) {
    std::printf("  %8.1f %7d  %s\n", medians[k].first, run.hitsPerQuery[medians[k].second],
                queries[medians[k].second].c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::printf(
        "usage: %s BASE SCHEMA.dat TRIE WORDLIST [phrases] [pairs] [threads] [seed] [rounds]\n",
        argv[0]);
    return 1;
  }
  const int phraseCount = argc > 5 ? std::atoi(argv[5]) : 1000;
  const int pairCount = argc > 6 ? std::atoi(argv[6]) : 200;
  const int threads = argc > 7 ? std::max(1, std::atoi(argv[7])) : 2;
  const int seed = argc > 8 ? std::atoi(argv[8]) : 7;
  const int rounds = argc > 9 ? std::max(1, std::atoi(argv[9])) : 20;

  bench::CLoadedDataSet data;
  if (!data.Load(argv[1], argv[2], argv[3], argv[4])) return 1;
  const CFieldInfo& schema = data.schema;
  const CPDAT& trie = data.trie;
  const CDataLineIndex& store = *data.store;

  // QUERY_BENCH_SAMPLE_FROM=<base>: the queries are sampled from another data set of the same
  // schema, so that two sets (a change run's and a rebuild's) answer the same queries.
  bench::CLoadedDataSet sampled;
  const char* sampleFrom = std::getenv("QUERY_BENCH_SAMPLE_FROM");
  if (sampleFrom != nullptr && !sampled.Load(sampleFrom, argv[2], argv[3], argv[4])) return 1;
  CSampler sampler(schema, trie, sampleFrom != nullptr ? *sampled.store : store, seed);
  if (!sampler.usable()) {
    std::printf("no indexed and stored field to sample queries from\n");
    return 1;
  }
  std::vector<std::string> phrases;
  std::vector<std::string> pairs;
  for (int i = 0; i < phraseCount; ++i) phrases.push_back(sampler.PhraseQuery().text);
  for (int i = 0; i < pairCount; ++i) pairs.push_back(sampler.PairQuery());
  std::vector<std::string> all = phrases;
  all.insert(all.end(), pairs.begin(), pairs.end());

  for (int pass = 0; pass < 2; ++pass) {  // the first pass warms the caches
    std::vector<tRun> one(1);
    int passRounds = pass == 0 ? 1 : rounds;
    RunQueries(schema, store, phrases, 0, 1, passRounds, &one[0]);
    if (pass == 1) Report("phrases, 1 thread", one, phrases.size() * rounds);
    one[0] = tRun();
    RunQueries(schema, store, pairs, 0, 1, passRounds, &one[0]);
    if (pass == 1) Report("two conditions, 1 thread", one, pairs.size() * rounds);
    one[0] = tRun();
    RunQueries(schema, store, all, 0, 1, passRounds, &one[0]);
    if (pass == 1) {
      Report("all, 1 thread", one, all.size() * rounds);
      ReportSlowest(one[0], all, rounds);
    }
  }
  std::vector<tRun> runs(static_cast<size_t>(threads));
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back(RunQueries, std::cref(schema), std::cref(store), std::cref(all),
                         static_cast<size_t>(t), static_cast<size_t>(threads), rounds,
                         &runs[static_cast<size_t>(t)]);
  }
  for (std::thread& worker : workers) worker.join();
  std::string label = "all, " + std::to_string(threads) + " threads";
  Report(label.c_str(), runs, all.size() * rounds);
  return 0;
}
