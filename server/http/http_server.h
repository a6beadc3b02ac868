// The HTTP interface of the search server: JSON search answers in UTF-8, the XML result
// document, a health check, Prometheus metrics and a search page, over the same served data
// set as the binary port. libmicrohttpd parses HTTP on `threads` threads, each an epoll loop
// over its share of the connections that answers each request on that thread; at most
// `maxConnections` connections are served at once (further ones are closed unserved and
// counted), a connection idle for `timeout` seconds is closed, and a keep-alive connection
// ends after `keepAliveRequests` requests.
//
// Routes (GET and HEAD; any other method on them is 405):
//   /search?q=&start=&count=   or  /search?text=&field=&start=&count=   JSON page
//   /search.xml?...                                                      XML result document
//   /health  /metrics  /
// Every error is a JSON object {"error": message} with its status (500 only for /search.xml
// over a schema whose stored field names cannot name XML elements).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CSearchData;
class CServerMetrics;
struct MHD_Daemon;
struct MHD_Connection;

struct tHttpOptions {
  int maxConnections = 64;       // connections served at once
  int timeout = 10;              // seconds a connection may stay idle (0: no limit)
  int maxRequestBytes = 16384;   // request line and headers, decoded
  int keepAliveRequests = 1000;  // requests on one connection before it is closed
  int listenBacklog = 128;       // pending connections the kernel queues
  int threads = 2;               // threads answering requests
};

// One answer of the HTTP interface.
struct tHttpAnswer {
  int status = 200;
  const char* contentType = "application/json";
  std::string body;
};

// The query parameters of a search request, as received (percent-decoded bytes).
struct tSearchParameters {
  const std::string* q = nullptr;
  const std::string* text = nullptr;
  const std::string* field = nullptr;
  const std::string* start = nullptr;
  const std::string* count = nullptr;
};

// The answer to /search (`xml` false) or /search.xml over `data` (null: still loading).
tHttpAnswer AnswerSearch(const tSearchParameters& parameters, const CSearchData* data, bool xml);

// The JSON error body {"error": message}.
tHttpAnswer ErrorAnswer(int status, const std::string& message);

// The UTF-8 form of GBK bytes; each byte that does not start a GBK character (or ends the
// text inside one) becomes U+FFFD.
void AppendGbkAsUtf8(const char* bytes, size_t length, std::string* utf8);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& text);

// The GBK form of valid UTF-8; false when a character has no GBK form.
bool Utf8ToGbk(const std::string& utf8, std::string* gbk);

// The search page: self-contained HTML, the indexed fields offered in its field choice.
std::string SearchPage(const CSearchData* data);

class CHttpServer {
 public:
  CHttpServer(tHttpOptions options, std::function<std::shared_ptr<const CSearchData>()> data,
              CServerMetrics* metrics);
  virtual ~CHttpServer();  // stops, waiting for the requests in progress
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  // Listens on `address`:`port` (0: a free port). False with *error when it cannot.
  bool Start(in_addr address, uint16_t port, std::string* error);
  uint16_t port() const { return m_port; }
  void Stop();

  // The server is going down: /health answers 503 {"status":"draining"} so that balancers
  // take it out, every other request is still answered, and each response says
  // "Connection: close", so keep-alive connections end between requests.
  void StartDraining() { m_draining.store(true); }
  bool draining() const { return m_draining.load(); }
  // Closes the listening socket; connections already accepted are served on.
  void StopAccepting();
  // Waits until no request is being answered or `seconds` have passed; true when none is.
  bool WaitForRequests(int seconds) const;
  void RequestStarted() { ++m_requests; }
  void RequestEnded() { --m_requests; }

  // Called by libmicrohttpd.
  int Accept();
  void ConnectionChanged(bool started);
  tHttpAnswer Answer(MHD_Connection* connection, const char* url, const char* method,
                     bool* notCounted);
  const tHttpOptions& options() const { return m_options; }

 private:
  tHttpOptions m_options;
  std::function<std::shared_ptr<const CSearchData>()> m_data;
  CServerMetrics* m_metrics;
  MHD_Daemon* m_daemon = nullptr;
  uint16_t m_port = 0;
  std::atomic<int> m_active{0};
  std::atomic<bool> m_draining{false};
  std::atomic<int> m_requests{0};  // from a request's first callback to its completion
};
