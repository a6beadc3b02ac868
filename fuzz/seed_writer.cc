// fuzz_seeds <directory>: writes the seed corpus of every fuzz target, each seed a file
// <directory>/<target>/seed_<n>. The seeds are valid files and texts made by the engine
// itself; scripts/make_fuzz_corpus.sh adds some from the real data.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fixture.h"
#include "fuzz/fuzz_targets.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  // Absolute: the fixture makes its scratch directory the working directory.
  mkdir(argv[1], 0755);
  char* resolved = realpath(argv[1], nullptr);
  if (resolved == nullptr) {
    std::fprintf(stderr, "cannot use %s\n", argv[1]);
    return 1;
  }
  const std::string root = resolved;
  std::free(resolved);
  int written = 0;
  for (const tFuzzTarget& target : FuzzTargets()) {
    const std::string directory = root + "/" + target.name;
    mkdir(directory.c_str(), 0755);
    int number = 0;
    for (const std::string& seed : target.seeds()) {
      const std::string path = directory + "/seed_" + std::to_string(number++);
      std::FILE* file = std::fopen(path.c_str(), "wb");
      if (file == nullptr || std::fwrite(seed.data(), 1, seed.size(), file) != seed.size()) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
      }
      std::fclose(file);
      ++written;
    }
  }
  std::printf("%d seeds in %s\n", written, root.c_str());
  return 0;
}
