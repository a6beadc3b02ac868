#include "server/connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "core/query/query.h"
#include "core/util/daily_log.h"
#include "core/util/log_text.h"
#include "core/util/string_format.h"
#include "net/input_output.h"
#include "server/metrics.h"
#include "server/search_data.h"

namespace {

// Receives the request body into *body; false (logged) when the frame is incomplete, late or
// announces a length outside 0..maxRequestBytes.
bool ReceiveRequest(int fd, const tConnectionLimits& limits, std::string* body) {
  const Deadline deadline = DeadlineAfter(limits.receiveTimeout);
  int32_t size = 0;
  int received = RecvFully(fd, reinterpret_cast<char*>(&size), 4, deadline);
  if (received != 4) {
    WriteLog(Format("Receive query size error nRecvCount=%d!\n", received));
    return false;
  }
  if (size < 0 || size > limits.maxRequestBytes) {
    WriteLog(Format("Refused query size %d (allowed 0 to %d)", size, limits.maxRequestBytes));
    return false;
  }
  body->resize(static_cast<size_t>(size) + 1);
  received = RecvFully(fd, &(*body)[0], size, deadline);
  if (received != size) {
    WriteLog(Format("Receive query buffer error nRecvCount=%d,nQuerySize=%d!\n", received, size));
    return false;
  }
  body->resize(static_cast<size_t>(size));
  return true;
}

// Sends the response frame: the length and the packed page, written together.
bool SendResponse(int fd, const char* packed, int32_t length, const tConnectionLimits& limits) {
  const int sent = SendFrame(fd, packed, length, DeadlineAfter(limits.receiveTimeout));
  if (sent == length + 4) return true;
  WriteLog(Format("Send result error nSendCount=%d,nResultSize=%d!", sent, length));
  return false;
}

}  // namespace

namespace {

// Runs the request in `body` and sends its answer; false when nothing was answered (logged).
// Sets *outcome to what a refusal was.
bool Answer(int fd, const std::string& body, const CSearchData& data,
            const tConnectionLimits& limits, Outcome* outcome) {
  auto query = std::make_unique<CQuery>(data.schema(), data.store());
  auto io = std::make_unique<CInputOutput>();
  const QueryRequest* request = io->ParseRequest(body.data(), static_cast<int32_t>(body.size()));
  if (request == nullptr) {
    WriteLog(Format("Refused query: its text length does not fit the %d-byte request",
                    static_cast<int>(body.size())));
    return false;
  }
  const std::string shown = LoggedQuery(request->text);
  std::printf("Received query string [%s]\n", shown.c_str());
  WriteLog("Received query string " + shown +
           Format(" start=%d pagecount=%d", request->start, request->pageCount));

  query->SetLimits({limits.maxQueryWords, limits.queryTimeoutMs});
  const int total = query->Execute(request->text.c_str());
  if (query->stop() == QueryStop::kTooLarge) {
    WriteLog(Format("Refused query: more than %d conditions, values or words of one value",
                    limits.maxQueryWords));
    *outcome = Outcome::kBadRequest;
    return false;
  }
  if (query->stop() == QueryStop::kTimedOut) {
    WriteLog(Format("Query stopped after its time budget of %d ms", limits.queryTimeoutMs));
    *outcome = Outcome::kTimedOut;
    return false;
  }
  std::printf("result count %d \n", total);
  std::printf("start %d pagecount %d\n", request->start, request->pageCount);
  // A page count beyond the cap gets the first maxPageCount hits of the window.
  const int pageCount = limits.maxPageCount > 0 ? std::min(request->pageCount, limits.maxPageCount)
                                                : request->pageCount;
  const ResultPage& page = query->GetPage(request->start, pageCount);
  if (data.store().AnyIndexDamaged()) {
    WriteLog(
        "Refused query: an index file of the served data set was shortened while it was "
        "served; reload the data set");
    return false;
  }
  std::printf("return result count %d \n", page.returned);

  int32_t length = 0;
  const char* packed = io->PackResult(page, &length);
  if (packed == nullptr) {
    WriteLog(Format("Cannot pack a page of %d records", page.returned));
    return false;
  }
  WriteLog(Format("Get result count=%d send buf size=%d!", page.returned, length));
  return SendResponse(fd, packed, length, limits);
}

}  // namespace

void ServAClient(CSocket socket, const CSearchData& data, const tConnectionLimits& limits,
                 CServerMetrics* metrics) {
  std::printf("Begin ServAClient!\n");
  const auto started = std::chrono::steady_clock::now();
  Outcome outcome = Outcome::kFailed;
  struct tCount {
    CServerMetrics* metrics;
    const std::chrono::steady_clock::time_point& started;
    const Outcome& outcome;
    ~tCount() {
      if (metrics == nullptr) return;
      metrics->CountQuery(
          Interface::kBinary, outcome,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
  } count{metrics, started, outcome};
  try {
    std::string body;
    if (!ReceiveRequest(socket.fd(), limits, &body)) return;
    if (!Answer(socket.fd(), body, data, limits, &outcome)) return;
    outcome = Outcome::kOk;
  } catch (const std::bad_alloc&) {
    // What this request needs cannot be had: it alone fails, the connection is closed
    // without an answer and the server goes on.
    outcome = Outcome::kFailed;
    try {
      WriteLog("Out of memory: the request was not answered");
    } catch (const std::bad_alloc&) {
      std::fputs("Out of memory: the request was not answered\n", stdout);
    }
    return;
  }
  socket.Close();
  WriteLog("Send Completed!");
}
