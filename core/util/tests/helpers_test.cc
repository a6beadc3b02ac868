// Tests of the shared helpers: the daily log, the tag-value reader and the file helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/util/daily_log.h"
#include "core/util/file_util.h"
#include "core/util/log_text.h"
#include "core/util/mapped_file.h"
#include "core/util/parallel_tasks.h"
#include "core/util/string_format.h"
#include "core/util/tag_value.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool Exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

// Each test runs in a fresh temporary directory, which is also the current directory (the
// daily log is written there).
class HelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/helpers_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_directory = pattern;
    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    m_previous = previous;
    ASSERT_EQ(chdir(m_directory.c_str()), 0);
    CloseDailyLog();
  }
  void TearDown() override {
    CloseDailyLog();
    ASSERT_EQ(chdir(m_previous.c_str()), 0);
    std::string command = "rm -rf '" + m_directory + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  static std::string TodaysLogName() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[32];
    std::strftime(name, sizeof name, "%Y%m%d.log", &local);
    return name;
  }

  // Reads every log file in the directory (a test running across midnight writes two).
  std::string ReadLogs(const std::string& before, const std::string& after) {
    std::string text = ReadFile(before);
    if (after != before) text += ReadFile(after);
    return text;
  }

  std::string m_directory;
  std::string m_previous;
};

// Splits "[YYYY-MM-DD HH:MM:SS] message" into its message; false when the line has another
// form.
bool ParseLogLine(const std::string& line, std::string* message) {
  const std::string pattern = "[dddd-dd-dd dd:dd:dd] ";
  if (line.size() < pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    if (pattern[i] == 'd' ? !digit : line[i] != pattern[i]) return false;
  }
  *message = line.substr(pattern.size());
  return true;
}

TEST_F(HelpersTest, WriteLogAppendsTimeStampedLines) {
  std::string before = TodaysLogName();
  WriteLog("first message");
  WriteLog("second\n");
  std::string after = TodaysLogName();
  std::string text = ReadLogs(before, after);

  std::vector<std::string> lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << text;
  std::string message;
  ASSERT_TRUE(ParseLogLine(lines[0], &message)) << lines[0];
  EXPECT_EQ(message, "first message");
  ASSERT_TRUE(ParseLogLine(lines[1], &message)) << lines[1];
  EXPECT_EQ(message, "second");
  EXPECT_EQ(lines[2], "");  // the message's own line feed, then the log's
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(HelpersTest, ConcurrentWritersNeverInterleaveLines) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 200;
  std::string before = TodaysLogName();
  std::vector<std::thread> writers;
  for (int thread = 0; thread < kThreads; ++thread) {
    writers.emplace_back([thread] {
      for (int line = 0; line < kLinesEach; ++line) {
        // Long lines make a torn write likely if the line were written in pieces.
        WriteLog("t" + std::to_string(thread) + " l" + std::to_string(line) + " " +
                 std::string(600 + thread * 50, static_cast<char>('a' + thread)));
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::string text = ReadLogs(before, TodaysLogName());

  std::set<std::pair<int, int>> seen;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    std::string body;
    ASSERT_TRUE(ParseLogLine(line, &body)) << line.substr(0, 80);
    int thread = -1;
    int number = -1;
    int consumed = 0;
    ASSERT_EQ(std::sscanf(body.c_str(), "t%d l%d %n", &thread, &number, &consumed), 2) << body;
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << body.substr(0, 80);
    EXPECT_EQ(body.substr(static_cast<size_t>(consumed)),
              std::string(600 + thread * 50, static_cast<char>('a' + thread)));
    EXPECT_TRUE(seen.insert({thread, number}).second);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLinesEach));
}

TEST_F(HelpersTest, WriteLogReportsAnUnwritableFile) {
  std::string name = TodaysLogName();
  ASSERT_EQ(mkdir(name.c_str(), 0755), 0);  // a directory where the log file should be
  testing::internal::CaptureStdout();
  WriteLog("lost");
  std::fflush(stdout);
  std::string output = testing::internal::GetCapturedStdout();
  if (TodaysLogName() == name) {
    EXPECT_EQ(output, "Cannot write log file!\r\n");
  }
}

struct TagCase {
  const char* text;
  const char* key;
  const char* value;
  bool found;
};

const TagCase kTagCases[] = {
    {"<Port>8080</Port>", "Port", "8080", true},
    {"<Port> 8080 \n</Port>", "Port", " 8080 \n", true},
    {"<Port>8080<Host>h</Host>", "Port", "8080<Host>h</Host>", true},  // no closing tag
    {"a</Port>xyz</Port>tail", "Port", "", false},                     // opening tag missing
    {"a</Port>xyz", "Port", "", false},
    {"<Port>1</Port><Port>2</Port>", "Port", "1", true},
    // Whole tags only: a key that is the tail or the head of another key, or a closing tag
    // that continues into a longer name, is not this key's tag.
    {"<ServerPort>9</ServerPort><Port>1</Port>", "Port", "1", true},
    {"<HttpMaxConnections>4</HttpMaxConnections>", "MaxConnections", "", false},
    {"<HttpMaxRequestBytes>9</HttpMaxRequestBytes><MaxRequestBytes>7</MaxRequestBytes>",
     "MaxRequestBytes", "7", true},
    {"<PortRange>1</PortRange>", "Port", "", false},
    {"<Port>1</PortRange></Port>", "Port", "1</PortRange>", true},
    {"<Host>x</Host>", "Port", "", false},
    {"<port>1</port>", "Port", "", false},
    {"<Port></Port>", "Port", "", true},
    {"", "Port", "", false},
    {"<Name>中文</Name>", "Name", "中文", true},
};

TEST(TagValueTest, ReadsTheTable) {
  for (const TagCase& row : kTagCases) {
    std::string value = "stale";
    EXPECT_EQ(GetTagValue(row.text, row.key, &value), row.found) << row.text;
    EXPECT_EQ(value, row.value) << row.text;
  }
}

TEST(TagValueTest, LimitedVariantRefusesValuesThatDoNotFit) {
  std::string text = "<A>" + std::string(255, 'x') + "</A><B>" + std::string(256, 'y') + "</B>";
  std::string value;
  bool tooLong = true;
  EXPECT_TRUE(GetTagValueLimited(text.c_str(), "A", 256, &value, &tooLong));
  EXPECT_FALSE(tooLong);
  EXPECT_EQ(value.size(), 255u);

  EXPECT_FALSE(GetTagValueLimited(text.c_str(), "B", 256, &value, &tooLong));
  EXPECT_TRUE(tooLong);
  EXPECT_EQ(value, "");

  EXPECT_FALSE(GetTagValueLimited(text.c_str(), "C", 256, &value, &tooLong));
  EXPECT_FALSE(tooLong);
  EXPECT_EQ(value, "");
}

TEST_F(HelpersTest, ReadWholeFileGivesZeroForEmptyAndMissingFiles) {
  std::string contents = "stale";
  EXPECT_EQ(ReadWholeFile("missing.txt", &contents), 0);
  EXPECT_EQ(contents, "");
  WriteFile("empty.txt", "");
  EXPECT_EQ(ReadWholeFile("empty.txt", &contents), 0);
  ASSERT_EQ(mkdir("folder", 0755), 0);
  EXPECT_EQ(ReadWholeFile("folder", &contents), 0);

  std::string bytes("a\0b\xFF\n", 5);
  WriteFile("bytes.bin", bytes);
  EXPECT_EQ(ReadWholeFile("bytes.bin", &contents), 5);
  EXPECT_EQ(contents, bytes);
  EXPECT_EQ(contents.c_str()[5], '\0');
}

TEST(IsInListTest, LooksOnlyAtTheFirstCountEntries) {
  const int32_t list[] = {5, -1, 7};
  EXPECT_TRUE(IsInList(7, list, 3));
  EXPECT_TRUE(IsInList(-1, list, 3));
  EXPECT_FALSE(IsInList(7, list, 2));
  EXPECT_FALSE(IsInList(5, list, 0));
  EXPECT_FALSE(IsInList(5, list, -3));
}

TEST_F(HelpersTest, UncommittedPendingFileLeavesTheOldFile) {
  WriteFile("data.bin", "old");
  {
    CPendingFile file("data.bin");
    ASSERT_TRUE(file.Open());
    EXPECT_TRUE(file.Write("new", 3));
    EXPECT_EQ(ReadFile("data.bin"), "old");
  }
  EXPECT_EQ(ReadFile("data.bin"), "old");
  EXPECT_FALSE(Exists("data.bin.tmp"));

  {
    CPendingFile file("data.bin");
    ASSERT_TRUE(file.Open());
    EXPECT_TRUE(file.Write("new", 3));
    EXPECT_FALSE(file.Commit());  // not finished yet
    EXPECT_TRUE(file.Finish());
    EXPECT_EQ(ReadFile("data.bin"), "old");
    EXPECT_TRUE(file.Commit());
  }
  EXPECT_EQ(ReadFile("data.bin"), "new");
  EXPECT_FALSE(Exists("data.bin.tmp"));
}

TEST_F(HelpersTest, PendingFileInMissingDirectoryFails) {
  CPendingFile file("no/such/dir/data.bin");
  EXPECT_FALSE(file.Open());
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_FALSE(file.Finish());
  EXPECT_FALSE(file.Commit());
}

TEST_F(HelpersTest, PendingFileWithFailedWriteIsNotCommitted) {
  WriteFile("full.bin", "old");
  CPendingFile file("full.bin");
  ASSERT_TRUE(file.Open());
  // /dev/full makes every flush fail: point the stream there through the temporary name.
  FilePtr full = OpenFile("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "/dev/full is not available";
  ASSERT_NE(dup2(fileno(full.get()), fileno(file.get())), -1);
  std::string big(1 << 16, 'z');
  file.Write(big.data(), big.size());
  EXPECT_FALSE(file.Finish());
  EXPECT_FALSE(file.Commit());
  EXPECT_EQ(ReadFile("full.bin"), "old");
}

// Lines past the stack buffer are formatted again at their full length, and appending keeps
// what was there; the log lines of whole queries depend on it.
TEST(StringFormatTest, LinesOfAnyLengthComeOutWhole) {
  for (const size_t length :
       {size_t{0}, size_t{1}, size_t{254}, size_t{255}, size_t{256}, size_t{100000}}) {
    const std::string query(length, 'q');
    const std::string line = Format("Received query string %s start=%d", query.c_str(), -7);
    EXPECT_EQ(line, "Received query string " + query + " start=-7") << length;
    std::string text = "kept|";
    AppendFormat(&text, "%s|%05.1f", query.c_str(), 2.5);
    EXPECT_EQ(text, "kept|" + query + "|002.5") << length;
  }
}

// A logged query stays one line, keeps GBK characters whole and says how long it was when cut.
TEST(LoggedQueryTest, EscapesControlBytesAndCutsAtACharacter) {
  struct Case {
    std::string query, logged;
  } const cases[] = {
      {"[FIELD] * [AND] 中国", "[FIELD] * [AND] 中国"},
      {"a\nb\r\t\x7F\\c", "a\\x0Ab\\x0D\\x09\\x7F\\\\c"},
      {std::string("a\0b", 3), "a\\x00b"},
      {"\xB0\n", "\xB0\\x0A"},  // a lead byte never shields a line feed
      {"\xB0\\", "\xB0\\"},     // 0x5C as a second byte is part of the character
      {"x\xB0", "x\xB0"},       // a lead byte that ends the text stays alone
      {std::string(512, 'q'), std::string(512, 'q')},
      {std::string(513, 'q'), std::string(512, 'q') + "... (513 bytes)"},
      // 511 bytes, then a character that would reach past 512: cut before it.
      {std::string(511, 'q') + "中国", std::string(511, 'q') + "... (515 bytes)"},
      {std::string(510, 'q') + "中国", std::string(510, 'q') + "中... (514 bytes)"},
  };
  for (const Case& c : cases) EXPECT_EQ(LoggedQuery(c.query), c.logged) << c.query;
  const std::string huge(1 << 20, '\n');
  const std::string line = LoggedQuery(huge);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_LT(line.size(), 4 * kLoggedQueryBytes + 32);
}

// A mapped file shortened under its reader: under the guard the read finds zeros and the
// mapping says it faulted; another mapping is not affected.
TEST(MappedFileTest, AShortenedFileReadsAsZerosAndMarksItsMapping) {
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::string shortened = "mapped_shortened.bin";
  const std::string kept = "mapped_kept.bin";
  for (const std::string& name : {shortened, kept}) {
    std::FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string bytes(static_cast<size_t>(page) * 3, 'x');
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  }
  InstallMappedFileGuard();
  CMappedFile a, b;
  ASSERT_TRUE(a.Map(shortened.c_str()));
  ASSERT_TRUE(b.Map(kept.c_str()));
  EXPECT_EQ(a.data()[page], 'x');
  ASSERT_EQ(::truncate(shortened.c_str(), 0), 0);
  const volatile char* data = a.data();
  EXPECT_EQ(data[page + 5], 0);
  EXPECT_EQ(data[2 * page], 0);
  EXPECT_TRUE(a.faulted());
  EXPECT_FALSE(b.faulted());
  EXPECT_EQ(b.data()[2 * page], 'x');
  std::remove(shortened.c_str());
  std::remove(kept.c_str());
}

}  // namespace

TEST(RunTasksTest, EveryTaskRunsOnceAndAFailureStopsTheHandOut) {
  for (int threads : {0, 1, 2, 5}) {
    // All succeed: each runs exactly once, whatever the thread count.
    std::vector<std::atomic<int>> runs(7);
    std::vector<std::function<bool()>> tasks;
    for (size_t i = 0; i < runs.size(); ++i) {
      tasks.push_back([&runs, i]() {
        ++runs[i];
        return true;
      });
    }
    EXPECT_TRUE(RunTasks(threads, tasks)) << threads;
    for (size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(runs[i].load(), 1) << threads << " " << i;
    EXPECT_TRUE(RunTasks(threads, {})) << threads;

    // Task 2 fails: the result says so, and on one thread no task after it starts (with
    // several, the others may run on until they see the failure).
    std::atomic<int> started{0};
    std::vector<std::function<bool()>> failing;
    for (int i = 0; i < 40; ++i) {
      failing.push_back([&started, i]() {
        ++started;
        return i != 2;
      });
    }
    EXPECT_FALSE(RunTasks(threads, failing)) << threads;
    if (threads <= 1) {
      EXPECT_EQ(started.load(), 3);
    }
  }
}
