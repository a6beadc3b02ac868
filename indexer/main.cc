// indexer: prepares every file the search needs. The first character of the first argument
// selects the mode; the file arguments follow by position (see the usage line).
#include <cstdio>

#include "indexer/modes.h"

namespace {

// Number of file arguments each mode reads (argv[2] onward), indexed by mode digit.
constexpr int kFileArguments[6] = {0, 2, 3, 3, 5, 5};

int PrintUsage(const char* program) {
  std::printf("Usage:%s [选项] [输入文件名] [输出文件名]\n", program);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return PrintUsage(argv[0]);
  char mode = argv[1][0];
  if (mode < '1' || mode > '5') return 0;
  int digit = mode - '0';
  // Too few file arguments: the mode would read past argv, so it is refused with the usage.
  if (argc - 2 < kFileArguments[digit]) return PrintUsage(argv[0]);

  int exitCode = 0;
  switch (digit) {
    case 1:
      exitCode = RunDictionaryMode(argv[2], argv[3]);
      break;
    case 2:
      exitCode = RunWordListMode(argv[2], argv[3], argv[4]);
      break;
    case 3:
      RunSchemaMode(argv[2], argv[3], argv[4]);
      break;
    case 4:
      exitCode = RunIndexMode(argv[2], argv[3], argv[4], argv[5], argv[6]);
      break;
    case 5:
      RunQueryTestMode(argv[2], argv[3], argv[4], argv[5], argv[6], argc > 7 ? argv[7] : nullptr);
      break;
  }
  std::fflush(stdout);
  return exitCode;
}
