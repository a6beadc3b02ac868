// What the load-time manifest check costs: CRC-32C throughput in memory (processor
// instruction and table), then CheckDataSet over a saved data set with its files in the page
// cache, beside the time the data set itself takes to load. Medians of the given number of
// runs (the first, which warms the page cache, is not counted).
//
//   data_set_check_bench <base> <binary schema> <trie> <word list> [runs=5]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/data_set.h"
#include "core/records/data_set_check.h"
#include "core/records/manifest.h"
#include "core/util/crc32c.h"

namespace {

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <typename Work>
double Seconds(Work work) {
  auto started = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

int64_t SizeOf(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_size) : 0;
}

void MemoryThroughput(int runs) {
  std::vector<char> buffer(size_t{256} << 20);
  std::mt19937 random(7);
  for (char& byte : buffer) byte = static_cast<char>(random());
  const double gigabytes = static_cast<double>(buffer.size()) / 1e9;
  std::vector<double> hardware;
  std::vector<double> portable;
  volatile uint32_t sink = 0;
  for (int run = 0; run <= runs; ++run) {
    double a = Seconds([&] { sink = Crc32c(0, buffer.data(), buffer.size()); });
    double b = Seconds([&] { sink = Crc32cPortable(0, buffer.data(), buffer.size()); });
    if (run == 0) continue;
    hardware.push_back(a);
    portable.push_back(b);
  }
  std::printf("CRC-32C in memory, 256 MiB: %s %.2f GB/s, table %.2f GB/s\n",
              Crc32cIsHardware() ? "SSE4.2" : "(no SSE4.2, table)", gigabytes / Median(hardware),
              gigabytes / Median(portable));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::printf("usage: %s <base> <binary schema> <trie> <word list> [runs=5]\n", argv[0]);
    return 2;
  }
  const std::string base = argv[1];
  const int runs = argc > 5 ? std::max(1, std::atoi(argv[5])) : 5;
  MemoryThroughput(runs);

  CManifest manifest;
  std::string error;
  if (manifest.Read(ManifestPath(base), &error) != CManifest::ReadResult::kRead) {
    std::printf("no usable manifest for %s: %s\n", base.c_str(), error.c_str());
    return 1;
  }
  int64_t bytes = SizeOf(argv[2]) + SizeOf(argv[3]) + SizeOf(argv[4]) + SizeOf(DataLinePath(base));
  for (size_t k = 0; k < manifest.indexes.size(); ++k) {
    bytes += SizeOf(IndexPath(base, k));
  }
  std::vector<double> checks;
  for (int run = 0; run <= runs; ++run) {
    tDATA_SET_CHECK check;
    bool ok = true;
    double seconds = Seconds([&] { ok = CheckDataSet({base, argv[2], argv[3], argv[4]}, &check); });
    if (!ok) {
      std::printf("%s\n", check.message.c_str());
      return 1;
    }
    if (run > 0) checks.push_back(seconds);
  }
  const double check = Median(checks);
  std::printf("CheckDataSet, %.1f MB in %zu files, generation %lld: median %.3f s, %.2f GB/s\n",
              static_cast<double>(bytes) / 1e6, manifest.indexes.size() + 4,
              static_cast<long long>(manifest.generation), check,
              static_cast<double>(bytes) / 1e9 / check);

  std::vector<double> loads;
  for (int run = 0; run < std::min(runs, 3); ++run) {
    bench::CLoadedDataSet set;
    double seconds = Seconds([&] { set.Load(argv[1], argv[2], argv[3], argv[4]); });
    loads.push_back(seconds);
  }
  const double load = Median(loads);
  std::printf(
      "loading the data set (schema, trie, word list, store): median %.3f s; "
      "the check adds %.0f%%\n",
      load, 100.0 * check / load);
  return 0;
}
