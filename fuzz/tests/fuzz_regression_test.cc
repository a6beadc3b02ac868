// The fuzz targets' entries in the normal build: every seed must be accepted, and every
// saved input under fuzz/regressions/<target>/ (inputs that once broke a promise or crashed)
// must run through without a finding. A finding aborts the test program.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"

namespace {

std::string SourceDir() {
  const char* dir = std::getenv("TRINDLE_SOURCE_DIR");
  return dir != nullptr ? dir : ".";
}

// The files of `directory` in name order (none when it does not exist).
std::vector<std::string> FilesIn(const std::string& directory) {
  std::vector<std::string> files;
  DIR* handle = opendir(directory.c_str());
  if (handle == nullptr) return files;
  while (dirent* entry = readdir(handle)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "README.md") files.push_back(directory + "/" + name);
  }
  closedir(handle);
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

int Feed(const tFuzzTarget& target, const std::string& input) {
  return target.entry(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

class FuzzTargetTest : public testing::TestWithParam<tFuzzTarget> {};

TEST_P(FuzzTargetTest, SeedsAreAccepted) {
  const tFuzzTarget& target = GetParam();
  std::vector<std::string> seeds = target.seeds();
  ASSERT_FALSE(seeds.empty());
  for (size_t i = 0; i < seeds.size(); ++i) EXPECT_EQ(Feed(target, seeds[i]), 1) << "seed " << i;
}

TEST_P(FuzzTargetTest, SavedInputsRunThrough) {
  const tFuzzTarget& target = GetParam();
  for (const std::string& path : FilesIn(SourceDir() + "/fuzz/regressions/" + target.name)) {
    SCOPED_TRACE(path);
    Feed(target, ReadBytes(path));
  }
}

// Cut and damaged seeds: what the fuzzers try first, kept here so the normal build checks it.
TEST_P(FuzzTargetTest, DamagedSeedsRunThrough) {
  const tFuzzTarget& target = GetParam();
  for (const std::string& seed : target.seeds()) {
    for (size_t cut = 0; cut < seed.size(); cut += 1 + seed.size() / 16) {
      Feed(target, seed.substr(0, cut));
    }
    std::string flipped = seed;
    for (size_t at = 0; at < flipped.size(); at += 1 + flipped.size() / 64) {
      flipped[at] = static_cast<char>(flipped[at] ^ 0xA5);
      Feed(target, flipped);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzTargetTest, testing::ValuesIn(FuzzTargets()),
                         [](const testing::TestParamInfo<tFuzzTarget>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
