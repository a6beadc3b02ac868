// CHttpServer: the HTTP interface of the search server: JSON search answers in UTF-8, the XML
// result document, a health check, Prometheus metrics and a search page, over the same served
// data set as the binary port. This file is the routing only; the answers are in
// http_answers.h, the reading of requests in http_request.h, the page in search_page.h.
//
// libmicrohttpd parses HTTP on `threads` threads, each an epoll loop over its share of the
// connections that answers each request on that thread; at most `maxConnections` connections
// are served at once (further ones are closed unserved and counted), a connection idle for
// `timeout` seconds is closed, a request whose line and headers have not all arrived within
// `requestTimeout` seconds of the connection's start (or of the previous answer on it) has
// its connection closed, and a keep-alive connection ends after `keepAliveRequests` requests.
// A failure to allocate for a request answers it 503 and ends nothing else.
//
// Routes (GET and HEAD; any other method on them is 405):
//   /search?q=&start=&count=   or  /search?text=&field=&start=&count=   JSON page
//   /search.xml?...                                                      XML result document
//   /health  /metrics  /
// Every error is a JSON object {"error": message} with its status.
//
// Lifetimes and threads: the `data` callback and `metrics` (optional) are lent and must
// outlive the server; both are called from the libmicrohttpd threads, many at once, from
// Start until Stop returns, so they must be thread-safe. Each request takes the data set once
// and holds it until its answer is made. Start, Stop and the destructor belong to one owning
// thread. Start on a started server fails; Stop waits for the requests in progress and may be
// called any number of times, also on a server that never started.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "server/http/http_answers.h"

class CSearchData;
class CServerMetrics;
struct tBrokerView;
struct MHD_Daemon;
struct MHD_Connection;

struct tHttpOptions {
  int maxConnections = 64;       // connections served at once
  int timeout = 10;              // seconds a connection may stay idle (0: no limit)
  int maxRequestBytes = 16384;   // request line and headers, decoded
  int keepAliveRequests = 1000;  // requests on one connection before it is closed
  int listenBacklog = 128;       // pending connections the kernel queues
  int threads = 2;               // threads answering requests
  int requestTimeout = 10;       // seconds for a whole request, headers included (0: none)
  tSearchLimits search;          // page cap, query words and time budget of /search
};

class CHttpServer {
 public:
  CHttpServer(tHttpOptions options, std::function<std::shared_ptr<const CSearchData>()> data,
              CServerMetrics* metrics);
  virtual ~CHttpServer();  // stops, waiting for the requests in progress
  CHttpServer(const CHttpServer&) = delete;
  CHttpServer& operator=(const CHttpServer&) = delete;

  // Listens on `address`:`port` (0: a free port). False with *error when it cannot or when
  // the server is already started.
  bool Start(in_addr address, uint16_t port, std::string* error);
  uint16_t port() const { return m_port; }
  void Stop();

  // The server is going down: /health answers 503 {"status":"draining"} so that balancers
  // take it out, every other request is still answered, and each response says
  // "Connection: close", so keep-alive connections end between requests.
  void StartDraining() { m_draining.store(true); }
  bool draining() const { return m_draining.load(); }
  // Answers searches through a broker instead of over the data set (which is then not asked
  // for); `view` is lent and must outlive the server. Call before Start.
  void SetBroker(const tBrokerView* view) { m_broker = view; }
  // Closes the listening socket; connections already accepted are served on.
  void StopAccepting();
  // Waits until no request is being answered or `seconds` have passed; true when none is.
  bool WaitForRequests(int seconds) const;

 private:
  // libmicrohttpd's callbacks, defined with the routing; they call the members below.
  friend struct tHttpCallbacks;

  // Whether a new connection may be served (false past maxConnections, counted as refused).
  bool Accept();
  void ConnectionChanged(bool started);
  // The answer to one request.
  tHttpResponse Route(MHD_Connection* connection, const char* url, const char* method);

  // One connection as the request deadline sees it.
  struct tConnection {
    uint64_t served = 0;  // requests answered on it
    int fd = -1;
    std::chrono::steady_clock::time_point requestStarted;  // connection start or last answer
    bool headersComplete = false;                          // the current request has been read
  };
  tConnection* ConnectionStarted(MHD_Connection* connection);
  void ConnectionClosed(tConnection* entry);
  void RequestRead(tConnection* entry);
  void RequestCompleted(tConnection* entry);
  // Shuts down the sockets of connections whose request has taken longer than requestTimeout
  // seconds, every quarter of a second until Stop.
  void WatchRequestDeadlines();

  tHttpOptions m_options;
  std::function<std::shared_ptr<const CSearchData>()> m_data;
  CServerMetrics* m_metrics;
  MHD_Daemon* m_daemon = nullptr;
  uint16_t m_port = 0;
  std::atomic<int> m_active{0};
  std::atomic<bool> m_draining{false};
  const tBrokerView* m_broker = nullptr;
  std::atomic<int> m_requests{0};  // from a request's first callback to its completion

  std::mutex m_connectionsLock;  // guards m_connections, their entries and m_stopping
  std::unordered_set<tConnection*> m_connections;
  bool m_stopping = false;
  std::condition_variable m_watchdogWake;
  std::thread m_watchdog;
};
