// indexer: prepares every file the search needs. The first character of the first argument
// selects the mode; the file arguments follow by position (see the usage line). --help, -h
// and --version are recognised before the mode.
#include <cstdio>
#include <string>

#include "indexer/exit_status.h"
#include "indexer/help_text.h"
#include "indexer/modes.h"
#include "programs/command_line.h"
#include "programs/console.h"

namespace {

// Number of file arguments each mode reads (argv[2] onward), indexed by mode digit.
constexpr int kFileArguments[6] = {0, 2, 3, 3, 5, 5};

int PrintUsage(const char* program) {
  std::printf("Usage:%s [选项] [输入文件名] [输出文件名]\n", program);
  return exit_status::kUsage;
}

// The query of mode 5 as GBK, taken in the console's encoding; false (with a message) when
// it is not valid there.
bool QueryAsGbk(const char* typed, std::string* query) {
  if (TypedQueryToGbk(typed, StdoutEncoding(), TypedGbk::kCharacters,
                      "indexer: the query is read as GBK here; TRINDLE_CONSOLE=utf8 reads it as "
                      "UTF-8",
                      query)) {
    return true;
  }
  if (StdoutEncoding() == ConsoleEncoding::kUtf8) {
    std::printf("Query is not valid UTF-8, or GBK lacks a character of it (see TRINDLE_CONSOLE)\n");
  } else {
    std::printf("Query is not valid GBK (see TRINDLE_CONSOLE)\n");
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  SetUpConsole();
  if (argc >= 2 && AnswerInformationOption(argv[1], "indexer", kIndexerHelp)) {
    return exit_status::kSuccess;
  }
  if (argc < 2) return PrintUsage(argv[0]);
  char mode = argv[1][0];
  if (mode < '1' || mode > '5') return exit_status::kSuccess;
  int digit = mode - '0';
  // Too few file arguments: the mode would read past argv, so it is refused with the usage.
  if (argc - 2 < kFileArguments[digit]) return PrintUsage(argv[0]);

  int exitCode = exit_status::kSuccess;
  switch (digit) {
    case 1:
      exitCode = RunDictionaryMode(argv[2], argv[3]);
      break;
    case 2:
      exitCode = RunWordListMode(argv[2], argv[3], argv[4]);
      break;
    case 3:
      exitCode = RunSchemaMode(argv[2], argv[3], argv[4]);
      break;
    case 4:
      exitCode = RunIndexMode(argv[2], argv[3], argv[4], argv[5], argv[6]);
      break;
    case 5: {
      std::string query;
      if (argc > 7 && !QueryAsGbk(argv[7], &query)) {
        exitCode = exit_status::kBadInput;
        break;
      }
      exitCode = RunQueryTestMode(argv[2], argv[3], argv[4], argv[5], argv[6],
                                  argc > 7 ? query.c_str() : nullptr,
                                  StdoutIsTerminal() ? TerminalColumns() : 0);
      break;
    }
  }
  std::fflush(stdout);
  return exitCode;
}
