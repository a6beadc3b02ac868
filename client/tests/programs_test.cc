// The programs built on the library: the trindle-query tool (options, output, exit status
// and reason), the C example and the Python module, each run as a process against a fake
// server on 127.0.0.1. With TRINDLE_LIVE_CONFIG naming the client configuration of a
// running SearchServer, the examples also run against it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "client/tests/fake_server.h"
#include "testing/program_run.h"

namespace {

using std::string;

const std::vector<string> kNames = {"title", "body"};

class ProgramsTest : public ::testing::Test {
 protected:
  ProgramsTest()
      : server([](const QueryRequest& request) {
          if (request.text == "stall") return tFakeReply{tFakeReply::kStall, ""};
          if (request.text == "close") return tFakeReply{tFakeReply::kClose, ""};
          return PageReply(MakePage({{request.text, "朱镕基"}, {"a&b", ""}}, 42, request.start, 2));
        }) {
    config = WriteConfig(folder.File("client.xml"), "127.0.0.1", server.port(),
                         WriteSchema(folder.path(), kNames), 1);
  }

  // Runs trindle-query with `arguments`; *out receives standard output, *err standard error.
  int Tool(const string& arguments, string* out, string* err = nullptr) {
    const string errPath = folder.File("stderr.txt");
    const int status =
        RunCommand("'" QUERY_TOOL_PATH "' " + arguments + " 2>'" + errPath + "'", out);
    if (err != nullptr) *err = FileText(errPath);
    return status;
  }

  CScratchFolder folder;
  CFakeServer server;
  string config;
};

TEST_F(ProgramsTest, ToolWritesTheDocumentToAFileOrStandardOutput) {
  string out, err;
  const string path = folder.File("out.xml");
  ASSERT_EQ(Tool("'" + config + "' 'title=x' 3 10 '" + path + "'", &out, &err), 0) << err;
  EXPECT_EQ(out, "");
  EXPECT_TRUE(XmllintAccepts(path));
  const tParsedDocument fromFile = ParseDocument(FileText(path));
  EXPECT_EQ(fromFile.start, "3");
  EXPECT_EQ(fromFile.documents[1][0].second, "a&b");

  ASSERT_EQ(Tool("'" + config + "' 'title=x' 3 10 -", &out, &err), 0) << err;
  EXPECT_EQ(out, FileText(path));

  // UTF-8 in and out; the server still receives GBK.
  ASSERT_EQ(Tool("--utf8 '" + config + "' '" + string(u8"朱镕基") + "' 0 5 -", &out, &err), 0)
      << err;
  EXPECT_EQ(server.queries().back(), "朱镕基");
  EXPECT_NE(out.find("encoding=\"UTF-8\""), string::npos) << out;
  EXPECT_NE(out.find(u8"<title>朱镕基</title>"), string::npos) << out;
  const tParsedDocument parsed = ParseDocument(out);
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.documents[0][1].second, u8"朱镕基");
  EXPECT_EQ(
      FolderEntries(folder.path()),
      (std::vector<string>{"client.xml", "out.xml", "schema.txt", "schema.txt.dat", "stderr.txt"}));
}

TEST_F(ProgramsTest, ToolExitStatusNamesTheFailure) {
  string out;
  ASSERT_EQ(Tool("--help", &out), 0);
  EXPECT_NE(out.find("Usage: trindle-query"), string::npos);

  const string closedConfig =
      WriteConfig(folder.File("closed.xml"), "127.0.0.1", 1, folder.File("schema.txt.dat"));
  struct Case {
    string arguments;
    int status;
    string reason;  // part of the one line on standard error
  };
  const std::vector<Case> cases = {
      {"", 1, "expected 5 arguments"},
      {"--verbose a b 0 1 -", 1, "unknown option --verbose"},
      {"'" + config + "' q zero 1 -", 1, "start is not a number"},
      {"'" + config + "' q 0 1x -", 1, "page count is not a number"},
      {"--utf8 '" + config + "' \"$(printf '\\377')\" 0 1 -", 1, "not UTF-8"},
      {"'" + folder.File("none.xml") + "' q 0 1 -", 2, "bad configuration: cannot read"},
      {"'" + closedConfig + "' q 0 1 -", 3, "cannot connect to 127.0.0.1:1"},
      {"'" + config + "' stall 0 1 -", 4, "bad or missing response"},
      {"'" + config + "' close 0 1 -", 4, "bad or missing response"},
      {"'" + config + "' q 0 1 '" + folder.File("no/dir.xml") + "'", 5, "cannot write"},
  };
  for (const Case& c : cases) {
    string err;
    EXPECT_EQ(Tool(c.arguments, &out, &err), c.status) << c.arguments << "\n" << err;
    EXPECT_NE(err.find(c.reason), string::npos) << c.arguments << "\n" << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

// On a UTF-8 console (a terminal with a UTF-8 locale, or TRINDLE_CONSOLE=utf8) the tool works
// as with --utf8; TRINDLE_CONSOLE=gbk and a pipe keep GBK.
TEST_F(ProgramsTest, ToolOnAUtf8ConsoleTakesAndPrintsUtf8) {
  struct {
    bool terminal;
    const char* lang;
    const char* setting;
    bool utf8;
  } cases[] = {
      {true, "C.UTF-8", nullptr, true},
      {false, "C", "utf8", true},
      {true, "C.UTF-8", "gbk", false},
      {false, "C.UTF-8", nullptr, false},
  };
  for (const auto& c : cases) {
    tProgramOptions options;
    options.terminal = c.terminal;
    options.environment.emplace_back("LANG", c.lang);
    if (c.setting != nullptr) options.environment.emplace_back("TRINDLE_CONSOLE", c.setting);
    const string query = c.utf8 ? string(u8"朱镕基") : string("朱镕基");
    const tProgramRun run = RunProgram({QUERY_TOOL_PATH, config, query, "0", "5", "-"}, options);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(server.queries().back(), "朱镕基");  // the server always receives GBK
    EXPECT_EQ(run.output.find("encoding=\"UTF-8\"") != string::npos, c.utf8) << run.output;
    const string title =
        c.utf8 ? string(u8"<title>朱镕基</title>") : string("<title>朱镕基</title>");
    EXPECT_NE(run.output.find(title), string::npos) << run.output;
  }
  // UTF-8 into a pipe is sent as GBK, with a hint on standard error.
  tProgramOptions piped;
  piped.environment.emplace_back("LANG", "C.UTF-8");
  piped.standardErrorToo = true;
  const tProgramRun run = RunProgram({QUERY_TOOL_PATH, config, u8"朱镕基", "0", "5", "-"}, piped);
  EXPECT_NE(run.output.find("--utf8 reads it as UTF-8"), string::npos) << run.output;
}

TEST_F(ProgramsTest, CExamplePrintsTheDocument) {
  string out;
  ASSERT_EQ(RunCommand("'" QUERY_EXAMPLE_PATH "' '" + config + "' q 0 2", &out), 0);
  const tParsedDocument parsed = ParseDocument(out);
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.total, "42");
  EXPECT_EQ(parsed.documents[0][0].second, "q");
}

string PythonQuery(const string& configPath, const string& query) {
  return "PYTHONPATH='" EXAMPLES_DIR "' TRINDLE_AGENT_LIBRARY='" AGENT_LIBRARY_PATH
         "' python3 -c 'import json, sys, trindle_agent; r = trindle_agent.query(sys.argv[1], "
         "sys.argv[2]); print(json.dumps([r.total, r.returned, r.start, r.documents]))' '" +
         configPath + "' '" + query + "'";
}

TEST_F(ProgramsTest, PythonModuleReturnsTheResultsAsObjects) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "python3 cannot load a library built with AddressSanitizer";
#endif
  string out;
  ASSERT_EQ(RunCommand(PythonQuery(config, "title=x"), &out), 0);
  EXPECT_EQ(out,
            "[42, 2, 0, [{\"title\": \"title=x\", \"body\": \"\\u6731\\u9555\\u57fa\"}, "
            "{\"title\": \"a&b\", \"body\": \"\"}]]\n");
  EXPECT_NE(RunCommand(PythonQuery(config, "close") + " 2>/dev/null", &out), 0);
}

TEST(LiveServer, ExamplesAgainstARunningSearchServer) {
  const char* live = std::getenv("TRINDLE_LIVE_CONFIG");
  if (live == nullptr)
    GTEST_SKIP() << "TRINDLE_LIVE_CONFIG names no running server's client configuration";
  const char* query = std::getenv("TRINDLE_LIVE_QUERY");
  const string text = query != nullptr ? query : "";
  string out;
  ASSERT_EQ(RunCommand("'" QUERY_EXAMPLE_PATH "' '" + string(live) + "' '" + text + "' 0 20", &out),
            0);
  EXPECT_TRUE(ParseDocument(out).ok);
#if !defined(__SANITIZE_ADDRESS__)
  ASSERT_EQ(RunCommand(PythonQuery(live, text), &out), 0);
  EXPECT_EQ(out.front(), '[');
#endif
}

}  // namespace
