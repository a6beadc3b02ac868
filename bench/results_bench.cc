// The result options of the HTTP interface, in process (no network): the JSON answer of a
// page of 20 hits with and without snippets of the body, facet counts over a query with
// about 50,000 hits, and descending against ascending pages.
//
//   results_bench BASE SCHEMA.dat TRIE WORDLIST [queries=300] [runs=5] [mode=all|snippets|dump]
//                 [chars=0]
//
// Queries are the phrase queries of query_bench (same sampler, seed 7) on the body field.
// Every figure is the median over `runs` runs of the thread CPU time of all queries, divided
// by the query count; variants that are compared run alternately. mode=snippets only answers the
// snippet pages (for a profiler); mode=dump prints them, one JSON answer a line (to compare
// the answers of two builds). With chars above 0, only queries whose first 20 bodies hold
// that many characters on average, give or take a sixth, are taken (pages of fields of a
// given length).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "bench/query_sampler.h"
#include "core/query/facets.h"
#include "core/query/query.h"
#include "core/text/encoding.h"
#include "server/http/http_answers.h"
#include "server/search_data.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// CPU time of the calling thread in microseconds: on a shared machine it is far steadier
// than wall time, and every call measured here runs on this one thread.
double ThreadMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Median over `runs` of the mean thread CPU microseconds per call of `body` over `count`
// calls.
template <typename Body>
double Time(int runs, int count, Body body) {
  std::vector<double> means;
  for (int run = 0; run < runs; ++run) {
    const double started = ThreadMicroseconds();
    for (int i = 0; i < count; ++i) body(i);
    means.push_back((ThreadMicroseconds() - started) / count);
  }
  return Median(means);
}

// Two variants measured in alternating runs, so that both see the same machine.
template <typename Body>
std::pair<double, double> TimePair(int runs, int count, Body body) {
  std::vector<double> first, second;
  for (int run = 0; run < runs; ++run) {
    first.push_back(Time(1, count, [&](int i) { body(i, false); }));
    second.push_back(Time(1, count, [&](int i) { body(i, true); }));
  }
  return {Median(first), Median(second)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: results_bench BASE SCHEMA.dat TRIE WORDLIST [queries=300] [runs=5] "
                 "[mode=all|snippets|dump] [chars=0]\n");
    return 2;
  }
  const int queryCount = argc > 5 ? std::atoi(argv[5]) : 300;
  const int runs = argc > 6 ? std::atoi(argv[6]) : 5;
  const std::string mode = argc > 7 ? argv[7] : "all";
  const long wantChars = argc > 8 ? std::atol(argv[8]) : 0;
  const auto loadStarted = Clock::now();
  std::shared_ptr<const CSearchData> data = LoadSearchData({argv[1], argv[2], argv[3], argv[4]});
  if (!data) return 1;
  std::printf("data set %s: %d records, loaded in %.1f s\n", argv[1],
              data->store().GetRecordCount(),
              std::chrono::duration<double>(Clock::now() - loadStarted).count());
  const CFieldInfo& schema = data->schema();
  const int body = schema.FindField("body");
  if (body <= 0) {
    std::fprintf(stderr, "the schema has no field body\n");
    return 1;
  }

  // Phrase queries on the body with at least 20 hits, so that every page is full.
  bench::CSampler sampler(schema, data->trie(), data->store(), 7);
  std::vector<std::string> queries;
  CQuery engine(schema, data->store());
  long bodyChars = 0, bodies = 0;
  while (static_cast<int>(queries.size()) < queryCount) {
    const bench::tPhraseQuery query = sampler.PhraseQuery();
    if (query.field != body || engine.Execute(query.text.c_str()) < 20) continue;
    long chars = 0;
    for (int i = 0; i < 20; ++i) {
      int length = 0;
      const char* text = data->store().GetCell(engine.GetHits()[static_cast<size_t>(i)].record,
                                               schema.GetListPosition(body, LIST_STORED), &length);
      chars +=
          static_cast<long>(GbkToUtf8(std::string(text, static_cast<size_t>(length))).size()) / 3;
    }
    if (wantChars > 0 && std::labs(chars / 20 - wantChars) > wantChars / 6) continue;
    queries.push_back(GbkToUtf8(query.text));
    bodyChars += chars;
    bodies += 20;
  }
  std::printf(
      "%d phrase queries on body with >= 20 hits; their first 20 bodies hold about %ld "
      "characters on average\n",
      queryCount, bodyChars / std::max(bodies, 1L));

  size_t sink = 0;
  auto page = [&](int i, bool snippets) {
    tSearchParameters parameters;
    parameters.q = queries[static_cast<size_t>(i)];
    if (snippets) parameters.snippet = "body";
    sink += AnswerJsonSearch(parameters, data.get()).body.size();
  };
  if (mode == "dump") {
    for (int i = 0; i < queryCount; ++i) {
      tSearchParameters parameters;
      parameters.q = queries[static_cast<size_t>(i)];
      parameters.snippet = "body";
      std::printf("%s\n", AnswerJsonSearch(parameters, data.get()).body.c_str());
    }
    return 0;
  }
  if (mode == "snippets") {
    for (int run = 0; run < runs; ++run) {
      for (int i = 0; i < queryCount; ++i) page(i, true);
    }
    std::printf("answered %d snippet pages (%zu bytes)\n", runs * queryCount, sink);
    return 0;
  }
  const auto [without, with] = TimePair(runs, queryCount, page);
  std::printf("page of 20, JSON: without snippets %.1f us, with snippet=body %.1f us (x%.2f)\n",
              without, with, with / without);

  // Facets: the single-word query whose total is closest to 50,000.
  std::string facetQuery;
  int facetTotal = 0;
  for (int attempt = 0; attempt < 4000; ++attempt) {
    const bench::tPhraseQuery query = sampler.PhraseQuery();
    if (query.words.size() != 1) continue;
    const int total = engine.Execute(query.text.c_str());
    if (std::abs(total - 50000) < std::abs(facetTotal - 50000)) {
      facetTotal = total;
      facetQuery = query.text;
    }
  }
  engine.Execute(facetQuery.c_str());
  const int year = schema.FindField("year");
  const int yearColumn = schema.GetListPosition(year, LIST_FILTER);
  const double facetOnly = Time(runs, 50, [&](int) {
    sink += CountFacet(data->store(), yearColumn, engine.GetHits(), 10).size();
  });
  std::vector<tFacetCount> counts = CountFacet(data->store(), yearColumn, engine.GetHits(), -1);
  const int idColumn = schema.GetListPosition(schema.FindField("id"), LIST_FILTER);
  const double facetSparse =
      idColumn >= 0
          ? Time(runs, 20,
                 [&](int) {
                   sink += CountFacet(data->store(), idColumn, engine.GetHits(), 10).size();
                 })
          : 0;
  auto answer = [&](bool facet) {
    tSearchParameters parameters;
    parameters.q = GbkToUtf8(facetQuery);
    if (facet) parameters.facet = "year";
    sink += AnswerJsonSearch(parameters, data.get()).body.size();
  };
  const auto [answerWithout, answerWith] =
      TimePair(runs, 20, [&](int, bool facet) { answer(facet); });
  std::printf(
      "facets over %d hits (%zu years): CountFacet year %.0f us, id (all distinct) %.0f "
      "us; whole answer %.0f us without facet=year, %.0f us with\n",
      facetTotal, counts.size(), facetOnly, facetSparse, answerWithout, answerWith);

  // Order: the same pages ascending and descending, at the start and deep in the hits.
  for (const int start : {0, 1000}) {
    auto ordered = [&](int i, bool descending) {
      tSearchParameters parameters;
      parameters.q = queries[static_cast<size_t>(i)];
      parameters.start = std::to_string(start);
      if (descending) parameters.order = "desc";
      sink += AnswerJsonSearch(parameters, data.get()).body.size();
    };
    const auto [ascending, descending] = TimePair(runs, queryCount, ordered);
    std::printf("start=%d: order=asc %.1f us, order=desc %.1f us\n", start, ascending, descending);
  }
  std::printf("(%zu)\n", sink);
  return 0;
}
