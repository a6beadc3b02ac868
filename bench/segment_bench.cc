// Segment speed with the real dictionary over the fortunes texts, each text segmented on
// its own (as the index does per field), repeated to about 50 MB.
//   segment_bench [dictionary text] [fortunes text] [megabytes]
// Defaults: data/dict.gbk.txt, data/fortunes.gbk.txt, 50. Prints medians of 5 runs, one
// core, with and without token text.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "core/text/pdat.h"

namespace {

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The texts of a fortunes file: records separated by lines holding only "%".
std::vector<std::string> ReadTexts(const char* path) {
  std::vector<std::string> texts;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return texts;
  std::string current;
  char line[65536];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::string(line) == "%\n") {
      if (!current.empty()) texts.push_back(current);
      current.clear();
    } else {
      current += line;
    }
  }
  if (!current.empty()) texts.push_back(current);
  std::fclose(file);
  return texts;
}

}  // namespace

int main(int argc, char** argv) {
  const char* dictionary = argc > 1 ? argv[1] : "data/dict.gbk.txt";
  const char* fortunes = argc > 2 ? argv[2] : "data/fortunes.gbk.txt";
  double megabytes = argc > 3 ? std::atof(argv[3]) : 50;
  std::vector<std::string> source = ReadTexts(fortunes);
  if (source.empty()) {
    std::fprintf(stderr, "cannot read %s (run scripts/prepare_data.sh)\n", fortunes);
    return 1;
  }
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;  // the build's progress
  CPDAT trie;
  if (trie.BuildFromText(dictionary) == 0) return 1;

  std::vector<const std::string*> texts;
  size_t bytes = 0;
  while (bytes < megabytes * 1e6) {
    for (const std::string& text : source) {
      texts.push_back(&text);
      bytes += text.size();
    }
  }
  std::vector<int32_t> ids;
  std::vector<char> tokens;
  for (int withTokens = 0; withTokens < 2; ++withTokens) {
    std::vector<double> seconds;
    std::vector<double> cpuSeconds;
    long words = 0;
    for (int run = 0; run < 5; ++run) {
      words = 0;
      auto start = std::chrono::steady_clock::now();
      std::clock_t cpuStart = std::clock();
      for (const std::string* text : texts) {
        words += trie.Segment(text->c_str(), &ids, withTokens ? &tokens : nullptr);
      }
      cpuSeconds.push_back(static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC);
      seconds.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    double median = Median(seconds);
    double cpuMedian = Median(cpuSeconds);
    std::fprintf(stderr,
                 "%s: %zu texts, %.1f MB, %ld word numbers, median %.3f s wall (%.0f MB/s), "
                 "%.3f s CPU (%.0f MB/s)\n",
                 withTokens ? "ids + token text" : "ids only (tokens null)", texts.size(),
                 bytes / 1e6, words, median, bytes / 1e6 / median, cpuMedian,
                 bytes / 1e6 / cpuMedian);
  }
  return 0;
}
