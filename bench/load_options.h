// What the two load generators (server_bench over the binary port, http_bench over HTTP)
// share: their command line, the sampled queries with the in-process engine's total for
// each, and the latency percentile. Both sample with query_bench's sampler, so with the same
// seed they send the same queries.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/data_set.h"
#include "bench/query_sampler.h"
#include "core/query/query.h"

namespace bench {

// BASE SCHEMA.dat TRIE WORDLIST PORT [clients=1,4,16] [seconds=5] [phrases=1000] [pairs=200]
// [seed=7]
struct tLoadOptions {
  const char* base = nullptr;
  const char* schema = nullptr;
  const char* trie = nullptr;
  const char* wordList = nullptr;
  uint16_t port = 0;
  std::vector<int> clientCounts;
  int seconds = 5;
  int phrases = 1000;
  int pairs = 200;
  int seed = 7;
};

inline std::vector<int> ParseList(const char* text) {
  std::vector<int> values;
  for (const char* p = text; *p != '\0';) {
    values.push_back(std::atoi(p));
    while (*p != '\0' && *p != ',') ++p;
    if (*p == ',') ++p;
  }
  return values;
}

// False when there are too few arguments.
inline bool ParseLoadOptions(int argc, char** argv, tLoadOptions* options) {
  if (argc < 6) return false;
  options->base = argv[1];
  options->schema = argv[2];
  options->trie = argv[3];
  options->wordList = argv[4];
  options->port = static_cast<uint16_t>(std::atoi(argv[5]));
  options->clientCounts = ParseList(argc > 6 ? argv[6] : "1,4,16");
  if (argc > 7) options->seconds = std::atoi(argv[7]);
  if (argc > 8) options->phrases = std::atoi(argv[8]);
  if (argc > 9) options->pairs = std::atoi(argv[9]);
  if (argc > 10) options->seed = std::atoi(argv[10]);
  return true;
}

struct tSampledQuery {
  std::string text;   // GBK query text
  int32_t total = 0;  // the in-process engine's answer
};

// Loads the data set as the server does and samples the phrase and pair queries; false (line
// printed) when the data set cannot be loaded or has nothing to sample.
inline bool SampleQueries(const tLoadOptions& options, std::vector<tSampledQuery>* queries) {
  CLoadedDataSet data;
  if (!data.Load(options.base, options.schema, options.trie, options.wordList)) return false;
  CSampler sampler(data.schema, data.trie, *data.store, options.seed);
  if (!sampler.usable()) return false;
  std::vector<std::string> texts;
  for (int i = 0; i < options.phrases; ++i) texts.push_back(sampler.PhraseQuery().text);
  for (int i = 0; i < options.pairs; ++i) texts.push_back(sampler.PairQuery());
  CQuery engine(data.schema, *data.store);
  for (std::string& text : texts) {
    tSampledQuery query;
    query.total = engine.Execute(text.c_str());
    query.text = std::move(text);
    queries->push_back(std::move(query));
  }
  return true;
}

inline double Percentile(std::vector<double>* values, double fraction) {
  if (values->empty()) return 0;
  size_t index = std::min(values->size() - 1, static_cast<size_t>(fraction * values->size()));
  std::nth_element(values->begin(), values->begin() + static_cast<long>(index), values->end());
  return (*values)[index];
}

}  // namespace bench
