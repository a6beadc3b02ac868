#include "server/http/http_server.h"

#include <microhttpd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "server/http/broker_answers.h"
#include "server/http/http_answers.h"
#include "server/http/http_request.h"
#include "server/http/search_options.h"
#include "server/http/search_page.h"
#include "server/http/suggest.h"
#include "server/metrics.h"
#include "server/search_data.h"

// The trampolines libmicrohttpd calls, with the server as their context; a friend of
// CHttpServer so that what they call stays private.
struct tHttpCallbacks {
  static MHD_Result OnAccept(void* context, const sockaddr*, socklen_t) {
    return static_cast<CHttpServer*>(context)->Accept() ? MHD_YES : MHD_NO;
  }

  static void OnConnection(void* context, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<CHttpServer*>(context);
    // The socket context is the connection's entry for the request deadline.
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      *socketContext = server->ConnectionStarted(connection);
    } else {
      server->ConnectionClosed(static_cast<CHttpServer::tConnection*>(*socketContext));
      *socketContext = nullptr;
    }
    server->ConnectionChanged(code == MHD_CONNECTION_NOTIFY_STARTED);
  }

  static CHttpServer::tConnection* Entry(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<CHttpServer::tConnection*>(info->socket_context) : nullptr;
  }

  static void OnCompleted(void* context, MHD_Connection* connection, void** requestContext,
                          MHD_RequestTerminationCode) {
    auto* server = static_cast<CHttpServer*>(context);
    server->RequestCompleted(Entry(connection));
    if (*requestContext != nullptr) --server->m_requests;
    *requestContext = nullptr;
  }

  static void FreeBody(void* body) { delete static_cast<std::string*>(body); }

  static MHD_Result OnRequest(void* context, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char*, size_t*,
                              void** requestContext) {
    auto* server = static_cast<CHttpServer*>(context);
    CHttpServer::tConnection* entry = Entry(connection);
    server->RequestRead(entry);
    // The first call comes with the headers; answering there would end the connection, so the
    // answer waits for the call that follows the whole request. A body is read and ignored:
    // no route takes one.
    static int started;
    const char* contentLength =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const bool announcesBody =
        (contentLength != nullptr && std::strcmp(contentLength, "0") != 0) ||
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                    MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
    if (*requestContext == nullptr) {
      ++server->m_requests;  // until OnCompleted
      *requestContext = &started;
      if (!announcesBody) return MHD_YES;
    }
    // A request that announces a body is answered at its headers, and its connection closed:
    // no route takes a body.
    try {
      tHttpResponse answer = server->Route(connection, url, method);
      // The body is handed over, not copied: the response frees it when it has been sent.
      auto* body = new std::string(std::move(answer.body));
      MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
          body->size(), &(*body)[0], FreeBody, body);
      if (response == nullptr) {
        delete body;
        return MHD_NO;
      }
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType);
      MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
      if (answer.status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
      }
      if (answer.cappedAt > 0) {
        MHD_add_response_header(response, "X-Page-Count-Capped",
                                std::to_string(answer.cappedAt).c_str());
      }
      // Requests on this connection so far; a draining server closes it after this answer.
      const bool last =
          entry != nullptr &&
          ++entry->served >= static_cast<uint64_t>(server->m_options.keepAliveRequests);
      if (last || server->draining()) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
      }
      const MHD_Result queued =
          MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
      MHD_destroy_response(response);
      return queued;
    } catch (const std::bad_alloc&) {
      return QueueOutOfMemory(server, connection);
    }
  }

  // What a request whose memory cannot be had gets: 503 from a static body, or, should even
  // that response not be made, the end of its connection; never the end of the server.
  static MHD_Result QueueOutOfMemory(CHttpServer* server, MHD_Connection* connection) {
    static const char kBody[] = "{\"error\":\"out of memory for this request\"}";
    if (server->m_metrics != nullptr) {
      server->m_metrics->CountQuery(trindle::Interface::kHttp, trindle::Outcome::kUnavailable, 0);
    }
    MHD_Response* response = MHD_create_response_from_buffer(
        sizeof kBody - 1, const_cast<char*>(kBody), MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued =
        MHD_queue_response(connection, MHD_HTTP_SERVICE_UNAVAILABLE, response);
    MHD_destroy_response(response);
    return queued;
  }
};

CHttpServer::CHttpServer(tHttpOptions options,
                         std::function<std::shared_ptr<const CSearchData>()> data,
                         CServerMetrics* metrics)
    : m_options(options), m_data(std::move(data)), m_metrics(metrics) {
  if (m_options.maxConnections < 1) m_options.maxConnections = 1;
  if (m_options.keepAliveRequests < 1) m_options.keepAliveRequests = 1;
  if (m_options.threads < 1) m_options.threads = 1;
}

CHttpServer::~CHttpServer() { Stop(); }

bool CHttpServer::Start(in_addr address, uint16_t port, std::string* error) {
  if (m_daemon != nullptr) {
    *error = "the HTTP interface is already started";
    return false;
  }
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr = address;
  socketAddress.sin_port = htons(port);
  // The memory pool of a connection holds its request line and headers and the headers of
  // the answer; the request itself is held to maxRequestBytes by Answer.
  const size_t memory = static_cast<size_t>(m_options.maxRequestBytes) + 16384;
  // libmicrohttpd divides its own limit among the threads; the bound is kept by Accept.
  const unsigned threads = static_cast<unsigned>(m_options.threads);
  m_daemon =
      MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC, port, tHttpCallbacks::OnAccept,
                       this, tHttpCallbacks::OnRequest, this, MHD_OPTION_SOCK_ADDR, &socketAddress,
                       MHD_OPTION_THREAD_POOL_SIZE, threads, MHD_OPTION_CONNECTION_LIMIT,
                       (static_cast<unsigned>(m_options.maxConnections) + 1) * threads,
                       MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(m_options.timeout),
                       MHD_OPTION_CONNECTION_MEMORY_LIMIT, memory, MHD_OPTION_LISTEN_BACKLOG_SIZE,
                       static_cast<unsigned>(m_options.listenBacklog), MHD_OPTION_NOTIFY_CONNECTION,
                       tHttpCallbacks::OnConnection, this, MHD_OPTION_NOTIFY_COMPLETED,
                       tHttpCallbacks::OnCompleted, this, MHD_OPTION_END);
  if (m_daemon == nullptr) {
    *error = "cannot listen for HTTP on port " + std::to_string(port);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
  m_port = info != nullptr ? info->port : port;
  if (m_options.requestTimeout > 0) {
    {
      std::lock_guard<std::mutex> lock(m_connectionsLock);
      m_stopping = false;
    }
    m_watchdog = std::thread([this] { WatchRequestDeadlines(); });
  }
  return true;
}

void CHttpServer::StopAccepting() {
  if (m_daemon == nullptr) return;
  const MHD_socket listener = MHD_quiesce_daemon(m_daemon);
  if (listener != MHD_INVALID_SOCKET) ::close(listener);
}

bool CHttpServer::WaitForRequests(int seconds) const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (m_requests.load() > 0) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void CHttpServer::Stop() {
  if (m_daemon == nullptr) return;
  MHD_stop_daemon(m_daemon);
  m_daemon = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_connectionsLock);
    m_stopping = true;
  }
  m_watchdogWake.notify_all();
  if (m_watchdog.joinable()) m_watchdog.join();
}

CHttpServer::tConnection* CHttpServer::ConnectionStarted(MHD_Connection* connection) {
  auto* entry = new (std::nothrow) tConnection;
  if (entry == nullptr) return nullptr;  // served without a deadline
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  entry->fd = info != nullptr ? info->connect_fd : -1;
  entry->requestStarted = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(m_connectionsLock);
  try {
    m_connections.insert(entry);
  } catch (const std::bad_alloc&) {
    entry->fd = -1;  // not watched, still counted
  }
  return entry;
}

// Called before libmicrohttpd closes the socket: once the entry is out of the set under the
// lock, the watchdog can no longer shut down a descriptor that is about to be reused.
void CHttpServer::ConnectionClosed(tConnection* entry) {
  if (entry == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(m_connectionsLock);
    m_connections.erase(entry);
  }
  delete entry;
}

void CHttpServer::RequestRead(tConnection* entry) {
  if (entry == nullptr) return;
  std::lock_guard<std::mutex> lock(m_connectionsLock);
  entry->headersComplete = true;
}

void CHttpServer::RequestCompleted(tConnection* entry) {
  if (entry == nullptr) return;
  std::lock_guard<std::mutex> lock(m_connectionsLock);
  entry->headersComplete = false;
  entry->requestStarted = std::chrono::steady_clock::now();
}

void CHttpServer::WatchRequestDeadlines() {
  const auto limit = std::chrono::seconds(m_options.requestTimeout);
  std::unique_lock<std::mutex> lock(m_connectionsLock);
  while (!m_stopping) {
    m_watchdogWake.wait_for(lock, std::chrono::milliseconds(250));
    const auto now = std::chrono::steady_clock::now();
    for (tConnection* entry : m_connections) {
      if (entry->headersComplete || entry->fd < 0 || now - entry->requestStarted < limit) {
        continue;
      }
      // libmicrohttpd sees the end of the stream on its next read and closes the connection.
      ::shutdown(entry->fd, SHUT_RDWR);
      entry->fd = -1;
      if (m_metrics != nullptr) m_metrics->ConnectionRefused(trindle::Interface::kHttp);
    }
  }
}

// Runs on the accepting thread, before the connection is counted: a connection past the
// bound is closed unserved. Two threads accepting at the same moment can each take the last
// place, so the bound may be passed by one connection per further thread for a moment.
bool CHttpServer::Accept() {
  if (m_active.load() >= m_options.maxConnections) {
    if (m_metrics != nullptr) m_metrics->ConnectionRefused(trindle::Interface::kHttp);
    return false;
  }
  return true;
}

void CHttpServer::ConnectionChanged(bool started) {
  if (started) {
    ++m_active;
    if (m_metrics != nullptr) m_metrics->ConnectionStarted(trindle::Interface::kHttp);
  } else {
    --m_active;
    if (m_metrics != nullptr) m_metrics->ConnectionEnded(trindle::Interface::kHttp);
  }
}

tHttpResponse CHttpServer::Route(MHD_Connection* connection, const char* url, const char* method) {
  const std::string path = url != nullptr ? url : "";
  const bool search = path == "/search" || path == "/search.xml";
  const bool known =
      search || path == "/" || path == "/health" || path == "/metrics" || path == "/suggest";
  if (!known) {
    return ErrorAnswer(404, "no such resource: use /search, /suggest, /health, /metrics or /");
  }
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
      std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return ErrorAnswer(405, "only GET and HEAD are answered");
  }
  if (RequestBytes(connection, path) > static_cast<size_t>(m_options.maxRequestBytes)) {
    if (search && m_metrics != nullptr)
      m_metrics->CountQuery(trindle::Interface::kHttp, trindle::Outcome::kBadRequest, 0);
    return ErrorAnswer(
        413, "the request is larger than " + std::to_string(m_options.maxRequestBytes) + " bytes");
  }
  {
    static const char* const kSearchArguments[] = {
        "q",     "text",        "field", "start", "count",   "snippet", "snippet_length",
        "facet", "facet_limit", "order", "match", "explain", nullptr};
    // The search page's address: the search and one f_<name> per chosen facet value.
    static const char* const kPageArguments[] = {"text",  "field", "start", "order",
                                                 "match", "f_*",   nullptr};
    static const char* const kSuggestArguments[] = {"prefix", "count", nullptr};
    static const char* const kNoArguments[] = {nullptr};
    const std::vector<std::string> unknown =
        UnknownArguments(connection, search               ? kSearchArguments
                                     : path == "/"        ? kPageArguments
                                     : path == "/suggest" ? kSuggestArguments
                                                          : kNoArguments);
    if (!unknown.empty()) {
      if (search && m_metrics != nullptr)
        m_metrics->CountQuery(trindle::Interface::kHttp, trindle::Outcome::kBadRequest, 0);
      std::string names;
      for (const std::string& name : unknown) names += (names.empty() ? "" : ", ") + name;
      tHttpResponse answer = ErrorAnswer(400, path + " takes no argument named " + names);
      return answer;
    }
  }
  const std::shared_ptr<const CSearchData> data = m_data && !m_broker ? m_data() : nullptr;
  if (path == "/health") {
    return draining() ? DrainingAnswer()
           : m_broker ? BrokerHealthAnswer(*m_broker)
                      : HealthAnswer(data.get());
  }
  if (path == "/metrics") {
    tHttpResponse answer;
    answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
    if (m_metrics != nullptr) answer.body = m_metrics->Render();
    return answer;
  }
  if (path == "/suggest") {
    if (m_broker) return ErrorAnswer(404, "suggestions are answered by the shards' servers");
    return SuggestAnswer(QueryArgument(connection, "prefix"), QueryArgument(connection, "count"),
                         data.get(), m_options.search);
  }
  if (path == "/") {
    tHttpResponse answer;
    answer.contentType = "text/html; charset=utf-8";
    if (m_broker) {
      answer.body = SearchPage(m_broker->indexedNamesUtf8);
    } else if (data != nullptr) {
      answer.body = SearchPage(data->indexedNamesUtf8(), SnippetFieldNames(data->schema()),
                               FacetFieldNames(data->schema()));
    } else {
      answer.body = SearchPage({});
    }
    return answer;
  }
  const auto started = std::chrono::steady_clock::now();
  const tSearchParameters parameters = ReadSearchParameters(connection);
  const PageFormat format = path == "/search.xml" ? PageFormat::kXml : PageFormat::kJson;
  tHttpResponse answer =
      m_broker ? AnswerBrokerSearch(connection, parameters, *m_broker, m_options.search, format)
      : format == PageFormat::kXml ? AnswerXmlSearch(parameters, data.get(), m_options.search)
                                   : AnswerJsonSearch(parameters, data.get(), m_options.search);
  if (m_metrics != nullptr) {
    const trindle::Outcome outcome = answer.status == 200   ? trindle::Outcome::kOk
                                     : answer.timedOut      ? trindle::Outcome::kTimedOut
                                     : answer.status == 503 ? trindle::Outcome::kUnavailable
                                     : answer.status < 500  ? trindle::Outcome::kBadRequest
                                                            : trindle::Outcome::kFailed;
    m_metrics->CountQuery(
        trindle::Interface::kHttp, outcome,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  return answer;
}
