// Tests of the HTTP interface over 127.0.0.1: JSON and XML pages against the query engine's pages
// for a sample of queries and windows, hostile and slow clients, the
// connection bound with keep-alive clients, health while loading and the metrics.
#include "server/http/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "core/query/query.h"
#include "core/text/word_list.h"
#include "formats/result_document.h"
#include "net/socket_io.h"
#include "server/metrics.h"
#include "server/search_data.h"
#include "testing/allocation/allocation_limit.h"
#include "testing/iconv_reference.h"
#include "testing/net/wire_client.h"
#include "testing/records/query_fixture.h"
#include "testing/records/served_set.h"

namespace {

using Json = nlohmann::json;

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生", "上海", "bs"};

// Reference conversion, independent of the code under test's buffering: iconv in one call.
std::string Convert(const char* to, const char* from, const std::string& text) {
  std::string out;
  EXPECT_TRUE(IconvConvert(to, from, text, &out)) << text;
  return out;
}
std::string Utf8(const std::string& gbk) { return Convert("UTF-8", "GBK", gbk); }

struct tResponse {
  int status = 0;  // 0: the connection closed without a response
  std::string headers;
  std::string body;
};

// A keep-alive HTTP/1.1 client over one connection.
class CClient {
 public:
  explicit CClient(uint16_t port) {
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    int error = 0;
    ConnectTcp(loopback, port, DeadlineAfter(5), &m_socket, &error);
  }
  bool Send(const std::string& bytes) {
    return SendFully(m_socket.fd(), bytes.data(), static_cast<int>(bytes.size()),
                     DeadlineAfter(5)) == static_cast<int>(bytes.size());
  }
  tResponse Get(const std::string& target, const std::string& method = "GET") {
    Send(method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return Read(method == "HEAD");
  }
  // Reads one response; status 0 when the server closes first.
  tResponse Read(bool noBody = false) {
    tResponse response;
    size_t end;
    while ((end = m_buffer.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill()) return response;
    }
    response.headers = m_buffer.substr(0, end);
    m_buffer.erase(0, end + 4);
    response.status = std::atoi(response.headers.c_str() + 9);
    size_t length = 0;
    const size_t at = response.headers.find("Content-Length: ");
    if (at != std::string::npos && !noBody)
      length = std::strtoul(&response.headers[at + 16], nullptr, 10);
    while (m_buffer.size() < length) {
      if (!Fill()) break;
    }
    response.body = m_buffer.substr(0, length);
    m_buffer.erase(0, std::min(length, m_buffer.size()));
    return response;
  }
  // Closes the sending side: the server sees the end of the request bytes.
  void Finish() { ::shutdown(m_socket.fd(), SHUT_WR); }
  // True when the server closed the connection (within `seconds`).
  bool Closed(int seconds) { return ClosedWithin(std::chrono::seconds(seconds)); }
  bool ClosedWithin(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    char chunk[4096];
    while (std::chrono::steady_clock::now() < until) {
      pollfd watched{m_socket.fd(), POLLIN, 0};
      if (::poll(&watched, 1, 50) <= 0) continue;
      const ssize_t got = ::recv(m_socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
  }

 private:
  bool Fill() {
    char chunk[65536];
    const int got = RecvFully(m_socket.fd(), chunk, 1, DeadlineAfter(10));
    if (got != 1) return false;
    m_buffer += chunk[0];
    const ssize_t more = ::recv(m_socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (more > 0) m_buffer.append(chunk, static_cast<size_t>(more));
    return true;
  }
  CSocket m_socket;
  std::string m_buffer;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fixture = std::make_unique<CServedSetFixture>(kWords);
    ASSERT_TRUE(m_fixture->ok());
    std::mt19937 random(915);
    for (int record = 0; record < 60; ++record) {
      std::string title, body;
      for (int i = 0; i < 3; ++i) title += kWords[random() % kWords.size()];
      for (int i = 0, n = 1 + static_cast<int>(random() % 9); i < n; ++i) {
        body += kWords[random() % kWords.size()];
      }
      if (record % 10 == 3) body += "<&\"\t\\\x01 \xFF end";  // JSON escapes and a byte GBK lacks
      ASSERT_TRUE(m_fixture->AddRecord(title, body, 2000 + record % 5));
    }
    ASSERT_TRUE(m_fixture->SaveServedSet());
    m_data = LoadSearchData(m_fixture->ServedPaths());
    ASSERT_TRUE(m_data);
  }
  std::string Path(const std::string& name) const { return m_fixture->Path(name); }

  void Start(tHttpOptions options = {}) {
    m_server = std::make_unique<CHttpServer>(
        options, [this] { return m_loading ? nullptr : m_data; }, &m_metrics);
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    std::string error;
    ASSERT_TRUE(m_server->Start(loopback, 0, &error)) << error;
    ASSERT_NE(m_server->port(), 0);
  }
  tHttpReply Get(const std::string& target, const std::string& method = "GET") {
    CHttpTestClient client(m_server->port());
    return client.Get(target, method);
  }

  std::unique_ptr<CServedSetFixture> m_fixture;
  std::shared_ptr<const CSearchData> m_data;
  std::atomic<bool> m_loading{false};
  CServerMetrics m_metrics;
  std::unique_ptr<CHttpServer> m_server;
};

TEST_F(HttpServerTest, JsonPagesEqualTheEnginePagesForEveryWindow) {
  Start();
  const std::string queries[] = {
      "[FIELD] title [AND] 中国",
      "[FIELD] body [AND] 人民北京 [FIELD] year [AND] 2003 2004",
      "[FIELD] * [AND] 上海 [FIELD] title [AND] 大学",
      "[FIELD] body [AND] end",
      "",
  };
  const std::pair<std::string, std::string> windows[] = {
      {"0", "20"}, {"5", "3"},           {"0", "0"},           {"-1", "5"},
      {"3", "-2"}, {"2147483647", "20"}, {"0", "99999999999"}, {"-99999999999", "-2147483648"},
      {"", ""}};
  CHttpTestClient client(m_server->port());  // all over one keep-alive connection
  for (const std::string& query : queries) {
    for (const auto& [start, count] : windows) {
      std::string target = "/search?q=" + PercentEncode(Utf8(query));
      if (!start.empty()) target += "&start=" + start + "&count=" + count;
      const tHttpReply response = client.Get(target);
      ASSERT_EQ(response.status, 200) << target << response.body;
      const Json answer = Json::parse(response.body);
      const auto clamp = [](const std::string& text, int fallback) {
        if (text.empty()) return fallback;
        const long long value = std::stoll(text);
        return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, value)));
      };
      CQuery engine(m_data->schema(), m_data->store());
      engine.Execute(query.c_str());
      const ResultPage& page = engine.GetPage(clamp(start, 0), clamp(count, 20));
      EXPECT_EQ(answer["total"], page.total) << target;
      EXPECT_EQ(answer["start"], page.start) << target;
      ASSERT_EQ(answer["returned"], page.returned) << target;
      ASSERT_EQ(answer["hits"].size(), static_cast<size_t>(page.returned));
      // The XML answer is the client library's document of the same page, byte for byte.
      std::string document;
      ASSERT_TRUE(FormatResultDocument(page, {"title", "body", "year"}, &document));
      const tHttpReply xml = client.Get("/search.xml" + target.substr(7));
      EXPECT_EQ(xml.status, 200);
      EXPECT_EQ(xml.body, document) << target;
      EXPECT_EQ(answer["fields"], Json({"title", "body", "year"}));
      size_t offset = 0, value = 0;
      for (const Json& hit : answer["hits"]) {
        for (const char* name : {"title", "body", "year"}) {
          const size_t length = static_cast<size_t>(page.valueLengths[value++]);
          const std::string expected = page.text.substr(offset, length);
          offset += length;
          const std::string got = hit[name].get<std::string>();
          // A byte GBK lacks comes back as U+FFFD; everything else converts back exactly.
          const size_t bad = expected.find('\xFF');
          if (bad == std::string::npos) {
            EXPECT_EQ(Convert("GBK", "UTF-8", got), expected) << target;
          } else {
            EXPECT_EQ(got, Utf8(expected.substr(0, bad)) + "\xEF\xBF\xBD" +
                               Utf8(expected.substr(bad + 1)));
          }
        }
      }
    }
  }
  // The words shortcut builds the selector on the named field, "*" by default.
  for (const auto& [target, query] : std::vector<std::pair<std::string, std::string>>{
           {"/search?text=" + PercentEncode(Utf8("北京")) + "&field=body",
            "[FIELD] body [AND] 北京"},
           {"/search?text=" + PercentEncode(Utf8("大学 上海")), "[FIELD] * [AND] 大学 上海"}}) {
    CQuery engine(m_data->schema(), m_data->store());
    const int total = engine.Execute(query.c_str());
    EXPECT_GT(total, 0);
    EXPECT_EQ(Json::parse(client.Get(target).body)["total"], total) << target;
  }
}

TEST_F(HttpServerTest, BadRequestsGetJsonErrors) {
  tHttpOptions options;
  options.maxRequestBytes = 4096;
  Start(options);
  const struct {
    std::string target;
    std::string method;
    int status;
  } cases[] = {
      {"/search?q=%C3%28", "GET", 400},
      {"/search?q=%F0%9F%98%80", "GET", 400},
      {"/search?q=a%00b", "GET", 400},
      {"/search", "GET", 400},
      {"/search?text=x&field=a%20b", "GET", 400},
      {"/search?q=x&start=1e3", "GET", 400},
      {"/search?q=x&count=", "GET", 400},
      {"/search?q=x&start=--1", "GET", 400},
      {"/search?q=%5BFIELD%5D%20nosuch%20%5BAND%5D%20x", "GET", 400},
      {"/search?text=x&field=nosuch", "GET", 400},
      {"/search?q=x&order=up", "GET", 400},
      {"/nothing", "GET", 404},
      {"/search/", "GET", 404},
      {"/search?q=x", "POST", 405},
      {"/health", "DELETE", 405},
      {"/search?q=" + std::string(6000, 'a'), "GET", 413},
      {"/search?q=x&snipet=body", "GET", 400},
      {"/search.xml?q=x&text=y&Count=3", "GET", 400},
      {"/search?text=" + PercentEncode(Utf8("明月 OR")), "GET", 400},
      {"/health?verbose=1", "GET", 400},
      {"/?text=x&f_year=2003&page=2", "GET", 400},
      {"/suggest?prefix=a&limit=3", "GET", 400},
  };
  for (const auto& item : cases) {
    const tHttpReply response = Get(item.target, item.method);
    ASSERT_EQ(response.status, item.status) << item.target.substr(0, 60) << " " << item.method;
    EXPECT_NE(response.headers.find("application/json"), std::string::npos);
    EXPECT_FALSE(Json::parse(response.body)["error"].get<std::string>().empty());
  }
  EXPECT_EQ(m_metrics.Queries(trindle::Interface::kHttp, trindle::Outcome::kBadRequest), 15);
  // The answer names the unknown arguments, or says where the text's syntax fails.
  EXPECT_NE(Get("/search?q=x&snipet=body&zz=1").body.find("snipet, zz"), std::string::npos);
  const Json syntax = Json::parse(Get("/search?text=" + PercentEncode(Utf8("明月 (故乡"))).body);
  EXPECT_EQ(syntax["position"], 3);
  EXPECT_EQ(Get("/?text=x&f_year=2003&order=desc").status, 200);
  // A URL of 10 MB is refused, whatever the library answers, and the server goes on.
  {
    CHttpTestClient client(m_server->port());
    client.Send("GET /search?q=");
    const std::string chunk(1 << 20, 'a');
    for (int i = 0; i < 10 && client.Send(chunk); ++i) {
    }
    const tHttpReply response = client.Read();
    EXPECT_TRUE(response.status == 0 || response.status >= 400) << response.status;
  }
  EXPECT_EQ(Get("/health").status, 200);
}

TEST_F(HttpServerTest, SlowClientIsDroppedWhileOthersAreServed) {
  tHttpOptions options;
  options.timeout = 1;
  Start(options);
  CHttpTestClient slow(m_server->port());
  ASSERT_TRUE(slow.Send("GET /search?q=x HTTP/1.1\r\nHo"));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Get("/health").status, 200);
  EXPECT_TRUE(slow.Closed(5));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
}

TEST_F(HttpServerTest, KeepAliveClientsAtTheBoundAndTheOneTooMany) {
  tHttpOptions options;
  options.maxConnections = 4;
  options.keepAliveRequests = 3;
  Start(options);
  std::vector<std::unique_ptr<CHttpTestClient>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<CHttpTestClient>(m_server->port()));
    EXPECT_EQ(clients.back()->Get("/health").status, 200);
  }
  CHttpTestClient extra(m_server->port());
  EXPECT_EQ(extra.Get("/health").status, 0);
  EXPECT_EQ(m_metrics.ConnectionsRefused(trindle::Interface::kHttp), 1);
  EXPECT_EQ(m_metrics.ConnectionsInProgress(trindle::Interface::kHttp), 4);
  // The bound's connections stay open for further requests, up to keepAliveRequests.
  for (auto& client : clients) EXPECT_EQ(client->Get("/search?q=x").status, 200);
  const tHttpReply third = clients[0]->Get("/health");
  EXPECT_EQ(third.status, 200);
  EXPECT_NE(third.headers.find("Connection: close"), std::string::npos) << third.headers;
  EXPECT_TRUE(clients[0]->Closed(5));
  clients.erase(clients.begin());
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (m_metrics.ConnectionsInProgress(trindle::Interface::kHttp) > 3 &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  CHttpTestClient next(m_server->port());
  EXPECT_EQ(next.Get("/health").status, 200)
      << m_metrics.ConnectionsRefused(trindle::Interface::kHttp) << " "
      << m_metrics.ConnectionsInProgress(trindle::Interface::kHttp);
}

TEST_F(HttpServerTest, HealthAndSearchAnswer503WhileLoadingAndMetricsCount) {
  m_loading = true;
  Start();
  tHttpReply health = Get("/health");
  EXPECT_EQ(health.status, 503);
  EXPECT_EQ(Json::parse(health.body)["status"], "loading");
  EXPECT_EQ(Get("/search?q=x").status, 503);
  EXPECT_EQ(Get("/").status, 200);
  m_loading = false;
  health = Get("/health");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(Json::parse(health.body),
            Json({{"status", "serving"}, {"records", 60}, {"generation", 0}}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Get("/search?q=x").status, 200);
  EXPECT_EQ(Get("/search?q=x&start=y").status, 400);
  m_metrics.DataSetLoaded(true, false, 0, 1.0);
  const tHttpReply metrics = Get("/metrics");
  EXPECT_EQ(metrics.status, 200);
  for (const char* line : {
           "trindle_queries_total{interface=\"http\",outcome=\"ok\"} 3\n",
           "trindle_queries_total{interface=\"http\",outcome=\"unavailable\"} 1\n",
           "trindle_queries_total{interface=\"http\",outcome=\"bad_request\"} 1\n",
           "trindle_queries_total{interface=\"binary\",outcome=\"ok\"} 0\n",
           "trindle_query_duration_seconds_count{interface=\"http\"} 5\n",
           "trindle_query_duration_seconds_bucket{interface=\"http\",le=\"+Inf\"} 5\n",
           "trindle_reloads_total{outcome=\"failed\"} 1\n",
       }) {
    EXPECT_NE(metrics.body.find(line), std::string::npos) << line << metrics.body;
  }
  // HEAD answers the headers alone.
  const tHttpReply head = Get("/health", "HEAD");
  EXPECT_EQ(head.status, 200);
}

}  // namespace

namespace {

// Random requests: request lines with random targets and bytes, and raw garbage.
// Whatever comes back, the server goes on answering (under AddressSanitizer this also shows
// that nothing reads outside a buffer).
TEST_F(HttpServerTest, RandomRequestsNeverStopTheServer) {
  tHttpOptions options;
  options.timeout = 1;
  Start(options);
  std::mt19937 random(1509);
  const std::string pieces[] = {"/search?q=", "/search.xml?text=",
                                "&field=",    "&start=",
                                "&count=",    "%",
                                "%0",         "%00",
                                "%FF",        "%E4%B8",
                                "+",          "[FIELD]",
                                "-",          "9999999999",
                                "/health",    "?",
                                "&",          "=",
                                "/",          "#"};
  for (int round = 0; round < 120; ++round) {
    std::string target;
    for (int i = 0, n = 1 + static_cast<int>(random() % 8); i < n; ++i) {
      target += pieces[random() % (sizeof pieces / sizeof pieces[0])];
      if (random() % 3 == 0) target += static_cast<char>(random() % 256);
    }
    std::string request;
    if (round % 4 == 3) {
      for (int i = 0, n = static_cast<int>(random() % 300); i < n; ++i) {
        request += static_cast<char>(random() % 256);
      }
    } else {
      request = (round % 5 == 0 ? "POST " : "GET ") + target + " HTTP/1.1\r\nHost: x\r\n" +
                (round % 7 == 0 ? "Content-Length: 5\r\n" : "") + "\r\n";
    }
    CHttpTestClient client(m_server->port());
    client.Send(request);
    if (round % 4 == 3 || round % 7 == 0) client.Finish();
    const tHttpReply response = client.Read();
    // Requests that reach the routes are answered in JSON; a request line or header the
    // HTTP library cannot parse gets the library's own 400, 413, 414 or 431.
    const std::set<int> allowed = {0, 200, 400, 404, 405, 413, 414, 431};
    EXPECT_EQ(allowed.count(response.status), 1u) << response.status;
    if (response.headers.find("application/json") != std::string::npos) {
      Json parsed;
      EXPECT_NO_THROW(parsed = Json::parse(response.body))
          << response.status << " " << response.body;
    }
  }
  EXPECT_EQ(Get("/health").status, 200);
}

}  // namespace

namespace {

// Loads a one-record data set over the schema `lines`; what LoadSearchData returned.
std::shared_ptr<const CSearchData> LoadWithSchema(const std::string& lines) {
  CServedSetFixture fixture(kWords, lines);
  if (!fixture.ok() || !fixture.AddRecord("中国", "北京", 2000) || !fixture.SaveServedSet()) {
    ADD_FAILURE() << "fixture";
    return nullptr;
  }
  return LoadSearchData(fixture.ServedPaths());
}

}  // namespace

// The names every answer needs are taken from the schema once, at load; a stored name that
// no XML element can carry fails the load instead of every /search.xml.
TEST(SearchDataTest, NamesAreComputedAtLoadAndBadStoredNamesFailIt) {
  const auto data = LoadWithSchema(
      "1 TITLE 标题 T 1 0 1 1 标题\n2 BODY body T 1 0 0 1 正文\n3 YEAR year I 0 1 0 0 年份\n");
  ASSERT_TRUE(data);
  EXPECT_EQ(data->storedNames(), std::vector<std::string>{"标题"});
  EXPECT_EQ(data->storedNamesUtf8(), std::vector<std::string>{"\xE6\xA0\x87\xE9\xA2\x98"});
  EXPECT_EQ(data->indexedNamesUtf8(),
            (std::vector<std::string>{"\xE6\xA0\x87\xE9\xA2\x98", "body"}));
  EXPECT_FALSE(LoadWithSchema(
      "1 TITLE 1title T 1 0 1 1 标题\n2 BODY body T 1 0 1 1 正文\n3 YEAR year I 0 1 1 0 年份\n"));
  EXPECT_FALSE(LoadWithSchema(
      "1 TITLE title T 1 0 1 1 标题\n2 BODY a<b T 1 0 1 1 正文\n3 YEAR year I 0 1 1 0 年份\n"));
}

TEST_F(HttpServerTest, StartingTwiceFailsAndStoppingTwiceIsHarmless) {
  Start();
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  std::string error;
  EXPECT_FALSE(m_server->Start(loopback, 0, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(Get("/health").status, 200);  // the first start still serves
  m_server->Stop();
  m_server->Stop();
}

// Bounded work per search: a count over the cap gets the first maxPageCount hits and says so,
// a query over maxQueryWords is 400, one past its time budget 503 (counted as timed out), and
// a search whose memory cannot be had is 503 while the server goes on.
TEST_F(HttpServerTest, EachSearchIsBoundedAndAFailureAnswersOnlyItself) {
  tHttpOptions options;
  options.maxRequestBytes = 1 << 20;
  options.search.maxPageCount = 3;
  options.search.query = {40, 0};
  Start(options);
  const std::string query = "[FIELD] * [AND] 中国";
  CQuery engine(m_data->schema(), m_data->store());
  ASSERT_GT(engine.Execute(query.c_str()), 5);
  const std::string target = "/search?q=" + PercentEncode(Utf8(query));
  const tHttpReply capped = Get(target + "&count=50");
  ASSERT_EQ(capped.status, 200);
  EXPECT_EQ(Json::parse(capped.body)["returned"], 3);
  EXPECT_EQ(Json::parse(capped.body)["capped"], 3);
  EXPECT_NE(capped.headers.find("X-Page-Count-Capped: 3"), std::string::npos) << capped.headers;
  const tHttpReply whole = Get(target + "&count=3");
  EXPECT_FALSE(Json::parse(whole.body).contains("capped"));
  EXPECT_EQ(whole.headers.find("X-Page-Count-Capped"), std::string::npos);
  const tHttpReply xml = Get("/search.xml?q=" + PercentEncode(Utf8(query)) + "&count=50");
  std::string document;
  ASSERT_TRUE(FormatResultDocument(engine.GetPage(0, 3), {"title", "body", "year"}, &document));
  EXPECT_EQ(xml.body, document);
  EXPECT_NE(xml.headers.find("X-Page-Count-Capped: 3"), std::string::npos);

  std::string values;
  for (int i = 0; i < 41; ++i) values += " v" + std::to_string(i);
  const tHttpReply tooMany = Get("/search?q=" + PercentEncode(Utf8("[FIELD] * [AND]" + values)));
  EXPECT_EQ(tooMany.status, 400);
  EXPECT_NE(tooMany.body.find("more than 40"), std::string::npos);
  m_server->Stop();

  // A word with hits, then 7,776 distinct phrases (every sequence of five of six words), each
  // segmented and looked up in turn, run well past one millisecond.
  options.search.query = {0, 1};
  Start(options);
  std::string phrases;
  for (int i = 0; i < 7776; ++i) {
    phrases += ' ';
    for (int j = 0, digits = i; j < 5; ++j, digits /= 6) phrases += kWords[digits % 6];
  }
  const tHttpReply slow = Get("/search?q=" + PercentEncode(Utf8("[FIELD] * [AND] 中国" + phrases)));
  EXPECT_EQ(slow.status, 503);
  EXPECT_NE(slow.body.find("time budget of 1 ms"), std::string::npos) << slow.body;
  EXPECT_EQ(m_metrics.Queries(trindle::Interface::kHttp, trindle::Outcome::kTimedOut), 1);

  // Every allocation of 64 KiB or more fails while a search of 20,000 values is answered.
  values.clear();
  for (int i = 0; i < 20000; ++i) values += " w";
  const std::string request =
      "GET /search?q=" + PercentEncode(Utf8("[FIELD] * [AND]" + values)) + " HTTP/1.1\r\n";
  CClient client(m_server->port());
  ASSERT_TRUE(client.Send(request));  // all but the end of the headers, before the failures
  FailAllocationsFrom(64 << 10);
  client.Send("\r\n");
  const tResponse failed = client.Read();
  FailAllocationsFrom(0);
  EXPECT_EQ(failed.status, 503);
  EXPECT_NE(failed.body.find("out of memory"), std::string::npos) << failed.body;
  EXPECT_EQ(Get(target).status, 200);
}

// The idle time-out restarts with every byte; the request deadline does not: a client that
// sends its headers a line at a time loses its connection when the deadline passes.
TEST_F(HttpServerTest, HeadersSentSlowlyMeetTheRequestDeadline) {
  tHttpOptions options;
  options.timeout = 5;
  options.requestTimeout = 1;
  Start(options);
  CClient slow(m_server->port());
  ASSERT_TRUE(slow.Send("GET /health HTTP/1.1\r\n"));
  const auto started = std::chrono::steady_clock::now();
  bool closed = false;
  for (int line = 0; line < 12 && !closed; ++line) {
    closed = slow.ClosedWithin(std::chrono::milliseconds(250)) ||
             !slow.Send("X-Slow-" + std::to_string(line) + ": 1\r\n");
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  // A keep-alive client whose requests come whole is not cut, however long it stays.
  CClient steady(m_server->port());
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(steady.Get("/health").status, 200) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
}
