// The indexer program itself: usage line, mode selection by the first character, exit codes
// and the refusal of too few file arguments. Runs the built binary.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

struct tRun {
  std::string output;
  int exitCode = -1000;
};

tRun Indexer(const std::string& arguments) {
  tRun run;
  std::string command = std::string(INDEXER_PATH) + " " + arguments + " 2>/dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, got);
  int status = pclose(pipe);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

const std::string kUsageTail = " [选项] [输入文件名] [输出文件名]\n";  // GBK bytes

TEST(IndexerCommandLine, WithoutArgumentsPrintsTheUsageAndExitsWithMinusOne) {
  tRun run = Indexer("");
  EXPECT_EQ(run.output, "Usage:" + std::string(INDEXER_PATH) + kUsageTail);
  EXPECT_EQ(run.exitCode, 255);  // -1 as the shell sees it
}

TEST(IndexerCommandLine, AnUnknownModeDoesNothing) {
  for (const char* mode : {"7", "0", "x", "-1"}) {
    tRun run = Indexer(std::string(mode) + " a b c d e");
    EXPECT_EQ(run.output, "") << mode;
    EXPECT_EQ(run.exitCode, 0) << mode;
  }
}

TEST(IndexerCommandLine, TooFewFileArgumentsAreRefusedWithTheUsage) {
  for (const char* arguments : {"1 only_one", "2 a b", "3 a b", "4 a b c d", "5 a b c d"}) {
    tRun run = Indexer(arguments);
    EXPECT_NE(run.output.find(kUsageTail), std::string::npos) << arguments;
    EXPECT_EQ(run.exitCode, 255) << arguments;
  }
}

TEST(IndexerCommandLine, OnlyTheFirstCharacterSelectsTheMode) {
  const std::string dictionary = "cli_dictionary.txt";
  std::ofstream(dictionary) << "ab\ncd\n";
  std::remove("cli_dictionary.pdat");
  tRun run = Indexer("1xyz " + dictionary + " cli_dictionary.pdat");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(std::ifstream("cli_dictionary.pdat").good());

  std::ofstream("cli_empty.txt") << "\n  \n";
  run = Indexer("1 cli_empty.txt cli_empty.pdat");
  EXPECT_EQ(run.output, "Error Load cli_empty.txt\n");
  EXPECT_EQ(run.exitCode, 1);
}

TEST(IndexerCommandLine, FailuresOfModesThreeAndFiveKeepExitCodeZeroModeFourReportsThem) {
  EXPECT_EQ(Indexer("3 cli_missing.txt cli_out.dat cli_out.txt").exitCode, 0);
  EXPECT_EQ(Indexer("4 cli_missing.xml cli_set cli_missing.txt t w").exitCode, 1);
  EXPECT_EQ(Indexer("5 - cli_set cli_missing.dat t w").exitCode, 0);
}

}  // namespace
