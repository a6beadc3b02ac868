#include "server/connection.h"

#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "core/query/query.h"
#include "core/util/daily_log.h"
#include "core/util/string_format.h"
#include "net/frame.h"
#include "net/input_output.h"
#include "server/metrics.h"
#include "server/search_data.h"

namespace {

// Receives the request body into *body; false (logged) when the frame is incomplete, late or
// announces a length outside 0..maxRequestBytes.
bool ReceiveRequest(int fd, const tConnectionLimits& limits, std::string* body) {
  const tFrameReceipt receipt =
      ReceiveFrame(fd, 0, limits.maxRequestBytes, DeadlineAfter(limits.receiveTimeout), body);
  switch (receipt.status) {
    case FrameStatus::kOk:
      return true;
    case FrameStatus::kNoLength:
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

void ServAClient(CSocket socket, const CSearchData& data, const tConnectionLimits& limits,
                 CServerMetrics* metrics) {
  std::printf("Begin ServAClient!\n");
  const auto started = std::chrono::steady_clock::now();
  bool answered = false;
  struct tCount {
    CServerMetrics* metrics;
    const std::chrono::steady_clock::time_point& started;
    const bool& answered;
    ~tCount() {
      if (metrics == nullptr) return;
      metrics->CountQuery(
          trindle::Interface::kBinary, answered ? trindle::Outcome::kOk : trindle::Outcome::kFailed,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
  } count{metrics, started, answered};
  std::string body;
  if (!ReceiveRequest(socket.fd(), limits, &body)) return;

  auto query = std::make_unique<CQuery>(data.schema(), data.store());
  auto io = std::make_unique<CInputOutput>();
  const QueryRequest* request = io->ParseRequest(body.data(), static_cast<int32_t>(body.size()));
  if (request == nullptr) {
    WriteLog(Format("Refused query: its text length does not fit the %d-byte request",
                    static_cast<int>(body.size())));
    return;
  }
  std::printf("Received query string [%s]\n", request->text.c_str());
  WriteLog(Format("Received query string %s start=%d pagecount=%d", request->text.c_str(),
                  request->start, request->pageCount));

  const int total = query->Execute(request->text.c_str());
  std::printf("result count %d \n", total);
  std::printf("start %d pagecount %d\n", request->start, request->pageCount);
  const ResultPage& page = query->GetPage(request->start, request->pageCount);
  std::printf("return result count %d \n", page.returned);

  int32_t length = 0;
  const char* packed = io->PackResult(page, &length);
  if (packed == nullptr) {
    WriteLog(Format("Cannot pack a page of %d records", page.returned));
    return;
  }
  WriteLog(Format("Get result count=%d send buf size=%d!", page.returned, length));
  if (!SendResponse(socket.fd(), packed, length, limits)) return;
  answered = true;
  socket.Close();
  WriteLog("Send Completed!");
}
