// Loading a large index file: CIndexer::Load beside a plain read of the same file into one
// buffer, medians of several runs (both read from the page cache after the first run).
//
//   index_load_bench INDEX_FILE [runs=5]
//   index_load_bench --make INDEX_FILE MEGABYTES   writes a valid index file of about that size
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/index/indexer.h"
#include "core/text/pdat.h"
#include "core/util/file_util.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Term t owns postings [t * per, (t + 1) * per): records ascending, positions 0..per-1.
bool MakeIndexFile(const char* path, long megabytes) {
  const int32_t idCount = 349047;
  const int64_t postings = std::max<int64_t>(0, (megabytes * 1000000 - 8 - 8 * idCount) / 8);
  const int32_t postCount = static_cast<int32_t>(std::min<int64_t>(postings, 0x7fffffff));
  const int32_t per = postCount / idCount;
  FilePtr file = OpenFile(path, "wb");
  if (!file) return false;
  std::fwrite(&idCount, 4, 1, file.get());
  for (int32_t term = 0; term < idCount; ++term) {
    int32_t slot[2] = {per, term * per};
    std::fwrite(slot, 4, 2, file.get());
  }
  const int32_t written = per * idCount;
  std::fwrite(&written, 4, 1, file.get());
  std::vector<tINDEX_STRUCTURE> chunk(static_cast<size_t>(per));
  for (int32_t term = 0; term < idCount; ++term) {
    for (int32_t i = 0; i < per; ++i) chunk[static_cast<size_t>(i)] = {i * 3 + term % 3, i};
    std::fwrite(chunk.data(), sizeof(tINDEX_STRUCTURE), chunk.size(), file.get());
  }
  return std::ferror(file.get()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--make") == 0) {
    return MakeIndexFile(argv[2], std::atol(argv[3])) ? 0 : 1;
  }
  if (argc < 2) {
    std::printf("usage: %s INDEX_FILE [runs] | --make INDEX_FILE MEGABYTES\n", argv[0]);
    return 1;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  CPDAT trie;  // an empty trie: Load replaces the term table whatever its size
  std::vector<double> loads;
  std::vector<double> reads;
  int64_t size = 0;
  for (int run = 0; run < runs; ++run) {
    {
      auto started = Clock::now();
      FilePtr file = OpenFile(argv[1], "rb");
      if (!file) return 1;
      size = FileSize(file.get());
      std::vector<char> bytes(static_cast<size_t>(size));
      if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return 1;
      reads.push_back(std::chrono::duration<double>(Clock::now() - started).count());
    }
    {
      CIndexer index(&trie, true);
      auto started = Clock::now();
      if (!index.Load(argv[1])) return 1;
      loads.push_back(std::chrono::duration<double>(Clock::now() - started).count());
    }
  }
  std::printf("%s: %.1f MB; Load median %.3f s (%.0f MB/s); plain read median %.3f s (%.0f MB/s)\n",
              argv[1], size / 1e6, Median(loads), size / 1e6 / Median(loads), Median(reads),
              size / 1e6 / Median(reads));
  return 0;
}
