// The search-box language against its parts, over a saved data set (indexer mode 4 output):
// for sampled pairs of single dictionary words a, b of records' indexed fields (on "*"), the
// time of "a", "b", "a OR b" and "a -b" through ParseTextQuery + EvaluateTextQuery +
// GetPage(0, 20), of "a" through the binary-port syntax (Execute of "[FIELD] * [AND] a"), and
// of ParseTextQuery("a") alone. Each figure is the median of `rounds` answers of the query,
// summed over the queries; the either-or and the exclusion are reported against the sum of
// their two words.
//
//   text_query_bench BASE SCHEMA.dat TRIE WORDLIST [pairs=300] [seed=7] [rounds=5]
// TRINDLE_BENCH_MATCH=contains answers with contains matching.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/data_set.h"
#include "bench/query_sampler.h"
#include "core/query/query.h"
#include "core/query/text_query.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  if (values.empty()) return 0;
  return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

// Microseconds of one answer of `text` in the search-box language.
double TextAnswer(CQuery* engine, const CFieldInfo& schema, const std::string& text, int* hits) {
  const auto started = Clock::now();
  const tTextParse parse = ParseTextQuery(text);
  tTextEvaluation evaluation;
  if (parse.ok) EvaluateTextQuery(parse.root, "*", schema, engine, &evaluation);
  *hits = engine->GetPage(0, 20).total;
  return std::chrono::duration<double, std::micro>(Clock::now() - started).count();
}

double SelectorAnswer(CQuery* engine, const std::string& query, int* hits) {
  const auto started = Clock::now();
  engine->Execute(query.c_str());
  *hits = engine->GetPage(0, 20).total;
  return std::chrono::duration<double, std::micro>(Clock::now() - started).count();
}

double ParseOnly(const std::string& text) {
  const auto started = Clock::now();
  const tTextParse parse = ParseTextQuery(text);
  const double micros = std::chrono::duration<double, std::micro>(Clock::now() - started).count();
  return parse.ok ? micros : micros + 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::printf("usage: text_query_bench BASE SCHEMA.dat TRIE WORDLIST [pairs] [seed] [rounds]\n");
    return 2;
  }
  const int pairCount = argc > 5 ? std::atoi(argv[5]) : 300;
  const int seed = argc > 6 ? std::atoi(argv[6]) : 7;
  const int rounds = std::max(1, argc > 7 ? std::atoi(argv[7]) : 5);
  bench::CLoadedDataSet data;
  if (!data.Load(argv[1], argv[2], argv[3], argv[4])) return 1;
  bench::CSampler sampler(data.schema, data.trie, *data.store, seed);
  if (!sampler.usable()) {
    std::printf("the schema has no indexed stored field\n");
    return 1;
  }
  CQuery engine(data.schema, *data.store);
  const char* match = std::getenv("TRINDLE_BENCH_MATCH");
  if (match != nullptr && std::strcmp(match, "contains") == 0)
    engine.SetMatch(MatchMode::kContains);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (unsigned attempt = 0; static_cast<int>(pairs.size()) < pairCount && attempt < 100000;
       ++attempt) {
    const auto& fields = sampler.fields();
    const int records = data.store->GetRecordCount();
    const std::string a = sampler.Phrase(static_cast<int>(attempt * 7919u % records),
                                         fields[attempt % fields.size()], 1);
    const std::string b = sampler.Phrase(static_cast<int>(attempt * 104729u % records),
                                         fields[(attempt + 1) % fields.size()], 1);
    if (!a.empty() && !b.empty() && a != b) pairs.emplace_back(a, b);
  }
  double sumA = 0, sumB = 0, sumOr = 0, sumNot = 0, sumSelector = 0, sumParse = 0;
  double sumLookups = 0, sumUnion = 0;
  long hitsA = 0, hitsB = 0, hitsOr = 0, hitsNot = 0;
  int overOr = 0, overNot = 0;
  std::vector<double> ratioOr, ratioNot;  // per pair, against a + b
  for (const auto& [a, b] : pairs) {
    std::vector<double> ta, tb, tor, tnot, tsel, tparse, tlookups, tunion;
    int ha = 0, hb = 0, hor = 0, hnot = 0, hsel = 0;
    for (int round = 0; round < rounds; ++round) {
      ta.push_back(TextAnswer(&engine, data.schema, a, &ha));
      tb.push_back(TextAnswer(&engine, data.schema, b, &hb));
      tor.push_back(TextAnswer(&engine, data.schema, a + " OR " + b, &hor));
      tnot.push_back(TextAnswer(&engine, data.schema, a + " -" + b, &hnot));
      tsel.push_back(SelectorAnswer(&engine, "[FIELD] * [AND] " + a, &hsel));
      tparse.push_back(ParseOnly(a));
      // The parts of the either-or: the two lookups, then the merge.
      std::vector<int32_t> ra, rb, merged;
      engine.BeginSets();
      const auto lookups = Clock::now();
      engine.ValueRecords(0, a, &ra);
      engine.ValueRecords(0, b, &rb);
      const auto united = Clock::now();
      merged.resize(ra.size() + rb.size());
      merged.resize(static_cast<size_t>(
          std::set_union(ra.begin(), ra.end(), rb.begin(), rb.end(), merged.begin()) -
          merged.begin()));
      const auto done = Clock::now();
      tlookups.push_back(std::chrono::duration<double, std::micro>(united - lookups).count());
      tunion.push_back(std::chrono::duration<double, std::micro>(done - united).count());
    }
    if (hsel != ha) std::printf("differs: %s (%d against %d)\n", a.c_str(), ha, hsel);
    const double ma = Median(ta), mb = Median(tb), mor = Median(tor), mnot = Median(tnot);
    sumA += ma;
    sumB += mb;
    sumOr += mor;
    sumNot += mnot;
    sumSelector += Median(tsel);
    sumParse += Median(tparse);
    sumLookups += Median(tlookups);
    sumUnion += Median(tunion);
    ratioOr.push_back(mor / (ma + mb));
    ratioNot.push_back(mnot / (ma + mb));
    if (mor > ma + mb) ++overOr;
    if (mnot > ma + mb) ++overNot;
    hitsA += ha;
    hitsB += hb;
    hitsOr += hor;
    hitsNot += hnot;
  }
  const double n = std::max<double>(1, static_cast<double>(pairs.size()));
  std::printf("%zu pairs of single words on *, median of %d rounds each, %s matching\n",
              pairs.size(), rounds, match != nullptr ? match : "words");
  std::printf("a            %9.1f us avg, %8.0f hits avg\n", sumA / n, hitsA / n);
  std::printf("b            %9.1f us avg, %8.0f hits avg\n", sumB / n, hitsB / n);
  std::printf("a OR b       %9.1f us avg, %8.0f hits avg, %.2f of a + b (%d pairs above it)\n",
              sumOr / n, hitsOr / n, sumOr / (sumA + sumB), overOr);
  std::printf("a -b         %9.1f us avg, %8.0f hits avg, %.2f of a + b (%d pairs above it)\n",
              sumNot / n, hitsNot / n, sumNot / (sumA + sumB), overNot);
  std::printf("per pair, of a + b: OR median %.2f, p90 %.2f; exclusion median %.2f, p90 %.2f\n",
              Median(ratioOr), Percentile(ratioOr, 0.9), Median(ratioNot),
              Percentile(ratioNot, 0.9));
  std::printf("  of which    %9.1f us the two lookups, %.1f us their union\n", sumLookups / n,
              sumUnion / n);
  std::printf("a as q=      %9.1f us avg (the search-box path: %.3f of it)\n", sumSelector / n,
              sumA / sumSelector);
  std::printf("parse a      %9.3f us avg (%.4f of the answer)\n", sumParse / n, sumParse / sumA);
  return 0;
}
