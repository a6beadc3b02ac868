#include "server/connection.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "core/util/daily_log.h"
#include "core/util/log_text.h"
#include "core/util/string_format.h"
#include "net/frame.h"
#include "net/input_output.h"
#include "server/metrics.h"
#include "server/search_data.h"
#include "server/search_run.h"

namespace {

// Receives the request body into *body; false (logged) when the frame is incomplete, late or
// announces a length outside 0..maxRequestBytes. *probe tells a peer that closed (or reset)
// the connection before sending a byte, as a TCP health check does, from a failed request.
bool ReceiveRequest(int fd, const tConnectionLimits& limits, std::string* body, bool* probe) {
  const tFrameReceipt receipt =
      ReceiveFrame(fd, 0, limits.maxRequestBytes, DeadlineAfter(limits.receiveTimeout), body);
  switch (receipt.status) {
    case FrameStatus::kOk:
      return true;
    case FrameStatus::kNoLength:
      *probe = receipt.received == -1 && PeerHasClosed(fd);
      WriteLog(Format("Receive query size error nRecvCount=%d!\n", receipt.received));
      return false;
    case FrameStatus::kBadLength:
      WriteLog(Format("Refused query size %d (allowed 0 to %d)", receipt.length,
                      limits.maxRequestBytes));
      return false;
    case FrameStatus::kShortBody:
      WriteLog(Format("Receive query buffer error nRecvCount=%d,nQuerySize=%d!\n", receipt.received,
                      receipt.length));
      return false;
  }
  return false;
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

// Parses the request in `body`, asks `source` for its page and sends it; false when nothing
// was answered (logged). Sets *outcome to what a refusal was.
bool Answer(int fd, const std::string& body, const tConnectionLimits& limits,
            const PageSource& source, trindle::Outcome* outcome) {
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

  const ResultPage* page = source(*request, outcome);
  if (page == nullptr) return false;
  int32_t length = 0;
  const char* packed = io->PackResult(*page, &length);
  if (packed == nullptr) {
    WriteLog(Format("Cannot pack a page of %d records", page->returned));
    return false;
  }
  WriteLog(Format("Get result count=%d send buf size=%d!", page->returned, length));
  return SendResponse(fd, packed, length, limits);
}

}  // namespace

void ServeRequest(CSocket socket, const tConnectionLimits& limits, CServerMetrics* metrics,
                  const PageSource& source) {
  std::printf("Begin ServAClient!\n");
  const auto started = std::chrono::steady_clock::now();
  trindle::Outcome outcome = trindle::Outcome::kFailed;
  struct tCount {
    CServerMetrics* metrics;
    const std::chrono::steady_clock::time_point& started;
    const trindle::Outcome& outcome;
    ~tCount() {
      if (metrics == nullptr) return;
      metrics->CountQuery(
          trindle::Interface::kBinary, outcome,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
  } count{metrics, started, outcome};
  try {
    std::string body;
    bool probe = false;
    if (!ReceiveRequest(socket.fd(), limits, &body, &probe)) {
      if (probe) outcome = trindle::Outcome::kProbe;
      return;
    }
    if (!Answer(socket.fd(), body, limits, source, &outcome)) return;
    outcome = trindle::Outcome::kOk;
  } catch (const std::bad_alloc&) {
    // What this request needs cannot be had: it alone fails, the connection is closed
    // without an answer and the server goes on.
    outcome = trindle::Outcome::kFailed;
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

int CappedPageCount(const QueryRequest& request, const tConnectionLimits& limits) {
  return CapPageCount(request.pageCount, limits.maxPageCount);
}

bool RefuseStopped(SearchStop stop, const tConnectionLimits& limits, trindle::Outcome* outcome) {
  if (stop == SearchStop::kTooLarge) {
    WriteLog(Format("Refused query: more than %d conditions, values or words of one value",
                    limits.maxQueryWords));
    *outcome = trindle::Outcome::kBadRequest;
    return true;
  }
  if (stop == SearchStop::kTimedOut) {
    WriteLog(Format("Query stopped after its time budget of %d ms", limits.queryTimeoutMs));
    *outcome = trindle::Outcome::kTimedOut;
    return true;
  }
  return false;
}

void ServAClient(CSocket socket, const CSearchData& data, const tConnectionLimits& limits,
                 CServerMetrics* metrics) {
  tSearchRunLimits runLimits;
  runLimits.maxPageCount = limits.maxPageCount;
  runLimits.query = {limits.maxQueryWords, limits.queryTimeoutMs};
  runLimits.containsMatch = limits.containsMatch;
  std::unique_ptr<CSearchRun> run;
  ServeRequest(std::move(socket), limits, metrics,
               [&](const QueryRequest& request, trindle::Outcome* outcome) -> const ResultPage* {
                 run = std::make_unique<CSearchRun>(data, runLimits);
                 tSearchRunRequest search;
                 search.text = request.text;
                 search.start = request.start;
                 // A page count beyond the cap gets the first maxPageCount hits of the window.
                 search.count = request.pageCount;
                 const SearchStop stop = run->RunRequest(search);
                 if (RefuseStopped(stop, limits, outcome)) return nullptr;
                 std::printf("result count %d \n", run->total());
                 std::printf("start %d pagecount %d\n", request.start, request.pageCount);
                 if (stop == SearchStop::kIndexDamaged) {
                   WriteLog(
                       "Refused query: an index file of the served data set was shortened while "
                       "it was served; reload the data set");
                   return nullptr;
                 }
                 std::printf("return result count %d \n", run->page().returned);
                 return &run->page();
               });
}
