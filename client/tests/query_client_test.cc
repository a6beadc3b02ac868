// The query call against a frame-level fake server on 127.0.0.1: the exchange, every way it
// can fail (each leaving any earlier document untouched), the configuration that is retried
// until it loads, many threads making the first call at once, and allocation failures.
#include "client/query_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "client/tests/allocation_failure.h"
#include "client/tests/fake_server.h"
#include "formats/result_document.h"

namespace {

using std::string;

const std::vector<string> kNames = {"title", "body"};

class QueryClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    schemaPath = WriteSchema(folder.path(), kNames);
    resultPath = folder.File("result.xml");
  }

  tClientConfig Config(uint16_t port, const string& server = "127.0.0.1") {
    tClientConfig config;
    const string path = WriteConfig(folder.File("client.xml"), server, port, schemaPath, 1);
    EXPECT_TRUE(ReadClientConfig(path.c_str(), &config));
    return config;
  }

  CScratchFolder folder;
  string schemaPath, resultPath;
};

TEST_F(QueryClientTest, SendsTheRequestAndWritesThePage) {
  QueryRequest seen;
  const ResultPage page = MakePage({{"标题一", "正文"}, {"", "朱镕基"}}, 7, 2, 2);
  CFakeServer server([&](const QueryRequest& request) {
    seen = request;
    return PageReply(page);
  });
  const tClientConfig config = Config(server.port());
  QueryStatus status;
  ASSERT_EQ(QueryServer(config, "title=北京", 2, 5, resultPath.c_str(), &status), 0);
  EXPECT_EQ(status, QueryStatus::kOk);
  EXPECT_EQ(seen.text, "title=北京");
  EXPECT_EQ(seen.start, 2);
  EXPECT_EQ(seen.pageCount, 5);
  const tParsedDocument parsed = ParseDocument(FileText(resultPath));
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.encoding, "GBK");
  EXPECT_EQ(parsed.total, "7");
  EXPECT_EQ(parsed.returned, "2");
  EXPECT_EQ(parsed.start, "2");
  ASSERT_EQ(parsed.documents.size(), 2u);
  EXPECT_EQ(parsed.documents[0][0], std::make_pair(string("title"), ReferenceUtf8("标题一")));
  EXPECT_EQ(parsed.documents[1][0].second, "");
  EXPECT_EQ(parsed.documents[1][1], std::make_pair(string("body"), ReferenceUtf8("朱镕基")));

  // A start past the hits gives an empty page and still succeeds.
  CFakeServer empty([](const QueryRequest&) { return PageReply(MakePage({}, 7, 50, 2)); });
  ASSERT_EQ(QueryServer(Config(empty.port()), "", 50, 5, resultPath.c_str()), 0);
  EXPECT_FALSE(ParseDocument(FileText(resultPath)).hasResult);
  EXPECT_EQ(empty.queries(), std::vector<string>{""});
}

string Int32Bytes(int32_t value) { return string(reinterpret_cast<const char*>(&value), 4); }

TEST_F(QueryClientTest, EveryFailedExchangeReturnsMinusOneAndKeepsTheEarlierDocument) {
  const string goodPage = PackPage(MakePage({{"a", "b"}}, 1, 0, 2));
  struct Case {
    const char* what;
    tFakeReply reply;
    QueryStatus expected;
  };
  const std::vector<Case> cases = {
      {"closes without answer", {tFakeReply::kClose, ""}, QueryStatus::kExchange},
      {"never answers", {tFakeReply::kStall, ""}, QueryStatus::kExchange},
      {"answers half a length", {tFakeReply::kRaw, "\x10\x00"}, QueryStatus::kExchange},
      {"answers part of the body",
       {tFakeReply::kRaw,
        Int32Bytes(static_cast<int32_t>(goodPage.size())) + goodPage.substr(0, 22)},
       QueryStatus::kExchange},
      {"announces 2 GiB and closes",
       {tFakeReply::kRaw, Int32Bytes(0x7fffffff)},
       QueryStatus::kExchange},
      {"announces a negative length",
       {tFakeReply::kRaw, Int32Bytes(-8)},
       QueryStatus::kBadResponse},
      {"answers a body shorter than a header",
       {tFakeReply::kFrame, string(12, '\0')},
       QueryStatus::kBadResponse},
      {"counts that do not fit the length",
       {tFakeReply::kFrame, goodPage + "x"},
       QueryStatus::kBadResponse},
      {"more records than asked for",
       PageReply(MakePage(std::vector<std::vector<string>>(11, {"a", "b"}), 11, 0, 2)),
       QueryStatus::kBadResponse},
      {"more records than hits", PageReply(MakePage({{"a", "b"}, {"c", "d"}}, 1, 0, 2)),
       QueryStatus::kBadResponse},
      {"a page of another schema (three fields)", PageReply(MakePage({{"a", "b", "c"}}, 1, 0, 3)),
       QueryStatus::kWrongSchema},
      {"a page of another schema (one field)", PageReply(MakePage({}, 0, 0, 1)),
       QueryStatus::kWrongSchema},
  };
  ASSERT_TRUE(ReplaceFile(resultPath.c_str(), "earlier"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CFakeServer server([&](const QueryRequest&) { return c.reply; });
    const tClientConfig config = Config(server.port());
    QueryStatus status = QueryStatus::kOk;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(QueryServer(config, "q", 0, 10, resultPath.c_str(), &status), -1);
    EXPECT_EQ(status, c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));  // Timeout 1
    EXPECT_EQ(FileText(resultPath), "earlier");
  }
  EXPECT_EQ(FolderEntries(folder.path()),
            (std::vector<string>{"client.xml", "result.xml", "schema.txt", "schema.txt.dat"}));
}

TEST_F(QueryClientTest, UnreachableServers) {
  uint16_t closedPort;
  {
    CFakeServer gone([](const QueryRequest&) { return tFakeReply{}; });
    closedPort = gone.port();
  }
  QueryStatus status;
  EXPECT_EQ(QueryServer(Config(closedPort), "q", 0, 1, resultPath.c_str(), &status), -1);
  EXPECT_EQ(status, QueryStatus::kConnect);
  // A name with an empty label cannot even be put into a lookup, so nothing leaves the host.
  EXPECT_EQ(
      QueryServer(Config(closedPort, "no..such..host"), "q", 0, 1, resultPath.c_str(), &status),
      -1);
  EXPECT_EQ(status, QueryStatus::kResolve);
  EXPECT_EQ(FileText(resultPath), "<missing>");
}

TEST_F(QueryClientTest, UnwritableResultPathFailsAfterTheExchange) {
  CFakeServer server([](const QueryRequest&) {
    return PageReply(MakePage({{"a", "b"}}, 1, 0, 2));
  });
  QueryStatus status;
  EXPECT_EQ(
      QueryServer(Config(server.port()), "q", 0, 1, folder.File("none/r.xml").c_str(), &status),
      -1);
  EXPECT_EQ(status, QueryStatus::kWrite);
  EXPECT_EQ(server.requests(), 1);
}

TEST_F(QueryClientTest, ConfigurationIsRetriedUntilItLoadsThenKept) {
  CFakeServer server([](const QueryRequest&) {
    return PageReply(MakePage({{"a", "b"}}, 1, 0, 2));
  });
  const string configPath = folder.File("late.xml");
  CClientState state;
  QueryStatus status;
  EXPECT_EQ(state.Call(configPath.c_str(), "q", 0, 1, resultPath.c_str(), &status), -1);
  EXPECT_EQ(status, QueryStatus::kConfig);
  WriteConfig(configPath, "127.0.0.1", server.port(), folder.File("missing.dat"));
  EXPECT_EQ(state.Call(configPath.c_str(), "q", 0, 1, resultPath.c_str(), &status), -1);
  EXPECT_EQ(status, QueryStatus::kConfig);
  EXPECT_EQ(state.config(), nullptr);
  EXPECT_EQ(server.requests(), 0);

  WriteConfig(configPath, "127.0.0.1", server.port(), schemaPath);
  EXPECT_EQ(state.Call(configPath.c_str(), "q", 0, 1, resultPath.c_str()), 0);
  // Once read, the configuration stays: later paths are ignored.
  EXPECT_EQ(state.Call("/no/such/config", "q", 0, 1, resultPath.c_str()), 0);
  EXPECT_EQ(server.requests(), 2);
}

TEST_F(QueryClientTest, ConfigurationValues) {
  struct Case {
    string text;
    bool ok;
    uint16_t port;
    int timeout;
  };
  const string schema = "<FieldInfo>" + schemaPath + "</FieldInfo>";
  const std::vector<Case> cases = {
      {"<ServerIP>h</ServerIP><Port>8888</Port>" + schema, true, 8888, 30},
      {"<ServerIP> h\n</ServerIP><Port> 80x</Port>" + schema + "<Timeout>5</Timeout>", true, 80, 5},
      {"<ServerIP>h</ServerIP>" + schema, false, 0, 0},                    // no port
      {"<ServerIP>h</ServerIP><Port>70000</Port>" + schema, false, 0, 0},  // out of range
      {"<Port>1</Port>" + schema, false, 0, 0},                            // no server
      {"<ServerIP>h</ServerIP><Port>1</Port>" + schema + "<Timeout>0</Timeout>", false, 0, 0},
      {"<ServerIP>" + string(1024, 'h') + "</ServerIP><Port>1</Port>" + schema, false, 0, 0},
      {"<ServerIP>h</ServerIP><Port>1</Port><FieldInfo>/none</FieldInfo>", false, 0, 0},
      {"", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(folder.File("c.xml"), std::ios::binary | std::ios::trunc) << c.text;
    tClientConfig config;
    string problem;
    ASSERT_EQ(ReadClientConfig(folder.File("c.xml").c_str(), &config, &problem), c.ok) << problem;
    if (!c.ok) {
      EXPECT_FALSE(problem.empty());
      continue;
    }
    EXPECT_EQ(config.serverName, "h");
    EXPECT_EQ(config.port, c.port);
    EXPECT_EQ(config.timeoutSeconds, c.timeout);
    EXPECT_EQ(config.storedNames, kNames);
  }
}

TEST_F(QueryClientTest, ManyThreadsMakeTheFirstCallAtOnce) {
  CFakeServer server([](const QueryRequest& request) {
    return PageReply(
        MakePage({{request.text, std::to_string(request.start)}}, 100, request.start, 2));
  });
  const string configPath =
      WriteConfig(folder.File("client.xml"), "127.0.0.1", server.port(), schemaPath, 10);
  CClientState state;
  constexpr int kThreads = 8, kCalls = 6;
  std::atomic<int> ready{0}, failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int call = 0; call < kCalls; ++call) {
        const string query = "q" + std::to_string(t);
        const string path = folder.File("r" + std::to_string(t) + ".xml");
        if (state.Call(configPath.c_str(), query.c_str(), call, 1, path.c_str()) != 0) {
          failures.fetch_add(1);
          continue;
        }
        const tParsedDocument parsed = ParseDocument(FileText(path));
        if (!parsed.ok || parsed.documents.size() != 1 || parsed.documents[0][0].second != query ||
            parsed.documents[0][1].second != std::to_string(call)) {
          failures.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(server.requests(), kThreads * kCalls);
}

// Whichever allocation of a call fails, the call returns -1 (nothing escapes) and writes
// nothing; with no failure it succeeds.
TEST_F(QueryClientTest, AllocationFailuresBecomeMinusOne) {
  CFakeServer server([](const QueryRequest&) {
    return PageReply(MakePage({{"标题", "正文"}, {"a", "b"}}, 2, 0, 2));
  });
  const string configPath =
      WriteConfig(folder.File("client.xml"), "127.0.0.1", server.port(), schemaPath, 5);
  bool succeeded = false;
  int failedCalls = 0;
  for (long n = 0; n < 2000 && !succeeded; ++n) {
    CClientState state;
    FailAllocationAfter(n);
    const int result = state.Call(configPath.c_str(), "q", 0, 2, resultPath.c_str());
    const bool injected = AllocationFailureFired();
    if (result == 0) {
      succeeded = !injected;
      continue;
    }
    ++failedCalls;
    ASSERT_TRUE(injected) << "call failed without an injected failure at " << n;
    ASSERT_EQ(FileText(resultPath), "<missing>") << n;
  }
  EXPECT_TRUE(succeeded);
  EXPECT_GT(failedCalls, 20);
}

}  // namespace
