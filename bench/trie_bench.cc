// Dictionary trie speed on the real dictionary: the build (what mode 1 does, progress to a
// file) and LookupString over every dictionary word.
//   trie_bench [dictionary text] [scratch directory]
// Defaults: data/dict.gbk.txt and /tmp. Prints medians of 5 runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/text/pdat.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::vector<std::string> ReadWords(const char* path) {
  std::vector<std::string> words;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return words;
  char line[3072];
  char word[3072];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::sscanf(line, "%s", word) == 1) words.emplace_back(word);
  }
  std::fclose(file);
  return words;
}

}  // namespace

int main(int argc, char** argv) {
  const char* dictionary = argc > 1 ? argv[1] : "data/dict.gbk.txt";
  std::string scratch = argc > 2 ? argv[2] : "/tmp";
  std::vector<std::string> words = ReadWords(dictionary);
  if (words.empty()) {
    std::fprintf(stderr, "cannot read %s (run scripts/prepare_data.sh)\n", dictionary);
    return 1;
  }

  // Build + save with the progress lines going to a file, as `indexer 1 ... > file` does.
  std::string progress = scratch + "/trie_bench_progress.txt";
  std::string triePath = scratch + "/trie_bench.trie";
  std::vector<double> builds;
  CPDAT trie;
  // Results go to standard error; standard output takes the build's progress lines.
  if (std::freopen(progress.c_str(), "w", stdout) == nullptr) return 1;
  for (int run = 0; run < 5; ++run) {
    auto start = std::chrono::steady_clock::now();
    CPDAT built;
    int count = built.BuildFromText(dictionary);
    bool saved = built.Save(triePath.c_str());
    std::fflush(stdout);
    builds.push_back(Seconds(start));
    if (count == 0 || !saved) return 1;
  }
  if (!trie.Load(triePath.c_str())) return 1;

  std::vector<double> lookups;
  long found = 0;
  for (int run = 0; run < 5; ++run) {
    auto start = std::chrono::steady_clock::now();
    for (const std::string& word : words) found += trie.LookupString(word.c_str()) >= 0;
    lookups.push_back(Seconds(start));
  }
  std::fprintf(stderr,
               "words %zu, highest index %d\n"
               "build+save (progress to a file): median %.3f s\n"
               "LookupString: median %.1f ms, %.1f M words/s (checksum %ld)\n",
               words.size(), trie.GetMaxIndex(), Median(builds), 1000 * Median(lookups),
               words.size() / Median(lookups) / 1e6, found);
  return 0;
}
