// The three programs as a person runs them: on a pseudo-terminal with a UTF-8 locale and
// without one, and into a pipe. Checks the bytes: UTF-8 on a UTF-8 terminal, GBK in pipes and
// files (also when the console is UTF-8), --help and --version, and mode 5 taking a UTF-8
// query on a UTF-8 console and printing its hits as a table cut to the terminal's width.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/text/word_list.h"
#include "testing/program_run.h"
#include "testing/records/query_fixture.h"

namespace {

// The sources are UTF-8 compiled with -fexec-charset=GBK: "选项" is GBK, u8"选项" UTF-8.
const std::string kGbkOptions = "[选项]";
const std::string kUtf8Options = u8"[选项]";

tProgramOptions Console(bool terminal, const std::string& lang, const char* setting = nullptr) {
  tProgramOptions options;
  options.terminal = terminal;
  if (!lang.empty()) options.environment.emplace_back("LANG", lang);
  if (setting != nullptr) options.environment.emplace_back("TRINDLE_CONSOLE", setting);
  return options;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Terminal columns of UTF-8 text: two for a character of three or more bytes (CJK), one for
// any other.
size_t Utf8Columns(const std::string& line) {
  size_t columns = 0;
  for (size_t i = 0; i < line.size();) {
    const unsigned char first = static_cast<unsigned char>(line[i]);
    const size_t length = first < 0x80 ? 1 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4;
    columns += length >= 3 ? 2 : 1;
    i += length;
  }
  return columns;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

TEST(ConsolePrograms, TheUsageLineIsUtf8OnAUtf8TerminalAndGbkElsewhere) {
  struct {
    bool terminal;
    const char* lang;
    const char* setting;
    bool utf8;
  } cases[] = {
      {true, "C.UTF-8", nullptr, true},   {true, "zh_CN.UTF-8", "auto", true},
      {true, "C", nullptr, false},        {true, "", nullptr, false},
      {false, "C.UTF-8", nullptr, false}, {false, "C.UTF-8", "utf8", true},
      {true, "C.UTF-8", "gbk", false},    {true, "C", "utf8", true},
  };
  for (const auto& c : cases) {
    const tProgramRun run = RunProgram({INDEXER_PATH}, Console(c.terminal, c.lang, c.setting));
    const std::string what = std::string(c.terminal ? "terminal " : "pipe ") + c.lang + " " +
                             (c.setting ? c.setting : "(unset)");
    EXPECT_EQ(run.status, 255) << what;
    EXPECT_EQ(Contains(run.output, kUtf8Options), c.utf8) << what << ": " << run.output;
    EXPECT_EQ(Contains(run.output, kGbkOptions), !c.utf8) << what << ": " << run.output;
  }
}

TEST(ConsolePrograms, HelpAndVersionAnswerBeforeAnythingElse) {
  // An empty working directory: SearchServer must not look for its configuration.
  CScratchDirectory empty;
  for (const std::string program : {INDEXER_PATH, SEARCH_SERVER_PATH, QUERY_TOOL_PATH}) {
    const std::string name = program.substr(program.rfind('/') + 1);
    for (bool terminal : {false, true}) {
      tProgramOptions options = Console(terminal, "C.UTF-8");
      options.workingDirectory = empty.path();
      const tProgramRun version = RunProgram({program, "--version"}, options);
      EXPECT_EQ(version.status, 0) << name;
      EXPECT_EQ(WithoutCarriageReturns(version.output),
                name + " (Trindle) " + PROJECT_VERSION_TEXT + "\n");
      for (const char* option : {"--help", "-h"}) {
        const tProgramRun help = RunProgram({program, option}, options);
        EXPECT_EQ(help.status, 0) << name << " " << option;
        EXPECT_EQ(help.output.rfind("Usage: " + name, 0), 0u) << name << " " << option;
        EXPECT_TRUE(Contains(help.output, "--version")) << name;
        EXPECT_TRUE(Contains(help.output, "TRINDLE_CONSOLE")) << name;
        EXPECT_FALSE(Contains(help.output, "Erro")) << name;
      }
    }
  }
  // Every mode of indexer and every key of SearchServer.xml is in its help.
  const std::string indexerHelp = RunProgram({INDEXER_PATH, "--help"}, {}).output;
  for (const char* mode : {"\n  1 <", "\n  2 <", "\n  3 <", "\n  4 <", "\n  5 <"}) {
    EXPECT_TRUE(Contains(indexerHelp, mode)) << mode;
  }
  const std::string serverHelp = RunProgram({SEARCH_SERVER_PATH, "--help"}, {}).output;
  for (const char* key : {"ServerIP",
                          "Port",
                          "Standard",
                          "FieldInfo",
                          "PDAT",
                          "WordList",
                          "BindAddress",
                          "MaxConnections",
                          "ReceiveTimeout",
                          "MaxRequestBytes",
                          "ListenBacklog",
                          "ReloadCheckSeconds",
                          "LogDirectory",
                          "HttpPort",
                          "HttpBindAddress",
                          "HttpMaxConnections",
                          "HttpTimeout",
                          "HttpMaxRequestBytes",
                          "HttpKeepAliveRequests",
                          "HttpThreads"}) {
    EXPECT_TRUE(Contains(serverHelp, std::string("\n  ") + key + " ")) << key;
  }
}

// The items of a help text: each line that starts with two blanks and then text, up to the
// first run of two blanks ("-h, --help", "ServerIP", "1 <dictionary text> <trie file>").
std::vector<std::string> HelpItems(const std::string& help) {
  std::vector<std::string> items;
  for (const std::string& line : Lines(help)) {
    if (line.size() < 3 || line.compare(0, 2, "  ") != 0 || line[2] == ' ') continue;
    items.push_back(line.substr(2, line.find("  ", 2) - 2));
  }
  return items;
}

// `man -l` renders each page, and every option, mode and key of --help is in it.
TEST(ConsolePrograms, ManualPagesRenderAndAgreeWithHelp) {
  struct {
    const char* program;
    const char* page;
    size_t items;  // at least this many items in the help
  } pages[] = {{INDEXER_PATH, "indexer.1", 8},
               {SEARCH_SERVER_PATH, "SearchServer.8", 23},
               {QUERY_TOOL_PATH, "trindle-query.1", 3}};
  for (const auto& page : pages) {
    tProgramOptions options = Console(false, "C.UTF-8");
    options.environment.emplace_back("MANWIDTH", "200");
    const tProgramRun man =
        RunProgram({"/usr/bin/man", "-l", std::string(MAN_PAGES_DIR) + "/" + page.page}, options);
    ASSERT_EQ(man.status, 0) << page.page << ": " << man.output;
    EXPECT_TRUE(Contains(man.output, "SYNOPSIS")) << man.output;
    EXPECT_TRUE(Contains(man.output, PROJECT_VERSION_TEXT)) << man.output;
    const std::vector<std::string> items =
        HelpItems(RunProgram({page.program, "--help"}, {}).output);
    EXPECT_GE(items.size(), page.items) << page.page;
    for (const std::string& item : items) {
      EXPECT_TRUE(Contains(man.output, item)) << page.page << " lacks " << item;
    }
  }
}

TEST(ConsolePrograms, SearchServerMessagesFollowTheConsole) {
  CScratchDirectory directory;
  // The data set is missing: the start ends with its Chinese message and status 0.
  ASSERT_TRUE(WriteTextFile(directory.Path("SearchServer.xml"),
                            "<ServerIP>127.0.0.1</ServerIP><Port>0</Port>"
                            "<BindAddress>127.0.0.1</BindAddress><Standard>missing</Standard>"
                            "<FieldInfo>missing.dat</FieldInfo><PDAT>missing.pdat</PDAT>"
                            "<WordList>missing.lst</WordList>"));
  for (bool terminal : {true, false}) {
    tProgramOptions options = Console(terminal, "C.UTF-8");
    options.workingDirectory = directory.path();
    const tProgramRun run = RunProgram({SEARCH_SERVER_PATH}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Contains(run.output, u8"初始化失败！"), terminal) << run.output;
    EXPECT_EQ(Contains(run.output, "初始化失败！"), !terminal) << run.output;
  }
}

const std::vector<std::string> kWords = {"中国", "人民", "bs", "北京", "人生"};
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 CODE code T 1 0 1 0 代码\n"
    "3 YEAR year I 0 1 1 0 年份\n";

// A data set of 40 records for mode 5: 37 with the code BS, 3 with 人民; the titles hold
// 人生 and long text, so that a table line must be cut.
class ConsoleQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fixture = std::make_unique<CQueryFixture>(kWords, kSchema);
    ASSERT_TRUE(m_fixture->ok());
    for (int record = 0; record < 40; ++record) {
      const std::string code = record % 13 == 7 ? "人民" : "BS";
      const std::string title = "人生 中国 " + std::to_string(record) + " " +
                                std::string(static_cast<size_t>(record), 'x') + " 北京北京北京";
      ASSERT_TRUE(m_fixture->AddRow(CMemoryRow{{"TITLE", TextValue(title)},
                                               {"CODE", TextValue(code)},
                                               {"YEAR", IntValue(2000 + record)}}));
    }
    ASSERT_TRUE(m_fixture->SaveAndLoad("set"));
    std::string listText;
    for (const std::string& word : kWords) listText += word + "\n";
    ASSERT_TRUE(WriteTextFile(Path("words.txt"), listText));
    CWordList list;
    testing::internal::CaptureStdout();
    list.BuildFromText(Path("words.txt").c_str(), m_fixture->trie());
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(list.Save(Path("words.dat").c_str()));
  }
  std::string Path(const std::string& name) const { return m_fixture->directory().Path(name); }

  tProgramRun Query(const std::string& query, tProgramOptions options) {
    return RunProgram({INDEXER_PATH, "5", "-", Path("set"), Path("set.schema"), Path("set.trie"),
                       Path("words.dat"), query},
                      options);
  }

  std::unique_ptr<CQueryFixture> m_fixture;
};

TEST_F(ConsoleQueryTest, AUtf8QueryOnAUtf8ConsoleFindsWhatTheGbkQueryFinds) {
  const tProgramRun gbk = Query("[FIELD] code [AND] 人民", Console(false, "C.UTF-8"));
  ASSERT_EQ(gbk.status, 0);
  ASSERT_EQ(gbk.output.rfind("Total 3\n人生 中国 7 ", 0), 0u) << gbk.output;

  // Into a pipe with TRINDLE_CONSOLE=utf8: the same lines, in UTF-8.
  const tProgramRun piped = Query(u8"[FIELD] code [AND] 人民", Console(false, "C", "utf8"));
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.output.rfind(u8"Total 3\n人生 中国 7 ", 0), 0u) << piped.output;
  EXPECT_EQ(Lines(piped.output).size(), Lines(gbk.output).size());

  // On a UTF-8 terminal: the same total, and the hits as a table.
  const tProgramRun terminal = Query(u8"[FIELD] code [AND] 人民", Console(true, "C.UTF-8"));
  EXPECT_EQ(terminal.status, 0);
  const std::string text = WithoutCarriageReturns(terminal.output);
  EXPECT_EQ(text.rfind("Total 3\ntitle", 0), 0u) << text;
  EXPECT_TRUE(Contains(text, u8"人生 中国 20")) << text;
  EXPECT_EQ(Lines(text).size(), 2u + 3u) << text;

  // Another word, through every console: the totals agree.
  for (const tProgramOptions& options :
       {Console(true, "C.UTF-8"), Console(false, "C", "utf8"), Console(true, "C", "utf8")}) {
    EXPECT_EQ(Query(u8"[FIELD] title [AND] 人生", options).output.rfind("Total 40", 0), 0u);
  }
  EXPECT_EQ(
      Query("[FIELD] title [AND] 人生", Console(false, "C.UTF-8")).output.rfind("Total 40", 0), 0u);
}

TEST_F(ConsoleQueryTest, OnATerminalEveryHitIsOneLineCutToItsWidth) {
  for (int columns : {24, 40, 100}) {
    tProgramOptions options = Console(true, "C.UTF-8");
    options.columns = columns;
    const tProgramRun run = RunProgram({INDEXER_PATH, "5", "-", Path("set"), Path("set.schema"),
                                        Path("set.trie"), Path("words.dat")},
                                       options);  // the fixed query: 37 hits
    const std::vector<std::string> lines = Lines(WithoutCarriageReturns(run.output));
    ASSERT_EQ(lines.size(), 2u + 37u) << run.output;
    EXPECT_EQ(lines[0], "Total 37");
    EXPECT_EQ(lines[1].rfind("title", 0), 0u) << lines[1];
    for (const std::string& line : lines) {
      EXPECT_LE(Utf8Columns(line), static_cast<size_t>(columns)) << line;
      EXPECT_EQ(line.find("\xEF\xBF\xBD"), std::string::npos) << "a character was cut: " << line;
    }
    // The year column is at the same place on every hit line.
    const size_t yearAt = lines[2].find("2000");
    if (columns >= 40) {
      ASSERT_NE(yearAt, std::string::npos) << lines[2];
      EXPECT_EQ(Utf8Columns(lines[2].substr(0, yearAt)),
                Utf8Columns(lines[38].substr(0, lines[38].find("2039"))));
    }
  }
}

TEST_F(ConsoleQueryTest, AQueryNotValidInTheConsoleEncodingIsRefused) {
  struct {
    std::string query;
    tProgramOptions options;
    const char* message;
  } cases[] = {
      {"[FIELD] code [AND] 人民", Console(true, "C.UTF-8"), "not valid UTF-8"},  // GBK bytes
      {u8"[FIELD] code [AND] 😀", Console(false, "C", "utf8"), "not valid UTF-8"},
      {"[FIELD] code [AND] \xC8", Console(false, "C.UTF-8"), "not valid GBK"},  // cut short
  };
  for (const auto& c : cases) {
    const tProgramRun run = Query(c.query, c.options);
    EXPECT_EQ(run.status, 1) << c.query;
    EXPECT_TRUE(Contains(run.output, c.message)) << run.output;
    EXPECT_FALSE(Contains(run.output, "Total")) << run.output;
  }
}

// Into a pipe on a UTF-8 locale the query is GBK; one that is valid UTF-8 gets a hint on
// standard error, a GBK one none.
TEST_F(ConsoleQueryTest, AUtf8QueryIntoAPipeIsTakenAsGbkWithAHint) {
  tProgramOptions options = Console(false, "C.UTF-8");
  options.standardErrorToo = true;
  const tProgramRun utf8 = Query(u8"[FIELD] code [AND] 人民", options);
  EXPECT_EQ(utf8.status, 0);
  EXPECT_TRUE(Contains(utf8.output, "TRINDLE_CONSOLE=utf8 reads it as UTF-8")) << utf8.output;
  EXPECT_TRUE(Contains(utf8.output, "Total 0\n")) << utf8.output;
  const tProgramRun gbk = Query("[FIELD] code [AND] 人民", options);
  EXPECT_EQ(gbk.output.rfind("Total 3\n", 0), 0u) << gbk.output;
  options.environment.emplace_back("TRINDLE_CONSOLE", "gbk");  // asked for: no hint
  EXPECT_FALSE(Contains(Query(u8"[FIELD] code [AND] 人民", options).output, "reads it as"));
}

TEST_F(ConsoleQueryTest, FilesAreTheSameWhateverTheConsole) {
  ASSERT_TRUE(WriteTextFile(Path("schema.txt"), std::string("header\n") + kSchema));
  std::vector<std::string> outputs;
  for (const tProgramOptions& options : {Console(false, "C"), Console(true, "C.UTF-8")}) {
    const std::string tag = std::to_string(outputs.size());
    const tProgramRun run =
        RunProgram({INDEXER_PATH, "3", Path("schema.txt"), Path("schema" + tag + ".dat"),
                    Path("review" + tag + ".txt")},
                   options);
    EXPECT_EQ(run.status, 0);
    outputs.push_back(ReadBinaryFile(Path("schema" + tag + ".dat")) + "|" +
                      ReadBinaryFile(Path("review" + tag + ".txt")));
  }
  EXPECT_FALSE(outputs[0].empty());
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_TRUE(Contains(outputs[1], "标题"));  // the review text stays GBK
}

}  // namespace
