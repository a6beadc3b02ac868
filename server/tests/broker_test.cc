// Tests of a broker over three shards that split one table by ranges of its records: for a
// sample of queries and windows (across shard boundaries, beyond the end, negative), its
// binary frames and its HTTP answers equal byte for byte those of one server over the whole
// table; a shard that stops fails the query (binary: closed without an answer; HTTP: 502
// naming it) and is counted.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <climits>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "core/text/encoding.h"
#include "core/text/word_list.h"
#include "core/util/byte_io.h"
#include "net/socket_io.h"
#include "server/accept_loop.h"
#include "server/http/broker_answers.h"
#include "server/http/http_server.h"
#include "server/metrics.h"
#include "server/search_data.h"
#include "server/shard_broker.h"
#include "testing/net/wire_client.h"
#include "testing/records/query_fixture.h"

namespace {

using Json = nlohmann::json;

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "上海", "你好"};
const char kSchema[] =
    "1 TITLE title T 1 0 1 1 标题\n"
    "2 BODY body T 1 0 1 1 正文\n"
    "3 YEAR year I 0 1 1 0 年份\n";
constexpr int kRecords = 90;
const int kShardEnds[] = {30, 55, 90};  // records [0,30), [30,55), [55,90)

std::string Text(std::mt19937* random, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) text += kWords[(*random)() % kWords.size()];
  return text;
}

// A shard listening on 127.0.0.1 at `port`.
tShard LoopbackShard(uint16_t port) {
  tShard shard;
  shard.name = "127.0.0.1:" + std::to_string(port);
  shard.address.s_addr = htonl(INADDR_LOOPBACK);
  shard.port = port;
  return shard;
}

// Everything the peer sends until it closes.
std::string ReadAll(int fd) {
  std::string received;
  char buffer[65536];
  const Deadline deadline = DeadlineAfter(10);
  while (RecvFully(fd, buffer, 1, deadline) == 1) {
    received += buffer[0];
    const ssize_t more = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (more > 0) received.append(buffer, static_cast<size_t>(more));
  }
  return received;
}

// The response to one binary request frame ("" when the connection closed without one).
std::string BinaryQuery(uint16_t port, const std::string& query, int32_t start, int32_t count) {
  std::string frame;
  PutI32(&frame, 12 + static_cast<int32_t>(query.size()));
  PutI32(&frame, start);
  PutI32(&frame, count);
  PutI32(&frame, static_cast<int32_t>(query.size()));
  frame += query;
  CSocket socket = ConnectLoopback(port, 5);
  if (!socket.valid()) return "connect failed";
  SendFully(socket.fd(), frame.data(), static_cast<int>(frame.size()), 0);
  ::shutdown(socket.fd(), SHUT_WR);
  return ReadAll(socket.fd());
}

// The status line and body of one HTTP GET (the Date header differs between answers).
std::string HttpGet(uint16_t port, const std::string& target) {
  CSocket socket = ConnectLoopback(port, 5);
  const std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  SendFully(socket.fd(), request.data(), static_cast<int>(request.size()), 0);
  const std::string response = ReadAll(socket.fd());
  const size_t headerEnd = response.find("\r\n\r\n");
  if (headerEnd == std::string::npos) return response;
  return response.substr(0, response.find("\r\n")) + "\n" + response.substr(headerEnd + 4);
}

// One binary server in-process over a data set, or over a broker.
class CBinaryServer {
 public:
  CBinaryServer(std::shared_ptr<const CSearchData> data, const CShardBroker* broker,
                CServerMetrics* metrics, const tConnectionLimits& limits = tConnectionLimits()) {
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    ListenStep step;
    int error = 0;
    EXPECT_TRUE(OpenListener(loopback, 0, SOMAXCONN, &m_listener, &step, &error));
    m_port = LocalPort(m_listener.fd());
    tAcceptOptions options;
    options.onWake = [](int signalNumber) { return signalNumber == SIGTERM; };
    options.currentData = [data] { return data; };
    options.metrics = metrics;
    options.limits = limits;
    if (broker != nullptr) {
      options.serve = [broker, metrics, limits](CSocket socket) {
        ServeBrokerClient(std::move(socket), *broker, limits, metrics);
      };
    }
    m_loop = std::make_unique<CAcceptLoop>(std::move(options));
    m_thread = std::thread([this] { m_loop->AcceptClients(m_listener.fd(), true); });
  }
  ~CBinaryServer() { Stop(); }
  void Stop() {
    if (!m_thread.joinable()) return;
    char byte = SIGTERM;
    EXPECT_EQ(::write(m_loop->wakeFd(), &byte, 1), 1);
    m_thread.join();
    m_listener.Close();
  }
  uint16_t port() const { return m_port; }

 private:
  CSocket m_listener;
  uint16_t m_port = 0;
  std::unique_ptr<CAcceptLoop> m_loop;
  std::thread m_thread;
};

class BrokerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 random(20261209);
    std::vector<CMemoryRow> rows;
    for (int record = 0; record < kRecords; ++record) {
      rows.push_back(CMemoryRow{{"TITLE", TextValue(Text(&random, 2))},
                                {"BODY", TextValue(Text(&random, 1 + random() % 6))},
                                {"YEAR", IntValue(2000 + record % 5)}});
    }
    // The whole table, then each shard's range, each a data set of its own.
    m_whole = Build(rows, 0, kRecords);
    ASSERT_TRUE(m_whole);
    int begin = 0;
    for (int end : kShardEnds) {
      m_shardData.push_back(Build(rows, begin, end));
      ASSERT_TRUE(m_shardData.back());
      begin = end;
    }
    m_wholeServer = std::make_unique<CBinaryServer>(m_whole, nullptr, nullptr);
    std::vector<tShard> shards;
    for (const auto& data : m_shardData) {
      m_shardServers.push_back(std::make_unique<CBinaryServer>(data, nullptr, nullptr));
      shards.push_back(LoopbackShard(m_shardServers.back()->port()));
    }
    m_broker = std::make_unique<CShardBroker>(shards, m_whole->schema().GetListSize(LIST_STORED),
                                              /*timeoutSeconds=*/2);
    m_metrics.SetExtraRenderer([this] { return m_broker->RenderMetrics(); });
    m_brokerServer = std::make_unique<CBinaryServer>(nullptr, m_broker.get(), &m_metrics);

    m_view.broker = m_broker.get();
    ASSERT_TRUE(ComputeFieldNames(m_whole->schema(), &m_view.storedNames, &m_view.storedNamesUtf8,
                                  &m_view.indexedNamesUtf8));
    m_view.schema = std::shared_ptr<const CFieldInfo>(m_whole, &m_whole->schema());
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    std::string error;
    m_wholeHttp = std::make_unique<CHttpServer>(
        tHttpOptions(), [this] { return m_whole; }, nullptr);
    ASSERT_TRUE(m_wholeHttp->Start(loopback, 0, &error)) << error;
    m_brokerHttp = std::make_unique<CHttpServer>(tHttpOptions(), nullptr, &m_metrics);
    m_brokerHttp->SetBroker(&m_view);
    ASSERT_TRUE(m_brokerHttp->Start(loopback, 0, &error)) << error;
  }
  void TearDown() override {
    m_brokerHttp.reset();
    m_shardHttp.clear();
    m_wholeHttp.reset();
    m_brokerServer.reset();
    m_shardServers.clear();
    m_wholeServer.reset();
    m_shardData.clear();
    m_whole.reset();
    // Scratch directories end in the reverse order of their making.
    while (!m_fixtures.empty()) m_fixtures.pop_back();
  }

  // A data set of rows [begin, end) in a scratch directory of its own.
  std::shared_ptr<const CSearchData> Build(const std::vector<CMemoryRow>& rows, int begin,
                                           int end) {
    m_fixtures.push_back(std::make_unique<CQueryFixture>(kWords, kSchema));
    CQueryFixture& fixture = *m_fixtures.back();
    if (!fixture.ok()) return nullptr;
    fixture.EnableContains();
    for (int record = begin; record < end; ++record) {
      if (!fixture.AddRow(rows[static_cast<size_t>(record)])) return nullptr;
    }
    if (!fixture.SaveAndLoad("set")) return nullptr;
    const std::string folder = fixture.directory().path() + "/";
    CWordList words;
    if (words.BuildFromText((folder + "dict.txt").c_str(), fixture.trie()) <= 0 ||
        !words.Save((folder + "set.words").c_str())) {
      return nullptr;
    }
    return LoadSearchData(
        {folder + "set", folder + "set.schema", folder + "set.trie", folder + "set.words"});
  }

  std::vector<std::unique_ptr<CQueryFixture>> m_fixtures;
  std::shared_ptr<const CSearchData> m_whole;
  std::vector<std::shared_ptr<const CSearchData>> m_shardData;
  std::unique_ptr<CBinaryServer> m_wholeServer;
  std::vector<std::unique_ptr<CBinaryServer>> m_shardServers;
  std::unique_ptr<CShardBroker> m_broker;
  CServerMetrics m_metrics;
  std::unique_ptr<CBinaryServer> m_brokerServer;
  tBrokerView m_view;
  std::unique_ptr<CHttpServer> m_wholeHttp;
  std::unique_ptr<CHttpServer> m_brokerHttp;
  std::vector<std::unique_ptr<CHttpServer>> m_shardHttp;
};

TEST_F(BrokerTest, AnswersByteForByteLikeOneServerOverTheWholeTable) {
  const std::string queries[] = {
      "[FIELD] * [AND] 中国",
      "[FIELD] title [AND] 北京",
      "[FIELD] body [AND] 学生 [FIELD] year [AND] 2001 2003",
      "[FIELD] body [AND] 上海你好",
      "[FIELD] nosuch [AND] x",
      "",
  };
  std::vector<std::pair<int32_t, int32_t>> windows = {
      {0, 20},       {-1, 5},      {3, -2},       {0, 0},
      {INT_MAX, 20}, {0, INT_MAX}, {INT_MIN, 10}, {INT_MIN, INT_MIN},
      {89, 10},      {100, 5}};
  // Windows near the front take one round; deeper or longer ones a second round.
  for (int32_t start = 0; start < 80; start += 6) windows.push_back({start, 9});
  for (int32_t start : {5, 20, 35, 60}) windows.push_back({start, 190});
  int crossing = 0;
  for (const std::string& query : queries) {
    const std::string whole = BinaryQuery(m_wholeServer->port(), query, 0, 0);
    for (auto [start, count] : windows) {
      const std::string expected = BinaryQuery(m_wholeServer->port(), query, start, count);
      ASSERT_GE(expected.size(), 24u);
      EXPECT_EQ(BinaryQuery(m_brokerServer->port(), query, start, count), expected)
          << query << " " << start << " " << count;
      const std::string arguments = "?q=" + PercentEncode(GbkToUtf8(query)) +
                                    "&start=" + std::to_string(start) +
                                    "&count=" + std::to_string(count);
      for (const char* route : {"/search", "/search.xml"}) {
        EXPECT_EQ(HttpGet(m_brokerHttp->port(), route + arguments),
                  HttpGet(m_wholeHttp->port(), route + arguments))
            << route << arguments;
      }
    }
    // Windows that take hits from two shards are among them for the broad queries.
    std::shared_ptr<const CSearchData> first = m_shardData[0];
    ResultPage page;
    std::string failed;
    ASSERT_TRUE(m_broker->Answer(query, 0, 0, &page, &failed));
    int32_t total = 0;
    std::memcpy(&total, whole.data() + 4, 4);
    EXPECT_EQ(page.total, total);
    if (total > 30) ++crossing;
  }
  EXPECT_GE(crossing, 1);
  EXPECT_EQ(m_metrics.Queries(trindle::Interface::kBinary, trindle::Outcome::kFailed), 0);
  EXPECT_EQ(HttpGet(m_brokerHttp->port(), "/health"),
            "HTTP/1.1 200 OK\n{\"status\":\"serving\",\"shards\":3}");
}

TEST_F(BrokerTest, AStoppedShardFailsTheQueryAndIsCounted) {
  const std::string query = "[FIELD] * [AND] 中国";
  const std::string arguments = "?q=" + PercentEncode(GbkToUtf8(query)) + "&start=0&count=5";
  m_shardServers[1]->Stop();
  const std::string name = m_broker->shards()[1].name;
  // Even a window that the first shard alone holds needs every total.
  EXPECT_EQ(BinaryQuery(m_brokerServer->port(), query, 0, 5), "");
  EXPECT_EQ(HttpGet(m_brokerHttp->port(), "/search" + arguments),
            "HTTP/1.1 502 Bad Gateway\n{\"error\":\"shard " + name + " did not answer\"}");
  EXPECT_EQ(HttpGet(m_brokerHttp->port(), "/search.xml" + arguments).substr(0, 16),
            "HTTP/1.1 502 Bad");
  EXPECT_EQ(m_metrics.Queries(trindle::Interface::kBinary, trindle::Outcome::kFailed), 1);
  EXPECT_EQ(m_metrics.Queries(trindle::Interface::kHttp, trindle::Outcome::kFailed), 2);
  EXPECT_EQ(m_broker->Failures(1), 3);
  EXPECT_EQ(m_broker->Failures(0), 0);
  const std::string metrics = HttpGet(m_brokerHttp->port(), "/metrics");
  EXPECT_NE(metrics.find("trindle_shard_failures_total{shard=\"" + name + "\"} 3\n"),
            std::string::npos)
      << metrics;
  std::string error;
  EXPECT_FALSE(m_broker->CheckShards(&error));
  EXPECT_NE(error.find(name), std::string::npos) << error;
}

// Shards that refuse a query over their word bound or past their time budget make the broker
// refuse it as one server with the same limits would (binary: closed without an answer; HTTP:
// 400 or 503), and no shard failure is counted.
TEST_F(BrokerTest, AQueryTheShardsRefuseIsRefusedAsOneServerRefusesIt) {
  std::string phrase;  // one value of 40,000 dictionary words
  for (int i = 0; i < 40000; ++i) phrase += "中国";
  struct {
    const char* what;
    int maxWords;
    int timeoutMs;
    std::string query;
    int status;
    trindle::Outcome outcome;
  } const cases[] = {
      {"a value of more words than the bound", 20, 0, "[FIELD] * [AND] " + phrase, 400,
       trindle::Outcome::kBadRequest},
      {"selectors of unknown fields over the bound", 20, 0,
       "[FIELD] * [AND] 中国" +
           [] {
             std::string selectors;
             for (int i = 0; i < 25; ++i)
               selectors += " [FIELD] u" + std::to_string(i) + " [AND] x";
             return selectors;
           }(),
       400, trindle::Outcome::kBadRequest},
      {"distinct phrases looked up past the time budget", 0, 1,
       "[FIELD] * [AND] 中国" +
           [] {  // every sequence of five of six words: 7,776 values, each looked up in turn
             std::string phrases;
             for (int i = 0; i < 7776; ++i) {
               phrases += ' ';
               for (int j = 0, digits = i; j < 5; ++j, digits /= 6) phrases += kWords[digits % 6];
             }
             return phrases;
           }(),
       503, trindle::Outcome::kTimedOut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tConnectionLimits limits;
    limits.maxQueryWords = c.maxWords;
    limits.queryTimeoutMs = c.timeoutMs;
    CServerMetrics metrics;
    std::vector<std::unique_ptr<CBinaryServer>> shardServers;
    std::vector<tShard> shards;
    for (const auto& data : m_shardData) {
      shardServers.push_back(std::make_unique<CBinaryServer>(data, nullptr, nullptr, limits));
      shards.push_back(LoopbackShard(shardServers.back()->port()));
    }
    CShardBroker broker(shards, m_whole->schema().GetListSize(LIST_STORED), 5);
    broker.SetQueryTimeoutMs(c.timeoutMs);
    CBinaryServer binary(nullptr, &broker, &metrics, limits);
    CBinaryServer one(m_whole, nullptr, nullptr, limits);
    tBrokerView view = m_view;
    view.broker = &broker;
    tHttpOptions options;
    options.maxRequestBytes = 1 << 20;
    options.search.query = {c.maxWords, c.timeoutMs};
    CHttpServer http(options, nullptr, &metrics);
    http.SetBroker(&view);
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    std::string error;
    ASSERT_TRUE(http.Start(loopback, 0, &error)) << error;

    EXPECT_EQ(BinaryQuery(one.port(), c.query, 0, 5), "");
    EXPECT_EQ(BinaryQuery(binary.port(), c.query, 0, 5), "");
    EXPECT_EQ(metrics.Queries(trindle::Interface::kBinary, c.outcome), 1);
    const std::string answer =
        HttpGet(http.port(), "/search?q=" + PercentEncode(GbkToUtf8(c.query)));
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + std::to_string(c.status)) << answer;
    EXPECT_EQ(metrics.Queries(trindle::Interface::kHttp, c.outcome), 1);
    for (size_t shard = 0; shard < shards.size(); ++shard) EXPECT_EQ(broker.Failures(shard), 0);
    EXPECT_EQ(metrics.Queries(trindle::Interface::kBinary, trindle::Outcome::kFailed), 0);
    EXPECT_EQ(metrics.Queries(trindle::Interface::kHttp, trindle::Outcome::kFailed), 0);
    // A query within the limits is still answered.
    EXPECT_EQ(BinaryQuery(binary.port(), "[FIELD] title [AND] 北京", 0, 5),
              BinaryQuery(one.port(), "[FIELD] title [AND] 北京", 0, 5));
    http.Stop();
  }
}

// Shards whose page cap is below the broker's give short pages; the broker asks again, and
// its pages equal those of one server with the broker's cap, for windows within one shard,
// across shards, near the front (one round) and deep (two rounds).
TEST_F(BrokerTest, ShardsWithASmallerPageCapGiveWholePages) {
  tConnectionLimits shardLimits;
  shardLimits.maxPageCount = 4;
  std::vector<std::unique_ptr<CBinaryServer>> shardServers;
  std::vector<tShard> shards;
  for (const auto& data : m_shardData) {
    shardServers.push_back(std::make_unique<CBinaryServer>(data, nullptr, nullptr, shardLimits));
    shards.push_back(LoopbackShard(shardServers.back()->port()));
  }
  CShardBroker broker(shards, m_whole->schema().GetListSize(LIST_STORED), 5);
  tConnectionLimits brokerLimits;
  brokerLimits.maxPageCount = 50;
  CBinaryServer binary(nullptr, &broker, nullptr, brokerLimits);
  CBinaryServer one(m_whole, nullptr, nullptr, brokerLimits);
  const std::string query = "[FIELD] * [AND] 中国";
  const std::pair<int32_t, int32_t> windows[] = {{0, 20},  {25, 10},  {0, 90},  {10, 60},
                                                 {28, 30}, {150, 40}, {60, 50}, {0, 1000}};
  for (auto [start, count] : windows) {
    const std::string expected = BinaryQuery(one.port(), query, start, count);
    ASSERT_GE(expected.size(), 24u);
    EXPECT_EQ(BinaryQuery(binary.port(), query, start, count), expected) << start << " " << count;
  }
  for (size_t shard = 0; shard < shards.size(); ++shard) EXPECT_EQ(broker.Failures(shard), 0);
}

TEST_F(BrokerTest, RefusesWhatItCannotAnswerWhole) {
  // Snippets, facets and the newest first are not offered through a broker.
  for (const char* extra : {"&snippets=1", "&facet=year", "&snippet_length=40", "&order=desc"}) {
    EXPECT_EQ(HttpGet(m_brokerHttp->port(), std::string("/search?text=abc") + extra).substr(0, 12),
              "HTTP/1.1 400")
        << extra;
  }
  // A shard whose schema has another number of stored fields fails the start-up check.
  std::vector<tShard> shards = m_broker->shards();
  CShardBroker wrong(shards, m_whole->schema().GetListSize(LIST_STORED) + 1, 2);
  std::string error;
  EXPECT_FALSE(wrong.CheckShards(&error));
  EXPECT_NE(error.find(shards[0].name), std::string::npos) << error;
  EXPECT_TRUE(m_broker->CheckShards(&error));
  // Shard lists.
  std::vector<tShard> parsed;
  EXPECT_TRUE(ParseShardList(" 127.0.0.1:9999 , localhost:1", &parsed, &error)) << error;
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0].name, "127.0.0.1:9999");
  EXPECT_EQ(parsed[1].port, 1);
  for (const char* bad :
       {"", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", ":80", "a:80,", "127.0.0.1:9x"}) {
    EXPECT_FALSE(ParseShardList(bad, &parsed, &error)) << bad;
  }
}

TEST_F(BrokerTest, RelevanceMergesTheShardsBestHitsByScore) {
  const std::string target = "/search?q=" + PercentEncode(GbkToUtf8("[FIELD] * [AND] 京大")) +
                             "&order=relevance&match=contains";
  // Without the shards' HTTP ports the broker cannot ask for scores.
  EXPECT_EQ(HttpGet(m_brokerHttp->port(), target).substr(0, 12), "HTTP/1.1 400");
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  for (const auto& data : m_shardData) {
    m_shardHttp.push_back(std::make_unique<CHttpServer>(
        tHttpOptions(), [data] { return data; }, nullptr));
    std::string error;
    ASSERT_TRUE(m_shardHttp.back()->Start(loopback, 0, &error)) << error;
    m_view.httpShards.push_back(LoopbackShard(m_shardHttp.back()->port()));
  }
  for (const char* query :
       {"[FIELD] * [AND] 京大", "[FIELD] body [AND] 学生", "[FIELD] * [AND] 中"}) {
    const std::string arguments =
        "/search?q=" + PercentEncode(GbkToUtf8(query)) + "&order=relevance&match=contains";
    auto body = [](const std::string& answer) {
      return Json::parse(answer.substr(answer.find('\n') + 1));
    };
    const Json whole = body(HttpGet(m_wholeHttp->port(), arguments + "&count=1000"));
    const Json merged = body(HttpGet(m_brokerHttp->port(), arguments + "&count=1000"));
    ASSERT_GT(whole["total"].get<int>(), 0) << query;
    EXPECT_EQ(merged["total"], whole["total"]) << query;
    // The same hits (a shard scores with its own statistics, so the order may differ), in
    // descending score, each with the score its shard gives it.
    std::multiset<std::string> wholeHits, mergedHits;
    for (const Json& hit : whole["hits"])
      wholeHits.insert(hit["title"].get<std::string>() + hit["body"].get<std::string>());
    std::map<std::string, double> shardScores;
    for (size_t s = 0; s < m_shardHttp.size(); ++s) {
      const Json shard = body(HttpGet(m_shardHttp[s]->port(), arguments + "&count=1000"));
      for (const Json& hit : shard["hits"]) {
        shardScores[hit["title"].get<std::string>() + hit["body"].get<std::string>()] =
            hit["score"].get<double>();
      }
    }
    double last = 1e300;
    for (const Json& hit : merged["hits"]) {
      const std::string key = hit["title"].get<std::string>() + hit["body"].get<std::string>();
      mergedHits.insert(key);
      EXPECT_LE(hit["score"].get<double>(), last);
      last = hit["score"].get<double>();
      EXPECT_EQ(hit["score"].get<double>(), shardScores[key]);
    }
    EXPECT_EQ(mergedHits, wholeHits) << query;
    // Windows of the merged order tile it.
    Json paged = Json::array();
    for (int start = 0; start < merged["total"].get<int>(); start += 4) {
      const Json page = body(
          HttpGet(m_brokerHttp->port(), arguments + "&count=4&start=" + std::to_string(start)));
      for (const Json& hit : page["hits"]) paged.push_back(hit);
    }
    EXPECT_EQ(paged, merged["hits"]) << query;
  }
  // Relevance through a broker answers JSON only; a shard that stops fails the query.
  EXPECT_EQ(HttpGet(m_brokerHttp->port(), "/search.xml" + target.substr(7)).substr(0, 12),
            "HTTP/1.1 400");
  m_shardHttp[2].reset();
  EXPECT_EQ(HttpGet(m_brokerHttp->port(), target).substr(0, 12), "HTTP/1.1 502");
}

}  // namespace
