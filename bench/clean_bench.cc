// Throughput of the cleaning steps of indexing: StripMarkup then NormalizeText, in place,
// record by record, over the fortunes texts repeated to about 50 MB (so the data does not
// sit in cache). A second corpus wraps every line in markup to exercise the removal rules,
// a third is one long record of markup openers that never close.
//
// Run from the repository root after `bash scripts/prepare_data.sh`:
//   build-<name>/bench/clean_bench [data/fortunes.gbk.txt]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/text/text_clean.h"
#include "core/util/file_util.h"

namespace {

constexpr size_t kCorpusBytes = 50u << 20;
constexpr int kRuns = 7;

// Records laid out back to back, each followed by one spare byte for the NUL that
// StripMarkup writes after its output.
struct Corpus {
  std::string bytes;
  std::vector<std::pair<size_t, int>> records;  // offset, length
};

std::vector<std::string> SplitRecords(const std::string& text) {
  std::vector<std::string> records;
  std::string current;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line == "%") {
      if (!current.empty()) records.push_back(current);
      current.clear();
    } else {
      current += line + "\n";
    }
  }
  if (!current.empty()) records.push_back(current);
  return records;
}

std::string WithMarkup(const std::string& record) {
  std::string marked = "<div class=\"fortune\">";
  size_t at = 0;
  while (at < record.size()) {
    size_t end = record.find('\n', at);
    if (end == std::string::npos) end = record.size();
    marked += "<p>" + record.substr(at, end - at) + "&nbsp;</p><!-- line -->%20\n";
    at = end + 1;
  }
  return marked + "</div>";
}

Corpus BuildCorpus(const std::vector<std::string>& records) {
  Corpus corpus;
  while (corpus.bytes.size() < kCorpusBytes) {
    for (const std::string& record : records) {
      corpus.records.emplace_back(corpus.bytes.size(), static_cast<int>(record.size()));
      corpus.bytes += record;
      corpus.bytes += '\n';
    }
  }
  return corpus;
}

enum Steps { kStrip = 1, kNormalize = 2 };

// CPU seconds of this thread: the machine is shared, and time spent descheduled is not the
// cleaner's.
double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
  double wall;
  double cpu;
};

// Median wall and thread-CPU seconds of kRuns passes; each pass starts from a fresh copy
// (copying not timed).
Timing TimePasses(const Corpus& corpus, int steps) {
  std::vector<double> wall;
  std::vector<double> cpu;
  std::string work;
  for (int run = 0; run < kRuns; ++run) {
    work = corpus.bytes;
    char* base = &work[0];
    if (steps == kNormalize) {  // NormalizeText alone needs terminated records
      for (const auto& [offset, length] : corpus.records) base[offset + length] = '\0';
    }
    auto start = std::chrono::steady_clock::now();
    double cpuStart = ThreadSeconds();
    for (const auto& [offset, length] : corpus.records) {
      char* text = base + offset;
      if (steps & kStrip) {
        int cleaned = 0;
        StripMarkup(text, length, text, &cleaned);
      }
      if (steps & kNormalize) NormalizeText(text);
    }
    cpu.push_back(ThreadSeconds() - cpuStart);
    wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[kRuns / 2], cpu[kRuns / 2]};
}

void Report(const char* name, const Corpus& corpus) {
  double megabytes = static_cast<double>(corpus.bytes.size()) / (1 << 20);
  const std::pair<const char*, int> variants[] = {
      {"StripMarkup", kStrip}, {"NormalizeText", kNormalize}, {"both", kStrip | kNormalize}};
  for (const auto& [label, steps] : variants) {
    Timing timing = TimePasses(corpus, steps);
    std::printf("%-8s %-14s %5.1f MB  wall %7.4f s %7.1f MB/s  cpu %7.4f s %7.1f MB/s\n", name,
                label, megabytes, timing.wall, megabytes / timing.wall, timing.cpu,
                megabytes / timing.cpu);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "data/fortunes.gbk.txt";
  std::string text;
  if (ReadWholeFile(path, &text) <= 0) {
    std::printf("Cannot read %s (run `bash scripts/prepare_data.sh` first)\n", path);
    return 1;
  }
  std::vector<std::string> records = SplitRecords(text);
  std::printf("%zu records, %d bytes; median of %d passes, one thread\n", records.size(),
              static_cast<int>(text.size()), kRuns);
  Report("plain", BuildCorpus(records));
  std::vector<std::string> marked;
  for (const std::string& record : records) marked.push_back(WithMarkup(record));
  Report("markup", BuildCorpus(marked));
  // Openers without closers: every search of the removal rules fails. The cost per byte
  // must stay flat (no search rescans the rest of the text for each opener).
  std::string unclosed;
  while (unclosed.size() < (1u << 20)) unclosed += "<!-- <a {a &lt; <script>xxxxxxxxx 中文 ";
  Report("unclosed", BuildCorpus({unclosed}));
  return 0;
}
