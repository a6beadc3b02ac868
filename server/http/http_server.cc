#include "server/http/http_server.h"

#include <iconv.h>
#include <microhttpd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/query/query.h"
#include "formats/result_document.h"
#include "server/metrics.h"
#include "server/search_data.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// One iconv descriptor per thread and direction: a descriptor carries conversion state and
// must not be shared between threads.
class CConverter {
 public:
  CConverter(const char* to, const char* from) : m_handle(::iconv_open(to, from)) {}
  ~CConverter() {
    if (valid()) ::iconv_close(m_handle);
  }
  CConverter(const CConverter&) = delete;
  CConverter& operator=(const CConverter&) = delete;
  bool valid() const { return m_handle != reinterpret_cast<iconv_t>(-1); }
  iconv_t handle() const { return m_handle; }

 private:
  iconv_t m_handle;
};

CConverter& GbkDecoder() {
  thread_local CConverter converter("UTF-8", "GBK");
  return converter;
}

CConverter& GbkEncoder() {
  thread_local CConverter converter("GBK", "UTF-8");
  return converter;
}

// Decimal integer, optionally signed; values outside int32 are clamped, which GetPage treats
// as the extremes they are. False for anything else, the empty text included.
bool ParseInteger(const std::string& text, int32_t* number) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (value <= INT64_C(1) << 40) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  *number = static_cast<int32_t>(value);
  return true;
}

std::string GbkToUtf8(const std::string& gbk) {
  std::string utf8;
  AppendGbkAsUtf8(gbk.data(), gbk.size(), &utf8);
  return utf8;
}

// Builds the GBK query text of a request, or says why it cannot.
bool BuildQuery(const tSearchParameters& parameters, std::string* query, std::string* error) {
  std::string utf8;
  if (parameters.q != nullptr) {
    utf8 = *parameters.q;
  } else if (parameters.text != nullptr) {
    const std::string field = parameters.field != nullptr ? *parameters.field : "*";
    if (field.empty() || field.find_first_of(" \t\r\n[]") != std::string::npos) {
      *error = "field must be one index name";
      return false;
    }
    utf8 = "[FIELD] " + field + " [AND] " + *parameters.text;
  } else {
    *error = "give the query as q=, or the words as text= (with field=)";
    return false;
  }
  if (utf8.find('\0') != std::string::npos) {
    *error = "the query holds a NUL byte";
    return false;
  }
  if (!IsValidUtf8(utf8)) {
    *error = "the query is not valid UTF-8";
    return false;
  }
  if (!Utf8ToGbk(utf8, query)) {
    *error = "the query holds a character that GBK cannot encode";
    return false;
  }
  return true;
}

// Appends `utf8` (valid UTF-8) as a JSON string: quotes, backslashes and control characters
// escaped, everything else copied in runs.
void AppendJsonString(const std::string& utf8, std::string* json) {
  static const char kHex[] = "0123456789abcdef";
  json->push_back('"');
  const char* run = utf8.data();
  const char* end = run + utf8.size();
  for (const char* p = run; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    json->append(run, static_cast<size_t>(p - run));
    run = p + 1;
    switch (c) {
      case '"':
        json->append("\\\"");
        break;
      case '\\':
        json->append("\\\\");
        break;
      case '\n':
        json->append("\\n");
        break;
      case '\r':
        json->append("\\r");
        break;
      case '\t':
        json->append("\\t");
        break;
      default:
        json->append("\\u00");
        json->push_back(kHex[c >> 4]);
        json->push_back(kHex[c & 15]);
    }
  }
  json->append(run, static_cast<size_t>(end - run));
  json->push_back('"');
}

// The JSON document of a page. Written directly rather than through a JSON tree: the hits are
// most of every answer, and a tree's encoder would re-validate the UTF-8 that the conversion
// has just produced.
std::string RenderPage(const ResultPage& page, const CFieldInfo& schema) {
  const int fields = schema.GetListSize(LIST_STORED);
  std::vector<std::string> names;  // JSON strings, quoted
  for (int position = 0; position < fields; ++position) {
    names.emplace_back();
    AppendJsonString(
        GbkToUtf8(schema.GetField(schema.GetListMember(position, LIST_STORED)).indexName),
        &names.back());
  }
  std::string json;
  json.reserve(page.text.size() * 3 / 2 + 256);
  json += "{\"total\":" + std::to_string(page.total) + ",\"start\":" + std::to_string(page.start) +
          ",\"returned\":" + std::to_string(page.returned) + ",\"fields\":[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) json += ',';
    json += names[i];
  }
  json += "],\"hits\":[";
  size_t offset = 0;
  size_t value = 0;
  std::string utf8;
  for (int32_t record = 0; record < page.returned; ++record) {
    json += record > 0 ? ",{" : "{";
    for (int position = 0; position < page.fieldCount; ++position, ++value) {
      const size_t length = static_cast<size_t>(page.valueLengths[value]);
      utf8.clear();
      AppendGbkAsUtf8(page.text.data() + offset, length, &utf8);
      offset += length;
      if (position > 0) json += ',';
      json += position < static_cast<int>(names.size()) ? names[static_cast<size_t>(position)]
                                                        : std::string("\"\"");
      json += ':';
      AppendJsonString(utf8, &json);
    }
    json += '}';
  }
  json += "]}";
  return json;
}

// libmicrohttpd callbacks.

MHD_Result OnAccept(void* context, const sockaddr*, socklen_t) {
  return static_cast<CHttpServer*>(context)->Accept() != 0 ? MHD_YES : MHD_NO;
}

void OnConnection(void* context, MHD_Connection*, void** socketContext,
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

MHD_Result OnRequest(void* context, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char*, size_t*, void** requestContext) {
  auto* server = static_cast<CHttpServer*>(context);
  // The first call comes with the headers; answering there would end the connection, so the
  // answer waits for the call that follows the whole request. A body is read and ignored:
  // no route takes one.
  static int started;
  const char* contentLength =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  const bool announcesBody =
      (contentLength != nullptr && std::strcmp(contentLength, "0") != 0) ||
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) !=
          nullptr;
  if (*requestContext == nullptr) {
    server->RequestStarted();  // ended by OnCompleted
    *requestContext = &started;
    if (!announcesBody) return MHD_YES;
  }
  // A request that announces a body is answered at its headers, and its connection closed:
  // no route takes a body.
  bool notCounted = false;
  tHttpAnswer answer = server->Answer(connection, url, method, &notCounted);
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
    if (served >= static_cast<uint64_t>(server->options().keepAliveRequests) ||
        server->draining()) {
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    }
  }
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return queued;
}

void OnCompleted(void* context, MHD_Connection*, void** requestContext,
                 MHD_RequestTerminationCode) {
  if (*requestContext != nullptr) static_cast<CHttpServer*>(context)->RequestEnded();
  *requestContext = nullptr;
}

struct tSizeCount {
  size_t bytes = 0;
};

MHD_Result AddSize(void* context, MHD_ValueKind, const char* key, size_t keyLength, const char*,
                   size_t valueLength) {
  (void)key;
  static_cast<tSizeCount*>(context)->bytes += keyLength + valueLength + 2;
  return MHD_YES;
}

// The first value of query argument `key`, with its length (a value may hold "%00").
bool Argument(MHD_Connection* connection, const char* key, std::string* value) {
  const char* text = nullptr;
  size_t length = 0;
  if (MHD_lookup_connection_value_n(connection, MHD_GET_ARGUMENT_KIND, key, std::strlen(key), &text,
                                    &length) != MHD_YES) {
    return false;
  }
  value->assign(text != nullptr ? text : "", text != nullptr ? length : 0);
  return true;
}

}  // namespace

void AppendGbkAsUtf8(const char* bytes, size_t length, std::string* utf8) {
  CConverter& decoder = GbkDecoder();
  size_t i = 0;
  while (i < length) {
    // ASCII runs are copied as they are.
    size_t ascii = i;
    while (ascii < length && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
    utf8->append(bytes + i, ascii - i);
    i = ascii;
    if (i == length) break;
    if (!decoder.valid()) {
      utf8->append(kReplacement);
      ++i;
      continue;
    }
    char* in = const_cast<char*>(bytes + i);
    size_t inLeft = length - i;
    const size_t before = utf8->size();
    utf8->resize(before + inLeft * 2 + 4);
    char* out = &(*utf8)[before];
    size_t outLeft = inLeft * 2 + 4;
    ::iconv(decoder.handle(), nullptr, nullptr, nullptr, nullptr);
    const size_t result = ::iconv(decoder.handle(), &in, &inLeft, &out, &outLeft);
    const int error = errno;
    utf8->resize(static_cast<size_t>(out - utf8->data()));
    i = static_cast<size_t>(in - bytes);
    if (result == static_cast<size_t>(-1) && error != E2BIG) {
      utf8->append(kReplacement);
      ++i;  // the byte that starts no character
    }
  }
}

bool IsValidUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    uint32_t code;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      code = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      code = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      code = c & 0x07u;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (p[i + k] & 0x3Fu);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  CConverter& encoder = GbkEncoder();
  if (!encoder.valid()) return false;
  gbk->assign(utf8.size() + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* out = &(*gbk)[0];
  size_t outLeft = gbk->size();
  ::iconv(encoder.handle(), nullptr, nullptr, nullptr, nullptr);
  if (::iconv(encoder.handle(), &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
    return false;
  }
  gbk->resize(static_cast<size_t>(out - gbk->data()));
  return true;
}

tHttpAnswer ErrorAnswer(int status, const std::string& message) {
  tHttpAnswer answer;
  answer.status = status;
  Json body;
  body["error"] = message;
  answer.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return answer;
}

tHttpAnswer AnswerSearch(const tSearchParameters& parameters, const CSearchData* data, bool xml) {
  std::string query;
  std::string error;
  if (!BuildQuery(parameters, &query, &error)) return ErrorAnswer(400, error);
  int32_t start = 0;
  int32_t count = 20;
  if (parameters.start != nullptr && !ParseInteger(*parameters.start, &start)) {
    return ErrorAnswer(400, "start must be a decimal integer");
  }
  if (parameters.count != nullptr && !ParseInteger(*parameters.count, &count)) {
    return ErrorAnswer(400, "count must be a decimal integer");
  }
  if (data == nullptr) return ErrorAnswer(503, "the data set is loading");
  CQuery engine(data->schema(), data->store());
  engine.Execute(query.c_str());
  const ResultPage& page = engine.GetPage(start, count);
  tHttpAnswer answer;
  if (!xml) {
    answer.body = RenderPage(page, data->schema());
    return answer;
  }
  // The client library's document for the page, under the stored fields' index names.
  const CFieldInfo& schema = data->schema();
  std::vector<std::string> names;
  for (int position = 0; position < schema.GetListSize(LIST_STORED); ++position) {
    names.push_back(schema.GetField(schema.GetListMember(position, LIST_STORED)).indexName);
  }
  if (!FormatResultDocument(page, names, &answer.body)) {
    return ErrorAnswer(500, "the schema's stored field names cannot name XML elements");
  }
  answer.contentType = answer.body.find("encoding=\"GBK\"") != std::string::npos
                           ? "application/xml; charset=GBK"
                           : "application/xml; charset=gb2312";
  return answer;
}

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
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr = address;
  socketAddress.sin_port = htons(port);
  // The memory pool of a connection holds its request line and headers and the headers of
  // the answer; the request itself is held to maxRequestBytes by Answer.
  const size_t memory = static_cast<size_t>(m_options.maxRequestBytes) + 16384;
  // libmicrohttpd divides its own limit among the threads; the bound is kept by Accept.
  const unsigned threads = static_cast<unsigned>(m_options.threads);
  m_daemon = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC, port, OnAccept, this, OnRequest, this,
      MHD_OPTION_SOCK_ADDR, &socketAddress, MHD_OPTION_THREAD_POOL_SIZE, threads,
      MHD_OPTION_CONNECTION_LIMIT, (static_cast<unsigned>(m_options.maxConnections) + 1) * threads,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(m_options.timeout),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, memory, MHD_OPTION_LISTEN_BACKLOG_SIZE,
      static_cast<unsigned>(m_options.listenBacklog), MHD_OPTION_NOTIFY_CONNECTION, OnConnection,
      this, MHD_OPTION_NOTIFY_COMPLETED, OnCompleted, this, MHD_OPTION_END);
  if (m_daemon == nullptr) {
    *error = "cannot listen for HTTP on port " + std::to_string(port);
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
  m_port = info != nullptr ? info->port : port;
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
}

// Runs on the accepting thread, before the connection is counted: a connection past the
// bound is closed unserved. Two threads accepting at the same moment can each take the last
// place, so the bound may be passed by one connection per further thread for a moment.
int CHttpServer::Accept() {
  if (m_active.load() >= m_options.maxConnections) {
    if (m_metrics != nullptr) m_metrics->ConnectionRefused(Interface::kHttp);
    return 0;
  }
  return 1;
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

tHttpAnswer CHttpServer::Answer(MHD_Connection* connection, const char* url, const char* method,
                                bool* notCounted) {
  *notCounted = true;
  const std::string path = url != nullptr ? url : "";
  const bool search = path == "/search" || path == "/search.xml";
  const bool known = search || path == "/" || path == "/health" || path == "/metrics";
  if (!known) return ErrorAnswer(404, "no such resource: use /search, /health, /metrics or /");
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
      std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return ErrorAnswer(405, "only GET and HEAD are answered");
  }
  tSizeCount size;
  size.bytes = path.size();
  MHD_get_connection_values_n(connection,
                              static_cast<MHD_ValueKind>(MHD_HEADER_KIND | MHD_GET_ARGUMENT_KIND),
                              AddSize, &size);
  if (size.bytes > static_cast<size_t>(m_options.maxRequestBytes)) {
    if (search && m_metrics != nullptr)
      m_metrics->CountQuery(Interface::kHttp, Outcome::kBadRequest, 0);
    return ErrorAnswer(
        413, "the request is larger than " + std::to_string(m_options.maxRequestBytes) + " bytes");
  }
  const std::shared_ptr<const CSearchData> data = m_data ? m_data() : nullptr;
  if (path == "/health") {
    tHttpAnswer answer;
    Json body;
    if (draining()) {
      answer.status = 503;
      body["status"] = "draining";
    } else if (data == nullptr) {
      answer.status = 503;
      body["status"] = "loading";
    } else {
      body["status"] = "serving";
      body["records"] = data->store().GetRecordCount();
      body["generation"] = data->generation();
    }
    answer.body = body.dump();
    return answer;
  }
  if (path == "/metrics") {
    tHttpAnswer answer;
    answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
    if (m_metrics != nullptr) answer.body = m_metrics->Render();
    return answer;
  }
  if (path == "/") {
    tHttpAnswer answer;
    answer.contentType = "text/html; charset=utf-8";
    answer.body = SearchPage(data.get());
    return answer;
  }
  *notCounted = false;
  const auto started = std::chrono::steady_clock::now();
  std::string q, text, field, start, count;
  tSearchParameters parameters;
  if (Argument(connection, "q", &q)) parameters.q = &q;
  if (Argument(connection, "text", &text)) parameters.text = &text;
  if (Argument(connection, "field", &field)) parameters.field = &field;
  if (Argument(connection, "start", &start)) parameters.start = &start;
  if (Argument(connection, "count", &count)) parameters.count = &count;
  tHttpAnswer answer = AnswerSearch(parameters, data.get(), path == "/search.xml");
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
