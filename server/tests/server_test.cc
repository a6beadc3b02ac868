// Tests of the search server over 127.0.0.1: the exchange against the in-process query
// engine, hostile and slow clients, the connection bound, the end on SIGTERM, and the start-up
// sequence of the SearchServer program with its messages and exit statuses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <random>
#include <sstream>
#include <thread>

#include "core/query/query.h"
#include "core/records/data_set_files.h"
#include "core/records/manifest.h"
#include "core/scan/record_preparation.h"
#include "core/text/word_list.h"
#include "core/util/byte_io.h"
#include "core/util/log_text.h"
#include "core/util/mapped_file.h"
#include "net/frame.h"
#include "net/input_output.h"
#include "net/socket_io.h"
#include "server/accept_loop.h"
#include "server/data_reloader.h"
#include "server/metrics.h"
#include "server/search_data.h"
#include "server/server_config.h"
#include "testing/allocation/allocation_limit.h"
#include "testing/net/wire_client.h"
#include "testing/records/query_fixture.h"
#include "testing/records/served_set.h"
#include "testing/server/loopback_server.h"

namespace {

using std::chrono::milliseconds;

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "上海",
                                         "你好", "世界", "电脑", "软件", "bs"};
constexpr int kRecords = 80;
constexpr int kBigRecords = 40;  // records whose body is large, for pages that fill buffers

CSocket Connect(uint16_t port) {
  CSocket socket = ConnectLoopback(port, 5);
  EXPECT_TRUE(socket.valid());
  return socket;
}

// Sends `bytes` (closing the sending side when `finish`) and returns what comes back.
std::string Exchange(uint16_t port, const std::string& bytes, bool finish = true) {
  CSocket socket = Connect(port);
  if (!socket.valid()) return "";
  if (!bytes.empty()) {
    EXPECT_EQ(SendFully(socket.fd(), bytes.data(), static_cast<int>(bytes.size()), 0),
              static_cast<int>(bytes.size()));
  }
  if (finish) ::shutdown(socket.fd(), SHUT_WR);
  return ReadUntilClosed(socket.fd());
}

// The response frame the server must send for a query: the in-process engine's page, packed.
std::string ExpectedFrame(const CSearchData& data, const std::string& query, int start,
                          int pageCount) {
  CQuery engine(data.schema(), data.store());
  engine.Execute(query.c_str());
  CInputOutput io;
  int32_t length = 0;
  const char* packed = io.PackResult(engine.GetPage(start, pageCount), &length);
  return MakeFrame(std::string(packed, static_cast<size_t>(length)));
}

bool WaitFor(const std::function<bool()>& condition, int limitMs = 5000) {
  auto until = std::chrono::steady_clock::now() + milliseconds(limitMs);
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return condition();
}

// A data set on disk (trie, word list, schema, data set files) in a scratch directory that is
// also the working directory, loaded for the in-process server.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fixture = std::make_unique<CServedSetFixture>(kWords);
    ASSERT_TRUE(m_fixture->ok());
    std::mt19937 random(20261209);
    for (int record = 0; record < kRecords + kBigRecords; ++record) {
      const int bodyWords = record < kRecords ? 1 + static_cast<int>(random() % 12) : 40000;
      const std::string title = RandomText(&random, kWords, 3);
      ASSERT_TRUE(
          m_fixture->AddRecord(title, RandomText(&random, kWords, bodyWords), 2000 + record % 7));
    }
    ASSERT_TRUE(m_fixture->SaveServedSet());
    m_data = LoadSearchData(m_fixture->ServedPaths());
    ASSERT_TRUE(m_data);
  }
  void TearDown() override { StopServer(); }

  std::string Path(const std::string& name) const { return m_fixture->Path(name); }

  // Runs the accept loop on a thread over a listener on 127.0.0.1 with a free port.
  void StartServer(int maxConnections = 20, int receiveTimeout = 10, int maxRequestBytes = 1 << 20,
                   std::function<std::thread(std::function<void()>)> startThread = nullptr) {
    tAcceptOptions options;
    options.maxConnections = maxConnections;
    options.limits.receiveTimeout = receiveTimeout;
    options.limits.maxRequestBytes = maxRequestBytes;
    options.limits.maxPageCount = m_limits.maxPageCount;
    options.limits.maxQueryWords = m_limits.maxQueryWords;
    options.limits.queryTimeoutMs = m_limits.queryTimeoutMs;
    options.limits.containsMatch = m_limits.containsMatch;
    options.currentData = [this] { return m_served ? m_served->Get() : m_data; };
    options.startThread = std::move(startThread);
    options.metrics = &m_metrics;
    ASSERT_TRUE(m_server.Start(std::move(options)));
    m_port = m_server.port();
  }
  void StopServer() { m_server.Stop(); }
  std::string Query(const std::string& query, int start = 0, int pageCount = 20) {
    return Exchange(m_port, MakeFrame(RequestBody(query, start, pageCount)));
  }

  std::unique_ptr<CServedSetFixture> m_fixture;
  std::shared_ptr<const CSearchData> m_data;
  CServerMetrics m_metrics;
  std::unique_ptr<CServedData> m_served;  // when set, connections take their data set here
  CLoopbackServer m_server;
  tConnectionLimits m_limits;  // page, word and time bounds for StartServer
  uint16_t m_port = 0;
};

TEST_F(ServerTest, AnswersWhatTheEngineAnswersForEveryWindow) {
  StartServer();
  const std::string queries[] = {
      "[FIELD] title [AND] 中国",
      "[FIELD] body [AND] 人民北京 [FIELD] year [AND] 2003 2005",
      "[FIELD] * [AND] 软件 [FIELD] title [AND] 大学",
      "[FIELD] body [AND] 中国 中国 中国 中国",
      "[FIELD] nosuch [AND] x",
      "",
  };
  const std::pair<int, int> windows[] = {{0, 20},   {5, 3},        {0, 0},       {-1, 5},
                                         {3, -2},   {INT_MAX, 20}, {0, INT_MAX}, {INT_MIN, INT_MIN},
                                         {79, 1000}};
  for (const std::string& query : queries) {
    for (auto [start, pageCount] : windows) {
      EXPECT_EQ(Query(query, start, pageCount), ExpectedFrame(*m_data, query, start, pageCount))
          << query << " " << start << " " << pageCount;
    }
  }
  EXPECT_GT(m_data->store().GetRecordCount(), 0);
}

TEST_F(ServerTest, TheMatchSettingFindsValuesInsideWordsOnTheBinaryPort) {
  // 京大 stands only across the words 北京 and 大学: by words it finds nothing.
  const std::string query = "[FIELD] * [AND] 京大";
  CServedSetFixture containing(kWords);
  ASSERT_TRUE(containing.ok());
  containing.EnableContains();
  for (int record = 0; record < 20; ++record) {
    ASSERT_TRUE(containing.AddRecord(record % 2 == 0 ? "北京大学" : "大学北京", "人民", 2000));
  }
  ASSERT_TRUE(containing.SaveServedSet());
  const std::shared_ptr<const CSearchData> words = m_data;
  m_data = LoadSearchData(containing.ServedPaths());
  ASSERT_TRUE(m_data);
  m_limits.containsMatch = true;
  StartServer();
  CQuery engine(m_data->schema(), m_data->store());
  engine.SetMatch(MatchMode::kContains);
  ASSERT_EQ(engine.Execute(query.c_str()), 10);
  CInputOutput io;
  int32_t length = 0;
  const char* packed = io.PackResult(engine.GetPage(0, 20), &length);
  EXPECT_EQ(Query(query), MakeFrame(std::string(packed, static_cast<size_t>(length))));
  // A data set without contains indexes is answered by words.
  m_data = words;
  EXPECT_EQ(Query(query), ExpectedFrame(*m_data, query, 0, 20));
  StopServer();
}

TEST_F(ServerTest, HostileFramesAreDroppedOrAnsweredEmpty) {
  StartServer(20, 10, 4096);
  const std::string emptyPage = ExpectedFrame(*m_data, "", 0, 20);
  struct Case {
    std::string bytes;
    std::string response;  // "" for a connection closed without an answer
    const char* logged;
  } cases[] = {
      {"", "", "nRecvCount=-1!"},
      {std::string("\x05\x00", 2), "", "nRecvCount=-3!"},
      {MakeFrame(""), emptyPage, ""},
      {MakeFrame("ab"), emptyPage, ""},
      {MakeFrame(std::string(4, '\0')), emptyPage, ""},
      {MakeFrame(std::string(8, '\0')), emptyPage, ""},
      {std::string("\xFF\xFF\xFF\xFF", 4), "", "Refused query size -1"},
      {MakeFrame(std::string(4097, 'x')), "", "Refused query size 4097"},
      {MakeFrame(RequestBody("", 0, 20)).substr(0, 4) + std::string(6, 'x'), "",
       "nRecvCount=-7,nQuerySize=12"},
      {[] {
         std::string body = RequestBody("abc", 0, 20);
         body[8] = 9;  // Q beyond the body
         return MakeFrame(body);
       }(),
       "", "does not fit the 15-byte request"},
      {[] {
         std::string body = RequestBody("abc", 0, 20);
         std::memset(&body[8], 0xFF, 4);  // Q = -1
         return MakeFrame(body);
       }(),
       "", "does not fit the 15-byte request"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Exchange(m_port, c.bytes), c.response) << c.bytes.size();
    if (c.logged[0] != '\0') {
      EXPECT_TRUE(WaitFor([&] { return ReadDailyLog().find(c.logged) != std::string::npos; }))
          << c.logged;
    }
  }
  // A query of almost 1 MiB is answered, and logged cut with its length.
  StopServer();
  StartServer();
  const std::string longQuery = "[FIELD] title [AND] 中国 " + std::string((1 << 20) - 40, 'q');
  EXPECT_EQ(Query(longQuery), ExpectedFrame(*m_data, longQuery, 0, 20));
  const std::string logged = longQuery.substr(0, kLoggedQueryBytes) + "... (" +
                             std::to_string(longQuery.size()) + " bytes) start=0";
  EXPECT_TRUE(WaitFor([&] { return ReadDailyLog().find(logged) != std::string::npos; }));
  EXPECT_LT(ReadDailyLog().size(), 65536u);
}

// A balancer's TCP check connects and closes (or resets) without a byte: counted as a probe,
// not a failed query, while its log line stays. Anything else that ends without an answer is
// a failed query.
TEST_F(ServerTest, ConnectionsClosedBeforeTheirFirstByteAreProbes) {
  StartServer(20, 1);
  const auto countLogLines = [] {
    const std::string log = ReadDailyLog();
    int64_t lines = 0;
    for (size_t at = log.find("nRecvCount=-1!"); at != std::string::npos;
         at = log.find("nRecvCount=-1!", at + 1)) {
      ++lines;
    }
    return lines;
  };
  const int64_t logLines = countLogLines();
  EXPECT_EQ(Exchange(m_port, ""), "");  // orderly close
  {
    CSocket reset = Connect(m_port);  // reset, as a check with lingering off closes
    linger off{1, 0};
    ASSERT_EQ(::setsockopt(reset.fd(), SOL_SOCKET, SO_LINGER, &off, sizeof off), 0);
  }
  EXPECT_EQ(Exchange(m_port, std::string("\x05\x00", 2)), "");  // two bytes, then closed
  {
    CSocket silent = Connect(m_port);  // open and silent until the receive time-out
    EXPECT_EQ(ReadUntilClosed(silent.fd()), "");
  }
  EXPECT_EQ(Query("[FIELD] title [AND] 中国"),
            ExpectedFrame(*m_data, "[FIELD] title [AND] 中国", 0, 20));
  EXPECT_TRUE(WaitFor([&] { return m_server.loop().ActiveConnections() == 0; }));
  EXPECT_EQ(m_metrics.Queries(trindle::Interface::kBinary, trindle::Outcome::kProbe), 2);
  EXPECT_EQ(m_metrics.Queries(trindle::Interface::kBinary, trindle::Outcome::kFailed), 2);
  EXPECT_EQ(m_metrics.Queries(trindle::Interface::kBinary, trindle::Outcome::kOk), 1);
  const std::string rendered = m_metrics.Render();
  EXPECT_NE(rendered.find("trindle_queries_total{interface=\"binary\",outcome=\"probe\"} 2\n"),
            std::string::npos);
  // Probes stay out of the latency histogram: three requests in it.
  EXPECT_NE(rendered.find("trindle_query_duration_seconds_count{interface=\"binary\"} 3\n"),
            std::string::npos)
      << rendered;
  EXPECT_EQ(countLogLines() - logLines, 3);  // both probes and the silent client
}

TEST_F(ServerTest, IdlePartialAndNonReadingClientsAreDroppedAfterTheTimeout) {
  StartServer(2, 1);
  CSocket idle = Connect(m_port);
  CSocket partial = Connect(m_port);
  const std::string request = MakeFrame(RequestBody("[FIELD] title [AND] 中国", 0, 20));
  ASSERT_EQ(SendFully(partial.fd(), request.data(), 10, 0), 10);
  // Both slots are taken; a third client waits in the queue and is served once they time out.
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Query("[FIELD] title [AND] 中国"),
            ExpectedFrame(*m_data, "[FIELD] title [AND] 中国", 0, 20));
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(900));
  EXPECT_EQ(ReadUntilClosed(idle.fd()), "");
  EXPECT_EQ(ReadUntilClosed(partial.fd()), "");
  std::string log = ReadDailyLog();
  EXPECT_NE(log.find("nRecvCount=-1!"), std::string::npos);
  EXPECT_NE(log.find("nRecvCount=-7,nQuerySize="), std::string::npos);

  // A client that asks for a large page and never reads it.
  CSocket stalled;
  int small = 4096;
  {
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = loopback;
    peer.sin_port = htons(m_port);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer), 0);
    stalled = CSocket(fd);
  }
  const std::string big = MakeFrame(RequestBody("[FIELD] body [AND] 中国", 0, INT_MAX));
  ASSERT_EQ(SendFully(stalled.fd(), big.data(), static_cast<int>(big.size()), 0),
            static_cast<int>(big.size()));
  EXPECT_TRUE(
      WaitFor([&] { return ReadDailyLog().find("Send result error") != std::string::npos; }));
  EXPECT_TRUE(WaitFor([&] { return m_server.loop().ActiveConnections() == 0; }));
}

TEST_F(ServerTest, ConnectionsBeyondTheBoundWaitAndTheServerStaysUp) {
  StartServer(20);
  std::vector<CSocket> idle;
  for (int i = 0; i < 25; ++i) idle.push_back(Connect(m_port));
  EXPECT_TRUE(WaitFor([&] { return m_server.loop().ActiveConnections() == 20; }));
  std::string answer;
  std::atomic<bool> answered{false};
  std::thread waiting([&] {
    answer = Query("[FIELD] title [AND] 中国");
    answered = true;
  });
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_FALSE(answered.load());
  idle.clear();  // the held connections end; the queued ones are served
  waiting.join();
  EXPECT_EQ(answer, ExpectedFrame(*m_data, "[FIELD] title [AND] 中国", 0, 20));
  EXPECT_TRUE(WaitFor([&] { return m_server.loop().ActiveConnections() == 0; }));
}

TEST_F(ServerTest, FiftySlowClientsAreAllAnswered) {
  StartServer();
  std::atomic<int> correct{0};
  std::vector<std::thread> clients;
  for (int client = 0; client < 50; ++client) {
    clients.emplace_back([&, client] {
      const std::string query = client % 2 ? "[FIELD] body [AND] 中国" : "[FIELD] title [AND] 世界";
      const std::string request = MakeFrame(RequestBody(query, client % 5, 7));
      CSocket socket = Connect(m_port);
      for (char byte : request) {
        if (SendFully(socket.fd(), &byte, 1, 0) != 1) return;
        std::this_thread::sleep_for(milliseconds(2));
      }
      if (ReadUntilClosed(socket.fd()) == ExpectedFrame(*m_data, query, client % 5, 7)) ++correct;
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(correct.load(), 50);
}

TEST_F(ServerTest, AThreadThatCannotStartReleasesItsConnection) {
  std::atomic<int> calls{0};
  StartServer(20, 10, 1 << 20, [&](std::function<void()> routine) {
    if (calls++ == 0)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(routine));
  });
  EXPECT_EQ(Query("[FIELD] title [AND] 中国"), "");  // closed unanswered
  EXPECT_TRUE(WaitFor([&] { return m_server.loop().ActiveConnections() == 0; }));
  EXPECT_NE(Query("[FIELD] title [AND] 中国"), "");
  EXPECT_NE(ReadDailyLog().find("Cannot start a connection thread"), std::string::npos);
}

TEST_F(ServerTest, StopWaitsForConnectionsInProgress) {
  StartServer();
  CSocket socket = Connect(m_port);
  const std::string request = MakeFrame(RequestBody("[FIELD] title [AND] 中国", 0, 20));
  ASSERT_EQ(SendFully(socket.fd(), request.data(), 6, 0), 6);
  ASSERT_TRUE(WaitFor([&] { return m_server.loop().ActiveConnections() == 1; }));
  char byte = SIGTERM;
  ASSERT_EQ(::write(m_server.loop().wakeFd(), &byte, 1), 1);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(m_server.loop().ActiveConnections(), 1);  // still being served
  ASSERT_EQ(SendFully(socket.fd(), request.data() + 6, static_cast<int>(request.size()) - 6, 0),
            static_cast<int>(request.size()) - 6);
  EXPECT_EQ(ReadUntilClosed(socket.fd()),
            ExpectedFrame(*m_data, "[FIELD] title [AND] 中国", 0, 20));
  m_server.Join();
  EXPECT_EQ(m_server.result(), 0);
  EXPECT_EQ(m_server.loop().ActiveConnections(), 0);
}

TEST_F(ServerTest, ReloadSwitchesDataSetsWithoutAFailedQuery) {
  m_served = std::make_unique<CServedData>(m_data);
  CDataReloader reloader({Path("set"), Path("set.schema"), Path("set.trie"), Path("set.words")},
                         m_served.get());
  StartServer();
  const std::string query = "[FIELD] title [AND] 中国";
  const std::string before = ExpectedFrame(*m_data, query, 0, 5);

  // The same stem, rewritten with other records while queries go on.
  {
    CDataLineIndex building(m_fixture->schema(), &m_fixture->trie(), false);
    std::string error;
    for (int record = 0; record < 3; ++record) {
      ASSERT_TRUE(AddRecord(&building,
                            CMemoryRow{{"TITLE", TextValue("中国" + std::to_string(record))},
                                       {"BODY", TextValue("世界")},
                                       {"YEAR", IntValue(2001)}},
                            &error));
    }
    testing::internal::CaptureStdout();
    ASSERT_TRUE(building.Save(Path("set").c_str()));
    testing::internal::GetCapturedStdout();
  }
  std::atomic<bool> done{false};
  std::atomic<int> oldAnswers{0}, newAnswers{0}, wrong{0};
  std::string after;
  std::vector<std::thread> clients;
  for (int client = 0; client < 4; ++client) {
    clients.emplace_back([&] {
      while (!done) {
        const std::string answer = Query(query, 0, 5);
        if (answer == before) {
          ++oldAnswers;
        } else if (answer.size() > 24 && answer.substr(4, 4) == std::string("\x03\0\0\0", 4)) {
          ++newAnswers;
        } else {
          ++wrong;
        }
      }
    });
  }
  std::this_thread::sleep_for(milliseconds(50));
  reloader.Request();
  int succeeded = 0, failed = 0;
  reloader.WaitIdle(&succeeded, &failed);
  const int oldBeforeSwitchEnded = oldAnswers.load();
  std::this_thread::sleep_for(milliseconds(100));
  done = true;
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(succeeded, 1);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(newAnswers.load(), 0);
  EXPECT_LE(oldAnswers.load(), oldBeforeSwitchEnded + 4);  // at most the ones in flight
  EXPECT_EQ(m_served->Get()->store().GetRecordCount(), 3);

  // A reload that cannot load keeps the served set.
  ASSERT_EQ(::unlink(Path("set.dataline").c_str()), 0);
  testing::internal::CaptureStdout();
  reloader.Request();
  reloader.WaitIdle(&succeeded, &failed);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("still serving the previous one"),
            std::string::npos);
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(m_served->Get()->store().GetRecordCount(), 3);
  EXPECT_EQ(Query(query, 0, 5).substr(4, 4), std::string("\x03\0\0\0", 4));
  StopServer();
  m_served.reset();
}

// A manifest for the fixture's files, as mode 4 would have written it.
bool WriteManifest(const std::string& base, const std::string& schema, const std::string& trie,
                   const std::string& words, int64_t generation, int32_t records, int indexes) {
  CManifest manifest;
  manifest.generation = generation;
  manifest.recordCount = records;
  manifest.schemaPath = schema;
  std::string error;
  bool ok = IdentifyFile(trie, &manifest.trie, &error) &&
            IdentifyFile(words, &manifest.wordList, &error) &&
            IdentifyFile(schema, &manifest.schema, &error) &&
            IdentifyFile(DataLinePath(base), &manifest.dataLine, &error);
  manifest.indexes.resize(static_cast<size_t>(indexes));
  for (int index = 0; ok && index < indexes; ++index) {
    ok =
        IdentifyFile(IndexPath(base, index), &manifest.indexes[static_cast<size_t>(index)], &error);
  }
  return ok && WriteTextFile(ManifestPath(base), manifest.Format());
}

TEST_F(ServerTest, DataSetsAreCheckedAgainstTheirManifestAndWatchedForNewGenerations) {
  const int records = m_data->store().GetRecordCount();
  const int indexes = m_data->store().GetIndexCount();
  auto write = [&](int64_t generation) {
    return WriteManifest(Path("set"), Path("set.schema"), Path("set.trie"), Path("set.words"),
                         generation, records, indexes);
  };
  auto load = [&] { return LoadSearchData(m_fixture->ServedPaths()); };
  ASSERT_TRUE(write(7));
  std::shared_ptr<const CSearchData> checked = load();
  ASSERT_TRUE(checked);
  EXPECT_EQ(checked->generation(), 7);

  // A word list that is not the one the set was built with is refused, naming it.
  const std::string words = ReadBinaryFile(Path("set.words"));
  ASSERT_TRUE(WriteTextFile(Path("set.words"), words + "x"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(load());
  const std::string refused = testing::internal::GetCapturedStdout();
  EXPECT_NE(refused.find("set.words"), std::string::npos) << refused;

  // The watcher leaves a set it cannot load alone and takes the next good generation.
  CServedData served(checked);
  testing::internal::CaptureStdout();
  {
    CDataReloader reloader({Path("set"), Path("set.schema"), Path("set.trie"), Path("set.words")},
                           &served, 1);
    ASSERT_TRUE(write(8));  // still the damaged word list: refused
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(served.Get()->generation(), 7);
    ASSERT_TRUE(WriteTextFile(Path("set.words"), words));
    ASSERT_TRUE(write(9));
    EXPECT_TRUE(WaitFor([&] { return served.Get()->generation() == 9; }, 5000));
  }
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find("still serving the previous one"), std::string::npos) << output;
  EXPECT_NE(output.find("generation 9, " + std::to_string(records) + " records"), std::string::npos)
      << output;
}

// Bounded work per request: the page is capped, a query of too many conditions, values or
// words of one value is refused, a query over its time budget is stopped, and a request
// whose memory cannot be had fails alone; the server answers the next request each time.
TEST_F(ServerTest, EachRequestsWorkIsBoundedAndItsFailureEndsOnlyItsConnection) {
  m_limits.maxPageCount = 7;
  m_limits.maxQueryWords = 30;
  m_limits.queryTimeoutMs = 0;
  StartServer();
  const std::string query = "[FIELD] body [AND] 中国";
  // Pages beyond the cap get the first maxPageCount hits of their window.
  EXPECT_TRUE(Query(query, 0, INT_MAX) == ExpectedFrame(*m_data, query, 0, 7));
  EXPECT_TRUE(Query(query, 3, 8) == ExpectedFrame(*m_data, query, 3, 7));
  EXPECT_TRUE(Query(query, 3, 6) == ExpectedFrame(*m_data, query, 3, 6));

  const auto value = [](int n) {  // one value of n words
    std::string text;
    for (int i = 0; i < n; ++i) text += "中国";
    return text;
  };
  const auto valueList = [](int n) {  // n values
    std::string text;
    for (int i = 0; i < n; ++i) text += " v" + std::to_string(i);
    return text;
  };
  const std::string atLimit[] = {
      "[FIELD] body [AND] " + value(30),
      "[FIELD] body [AND] 中国 " + valueList(29),
  };
  for (const std::string& q : atLimit) {
    EXPECT_TRUE(Query(q, 0, 5) == ExpectedFrame(*m_data, q, 0, 5)) << q;
  }
  const std::string overLimit[] = {
      "[FIELD] body [AND] " + value(31),
      "[FIELD] body [AND] 中国 " + valueList(30),
      "[FIELD] body [AND] 中国 [FIELD] title [AND] " + valueList(15) + " [FIELD] body [AND] " +
          valueList(15),
  };
  for (const std::string& q : overLimit) {
    EXPECT_EQ(Query(q), "") << q;
    EXPECT_TRUE(WaitFor([] {
      return ReadDailyLog().find(
                 "Refused query: more than 30 conditions, values or words of "
                 "one value") != std::string::npos;
    }));
  }
  StopServer();

  // A word with hits, then 100,000 distinct phrases (every sequence of five of ten words),
  // each segmented and looked up in turn over the large records, run far past 30 ms.
  m_limits.maxQueryWords = 0;
  m_limits.queryTimeoutMs = 30;
  StartServer(20, 10, 4 << 20);
  std::string slow = "[FIELD] body [AND] 中国";
  for (int i = 0; i < 100000; ++i) {
    slow += ' ';
    for (int j = 0, digits = i; j < 5; ++j, digits /= 10) slow += kWords[digits % 10];
  }
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Query(slow), "");
  EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(3000));
  EXPECT_TRUE(WaitFor([] {
    return ReadDailyLog().find("Query stopped after its time budget of 30 ms") != std::string::npos;
  }));
  EXPECT_TRUE(Query(query, 0, 5) == ExpectedFrame(*m_data, query, 0, 5));
  StopServer();

  // A page of every hit needs megabytes; under the seam every allocation of 1 MB fails.
  m_limits.maxPageCount = 1 << 30;
  StartServer();
  FailAllocationsFrom(1 << 20);
  const std::string refused = Query(query, 0, INT_MAX);
  FailAllocationsFrom(0);
  EXPECT_EQ(refused, "");
  EXPECT_TRUE(WaitFor([] {
    return ReadDailyLog().find("Out of memory: the request was not answered") != std::string::npos;
  }));
  EXPECT_TRUE(Query(query, 0, 5) == ExpectedFrame(*m_data, query, 0, 5));
}

// A query's control bytes cannot forge a line of the daily log.
TEST_F(ServerTest, AQueryCannotWriteALineOfItsOwnIntoTheLog) {
  StartServer();
  const std::string forged = "[FIELD] title [AND] 中国\n[2026-01-01 00:00:00] Send Completed!\r";
  EXPECT_EQ(Query(forged), ExpectedFrame(*m_data, forged, 0, 20));
  EXPECT_TRUE(WaitFor([] {
    return ReadDailyLog().find("中国\\x0A[2026-01-01 00:00:00] Send Completed!\\x0D start=0") !=
           std::string::npos;
  }));
  EXPECT_EQ(ReadDailyLog().find("\n[2026-01-01"), std::string::npos);
}

}  // namespace

// Keys are read from their own tags only: a key that is the tail of another key, or that
// stands after it, keeps its own value or its default.
TEST(ServerConfigTest, EveryKeyReadsItsOwnTag) {
  struct Case {
    std::string text;
    int maxConnections, httpMaxConnections, maxRequestBytes, httpMaxRequestBytes;
  } const cases[] = {
      {"<HttpMaxConnections>4</HttpMaxConnections>", 20, 4, 1 << 20, 16384},
      {"<HttpMaxRequestBytes>4096</HttpMaxRequestBytes><MaxRequestBytes>64</MaxRequestBytes>", 20,
       64, 64, 4096},
      {"<MaxConnections>7</MaxConnections><HttpMaxConnections>9</HttpMaxConnections>", 7, 9,
       1 << 20, 16384},
  };
  for (const Case& c : cases) {
    tServerConfig config;
    std::string error;
    ASSERT_TRUE(ParseServerConfig(c.text.c_str(), &config, &error)) << c.text << ": " << error;
    EXPECT_EQ(config.maxConnections, c.maxConnections) << c.text;
    EXPECT_EQ(config.httpMaxConnections, c.httpMaxConnections) << c.text;
    EXPECT_EQ(config.maxRequestBytes, c.maxRequestBytes) << c.text;
    EXPECT_EQ(config.httpMaxRequestBytes, c.httpMaxRequestBytes) << c.text;
  }
  tServerConfig config;
  std::string error;
  ASSERT_TRUE(
      ParseServerConfig("<MaxPageCount>50</MaxPageCount><MaxQueryWords>9</MaxQueryWords>"
                        "<QueryTimeoutMs>0</QueryTimeoutMs>"
                        "<HttpRequestTimeout>3</HttpRequestTimeout>",
                        &config, &error))
      << error;
  EXPECT_EQ(config.maxPageCount, 50);
  EXPECT_EQ(config.maxQueryWords, 9);
  EXPECT_EQ(config.queryTimeoutMs, 0);
  EXPECT_EQ(config.httpRequestTimeout, 3);
  EXPECT_FALSE(ParseServerConfig("<MaxPageCount>0</MaxPageCount>", &config, &error));
}

namespace {

// An index file shortened under the running server (what cp does first) fails the queries
// that read it, with a line in the log, instead of ending the process with SIGBUS.
TEST_F(ServerTest, AnIndexFileShortenedWhileServedFailsQueriesNotTheServer) {
  InstallMappedFileGuard();
  StartServer();
  const std::string query = "[FIELD] body [AND] 中国";
  ASSERT_TRUE(Query(query) == ExpectedFrame(*m_data, query, 0, 20));
  for (const char* name : {"set.index_0", "set.index_1", "set.index_2"}) {
    ASSERT_EQ(::truncate(Path(name).c_str(), 0), 0) << name;
  }
  EXPECT_EQ(Query(query), "");
  EXPECT_TRUE(WaitFor([] {
    return ReadDailyLog().find(
               "Refused query: an index file of the served data set was "
               "shortened") != std::string::npos;
  }));
  EXPECT_TRUE(m_data->store().AnyIndexDamaged());
  EXPECT_EQ(Query("[FIELD] title [AND] 人民"), "");
  EXPECT_TRUE(WaitFor([this] { return m_server.loop().ActiveConnections() == 0; }));
}

}  // namespace

namespace {

// Without its wake pipe the loop would lose signals and wait forever at its bound: a failed
// pipe fails the start, and the loop accepts nothing.
TEST(AcceptLoopTest, AFailedWakePipeFailsTheStart) {
  CSocket listener;
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  ListenStep step;
  int error = 0;
  ASSERT_TRUE(OpenListener(loopback, 0, SOMAXCONN, &listener, &step, &error));
  tAcceptOptions options;
  options.currentData = [] { return std::shared_ptr<const CSearchData>(); };
  options.openPipe = [](int*) {
    errno = EMFILE;
    return -1;
  };
  CAcceptLoop loop(std::move(options));
  EXPECT_FALSE(loop.ready());
  EXPECT_EQ(loop.pipeError(), EMFILE);
  EXPECT_EQ(loop.wakeFd(), -1);
  CSocket waiting = ConnectLoopback(LocalPort(listener.fd()), 5);
  EXPECT_EQ(loop.AcceptClients(listener.fd(), true), 1);  // at once, nothing accepted
  EXPECT_EQ(loop.ActiveConnections(), 0);

  tAcceptOptions working;
  working.openPipe = [](int* fds) { return ::pipe(fds); };
  CAcceptLoop other(std::move(working));
  EXPECT_TRUE(other.ready());
  EXPECT_GE(other.wakeFd(), 0);
}

}  // namespace
