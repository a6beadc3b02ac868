// Index benchmark: building an index from the fortunes texts repeated to N records with the
// full dictionary, saving and loading it, and phrase lookups on it.
//
//   index_bench [dict.gbk.txt] [fortunes.gbk.txt] [records=100000] [scratch dir=/tmp]
//
// Prints: AddText throughput (postings/s, MB/s of text) beside Segment alone, Finalize +
// Save time, file size and peak memory of the build (VmHWM, reset after the trie is built,
// minus the resident size before the first AddText), Load time, and lookups of 2- and
// 3-word phrases sampled from the texts: queries/s and microseconds per query grouped by
// the posting count of the phrase's most frequent and of its rarest word.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/index/indexer.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"
#include "core/util/file_util.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU time of this thread: the machine is shared, so wall time alone overstates the cost.
double CpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long StatusKb(const char* key) {
  FilePtr file = OpenFile("/proc/self/status", "r");
  char line[256];
  while (file && std::fgets(line, sizeof line, file.get()) != nullptr) {
    if (std::strncmp(line, key, std::strlen(key)) == 0) return std::atol(line + std::strlen(key));
  }
  return -1;
}

void ResetPeakMemory() {
  FilePtr file = OpenFile("/proc/self/clear_refs", "w");
  if (file) std::fputs("5", file.get());
}

// The fortunes file: texts separated by lines holding only "%", normalised as the store
// normalises indexed text.
std::vector<std::string> ReadTexts(const char* path) {
  std::string bytes;
  ReadWholeFile(path, &bytes);
  std::vector<std::string> texts;
  std::string current;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    start = end + 1;
    if (line == "%") {
      texts.push_back(current);
      current.clear();
    } else {
      current += line + "\n";
    }
  }
  if (!current.empty()) texts.push_back(current);
  for (std::string& text : texts) {
    NormalizeText(&text[0]);
    text.resize(std::strlen(text.c_str()));
  }
  return texts;
}

bool BuildTrie(const char* path, CPDAT* trie) {
  std::fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  int words = trie->BuildFromText(path);
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(null);
  return words > 0;
}

// Phrases of `length` consecutive dictionary-word tokens of random texts.
std::vector<std::string> SamplePhrases(const CPDAT& trie, const std::vector<std::string>& texts,
                                       size_t length, int count, std::mt19937* random) {
  std::vector<std::string> phrases;
  std::vector<int32_t> ids;
  std::vector<char> tokens;
  for (int attempt = 0; attempt < count * 50 && static_cast<int>(phrases.size()) < count;
       ++attempt) {
    const std::string& text = texts[(*random)() % texts.size()];
    trie.Segment(text.c_str(), &ids, &tokens);
    std::vector<std::string> words;  // runs of word tokens, "" between runs
    const char* token = tokens.data();
    while (*token != '\0') {
      const char* tab = std::strchr(token, '\t');
      std::string piece(token, static_cast<size_t>(tab - token));
      words.push_back(trie.LookupString(piece.c_str()) >= 0 ? piece : "");
      token = tab + 1;
    }
    if (words.size() < length) continue;
    size_t start = (*random)() % (words.size() - length + 1);
    std::string phrase;
    bool whole = true;
    for (size_t i = start; i < start + length; ++i) {
      whole = whole && !words[i].empty();
      phrase += words[i];
    }
    // The phrase must segment back into `length` words.
    if (whole && trie.Segment(phrase.c_str(), &ids, nullptr) == static_cast<int>(length)) {
      phrases.push_back(phrase);
    }
  }
  return phrases;
}

const char* Bucket(int postings) {
  if (postings < 1000) return "<1k";
  if (postings < 10000) return "1k-10k";
  if (postings < 100000) return "10k-100k";
  return ">=100k";
}

void BenchLookups(const CIndexer& index, const CPDAT& trie, const std::vector<std::string>& phrases,
                  size_t length) {
  std::vector<int32_t> ids;
  std::map<std::string, std::pair<double, int>> byMax;
  std::map<std::string, std::pair<double, int>> byMin;
  long hits = 0;
  auto all = Clock::now();
  for (const std::string& phrase : phrases) {
    auto start = Clock::now();
    CResultList result;
    index.Lookup(phrase.c_str(), &result);
    double micros = Seconds(start) * 1e6;
    hits += static_cast<long>(result.entries.size());
    int count = trie.Segment(phrase.c_str(), &ids, nullptr);
    int most = 0;
    int least = 1 << 30;
    for (int j = 0; j < count; ++j) {
      int postings = 0;
      index.GetPostings(ids[static_cast<size_t>(j)], &postings);
      most = std::max(most, postings);
      least = std::min(least, postings);
    }
    byMax[Bucket(most)].first += micros;
    byMax[Bucket(most)].second += 1;
    byMin[Bucket(least)].first += micros;
    byMin[Bucket(least)].second += 1;
  }
  double total = Seconds(all);
  std::printf(
      "lookup %zu-word phrases: %zu queries, %.0f queries/s (incl. timing), %.1f hits avg\n",
      length, phrases.size(), static_cast<double>(phrases.size()) / total,
      static_cast<double>(hits) / static_cast<double>(phrases.size()));
  for (const auto& entry : byMax) {
    std::printf("  most frequent word %-9s: %6d queries, %8.1f us/query\n", entry.first.c_str(),
                entry.second.second, entry.second.first / entry.second.second);
  }
  for (const auto& entry : byMin) {
    std::printf("  rarest word        %-9s: %6d queries, %8.1f us/query\n", entry.first.c_str(),
                entry.second.second, entry.second.first / entry.second.second);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* dictionary = argc > 1 ? argv[1] : "data/dict.gbk.txt";
  const char* fortunes = argc > 2 ? argv[2] : "data/fortunes.gbk.txt";
  const int records = argc > 3 ? std::atoi(argv[3]) : 100000;
  const std::string scratch = argc > 4 ? argv[4] : "/tmp";
  const std::string indexPath = scratch + "/index_bench.index";

  CPDAT trie;
  auto started = Clock::now();
  if (!BuildTrie(dictionary, &trie)) {
    std::printf("cannot build the trie from %s\n", dictionary);
    return 1;
  }
  std::printf("trie: %d words, max index %d, built in %.2f s\n", trie.GetWordCount(),
              trie.GetMaxIndex(), Seconds(started));
  std::vector<std::string> texts = ReadTexts(fortunes);
  if (texts.empty()) {
    std::printf("no texts in %s\n", fortunes);
    return 1;
  }
  size_t bytes = 0;
  for (int record = 0; record < records; ++record) {
    bytes += texts[static_cast<size_t>(record) % texts.size()].size();
  }
  std::printf("texts: %zu, %d records, %.1f MB of text\n", texts.size(), records, bytes / 1e6);

  // Segmentation alone: the floor for AddText.
  std::vector<int32_t> ids;
  long words = 0;
  started = Clock::now();
  double cpu = CpuSeconds();
  for (int record = 0; record < records; ++record) {
    words += trie.Segment(texts[static_cast<size_t>(record) % texts.size()].c_str(), &ids, nullptr);
  }
  double segmentSeconds = Seconds(started);
  double segmentCpu = CpuSeconds() - cpu;
  std::printf("Segment only: %.2f s wall, %.2f s CPU, %.1f MB/s (CPU), %.1f M words/s (CPU)\n",
              segmentSeconds, segmentCpu, bytes / 1e6 / segmentCpu, words / 1e6 / segmentCpu);

  ResetPeakMemory();
  long baseKb = StatusKb("VmRSS:");
  {
    CIndexer index(&trie, false);
    started = Clock::now();
    cpu = CpuSeconds();
    for (int record = 0; record < records; ++record) {
      index.AddText(texts[static_cast<size_t>(record) % texts.size()].c_str(), record, 255);
    }
    double addSeconds = Seconds(started);
    double addCpu = CpuSeconds() - cpu;
    long buildKb = StatusKb("VmRSS:");
    std::printf(
        "AddText: %.2f s wall, %.2f s CPU, %d postings, %.1f M postings/s (CPU), %.1f MB/s "
        "(CPU); build RSS +%.1f MB\n",
        addSeconds, addCpu, index.GetPostCount(), index.GetPostCount() / 1e6 / addCpu,
        bytes / 1e6 / addCpu, (buildKb - baseKb) / 1024.0);
    started = Clock::now();
    cpu = CpuSeconds();
    if (!index.Save(indexPath.c_str())) return 1;
    std::printf("Finalize + Save: %.2f s wall, %.2f s CPU\n", Seconds(started), CpuSeconds() - cpu);
  }
  long peakKb = StatusKb("VmHWM:");
  FilePtr file = OpenFile(indexPath, "rb");
  double fileMb = FileSize(file.get()) / 1048576.0;
  file.reset();
  std::printf("index file %.1f MB; build peak RSS above the start %.1f MB (%.2f x file)\n", fileMb,
              (peakKb - baseKb) / 1024.0, (peakKb - baseKb) / 1024.0 / fileMb);

  CIndexer loaded(&trie, true);
  started = Clock::now();
  if (!loaded.Load(indexPath.c_str())) return 1;
  double loadSeconds = Seconds(started);
  std::printf("Load: %.3f s, %.0f MB/s\n", loadSeconds, fileMb / loadSeconds);

  std::mt19937 random(42);
  for (size_t length : {size_t{2}, size_t{3}}) {
    std::vector<std::string> phrases = SamplePhrases(trie, texts, length, 2000, &random);
    BenchLookups(loaded, trie, phrases, length);
  }
  std::remove(indexPath.c_str());
  return 0;
}
