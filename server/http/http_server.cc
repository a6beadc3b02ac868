#include "server/http/http_server.h"

#include <microhttpd.h>

#include <chrono>
#include <cstring>
#include <new>

#include "server/http/http_answers.h"
#include "server/http/http_request.h"
#include "server/http/search_page.h"
#include "server/metrics.h"
#include "server/search_data.h"

// The trampolines libmicrohttpd calls, with the server as their context; a friend of
// CHttpServer so that what they call stays private.
struct tHttpCallbacks {
  static MHD_Result OnAccept(void* context, const sockaddr*, socklen_t) {
    return static_cast<CHttpServer*>(context)->Accept() ? MHD_YES : MHD_NO;
  }

  static void OnConnection(void* context, MHD_Connection*, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
    // The socket context counts the requests answered on the connection.
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      *socketContext = new (std::nothrow) uint64_t(0);
    } else {
      delete static_cast<uint64_t*>(*socketContext);
      *socketContext = nullptr;
    }
    static_cast<CHttpServer*>(context)->ConnectionChanged(code == MHD_CONNECTION_NOTIFY_STARTED);
  }

  static MHD_Result OnRequest(void* context, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char*, size_t*,
                              void** requestContext) {
    auto* server = static_cast<CHttpServer*>(context);
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
    if (*requestContext == nullptr && !announcesBody) {
      *requestContext = &started;
      return MHD_YES;
    }
    // A request that announces a body is answered at its headers, and its connection closed:
    // no route takes a body.
    tHttpAnswer answer = server->Route(connection, url, method);
    MHD_Response* response =
        MHD_create_response_from_buffer(answer.body.size(), &answer.body[0], MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (answer.status == MHD_HTTP_METHOD_NOT_ALLOWED) {
      MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    // Requests on this connection so far, kept in its socket context.
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info != nullptr && info->socket_context != nullptr) {
      const uint64_t served = ++*static_cast<uint64_t*>(info->socket_context);
      if (served >= static_cast<uint64_t>(server->m_options.keepAliveRequests)) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
      }
    }
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
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
      MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD, port, tHttpCallbacks::OnAccept, this,
                       tHttpCallbacks::OnRequest, this, MHD_OPTION_SOCK_ADDR, &socketAddress,
                       MHD_OPTION_THREAD_POOL_SIZE, threads, MHD_OPTION_CONNECTION_LIMIT,
                       (static_cast<unsigned>(m_options.maxConnections) + 1) * threads,
                       MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(m_options.timeout),
                       MHD_OPTION_CONNECTION_MEMORY_LIMIT, memory, MHD_OPTION_LISTEN_BACKLOG_SIZE,
                       static_cast<unsigned>(m_options.listenBacklog), MHD_OPTION_NOTIFY_CONNECTION,
                       tHttpCallbacks::OnConnection, this, MHD_OPTION_END);
  if (m_daemon == nullptr) {
    *error = "cannot listen for HTTP on port " + std::to_string(port);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
  m_port = info != nullptr ? info->port : port;
  return true;
}

void CHttpServer::Stop() {
  if (m_daemon == nullptr) return;
  MHD_stop_daemon(m_daemon);
  m_daemon = nullptr;
}

// Runs on the accepting thread, before the connection is counted: a connection past the
// bound is closed unserved. Two threads accepting at the same moment can each take the last
// place, so the bound may be passed by one connection per further thread for a moment.
bool CHttpServer::Accept() {
  if (m_active.load() >= m_options.maxConnections) {
    if (m_metrics != nullptr) m_metrics->ConnectionRefused(Interface::kHttp);
    return false;
  }
  return true;
}

void CHttpServer::ConnectionChanged(bool started) {
  if (started) {
    ++m_active;
    if (m_metrics != nullptr) m_metrics->ConnectionStarted(Interface::kHttp);
  } else {
    --m_active;
    if (m_metrics != nullptr) m_metrics->ConnectionEnded(Interface::kHttp);
  }
}

tHttpAnswer CHttpServer::Route(MHD_Connection* connection, const char* url, const char* method) {
  const std::string path = url != nullptr ? url : "";
  const bool search = path == "/search" || path == "/search.xml";
  const bool known = search || path == "/" || path == "/health" || path == "/metrics";
  if (!known) return ErrorAnswer(404, "no such resource: use /search, /health, /metrics or /");
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
      std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return ErrorAnswer(405, "only GET and HEAD are answered");
  }
  if (RequestBytes(connection, path) > static_cast<size_t>(m_options.maxRequestBytes)) {
    if (search && m_metrics != nullptr)
      m_metrics->CountQuery(Interface::kHttp, Outcome::kBadRequest, 0);
    return ErrorAnswer(
        413, "the request is larger than " + std::to_string(m_options.maxRequestBytes) + " bytes");
  }
  const std::shared_ptr<const CSearchData> data = m_data ? m_data() : nullptr;
  if (path == "/health") return HealthAnswer(data.get());
  if (path == "/metrics") {
    tHttpAnswer answer;
    answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
    if (m_metrics != nullptr) answer.body = m_metrics->Render();
    return answer;
  }
  if (path == "/") {
    tHttpAnswer answer;
    answer.contentType = "text/html; charset=utf-8";
    answer.body =
        SearchPage(data != nullptr ? data->indexedNamesUtf8() : std::vector<std::string>());
    return answer;
  }
  const auto started = std::chrono::steady_clock::now();
  const tSearchParameters parameters = ReadSearchParameters(connection);
  tHttpAnswer answer = path == "/search.xml" ? AnswerXmlSearch(parameters, data.get())
                                             : AnswerJsonSearch(parameters, data.get());
  if (m_metrics != nullptr) {
    const Outcome outcome = answer.status == 200   ? Outcome::kOk
                            : answer.status == 503 ? Outcome::kUnavailable
                            : answer.status < 500  ? Outcome::kBadRequest
                                                   : Outcome::kFailed;
    m_metrics->CountQuery(
        Interface::kHttp, outcome,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  return answer;
}
