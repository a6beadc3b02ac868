#include "client/query_client.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "formats/result_document.h"
#include "net/query_exchange.h"
#include "net/socket_io.h"

namespace {

int Fail(QueryStatus* status, QueryStatus why) {
  if (status != nullptr) *status = why;
  return -1;
}

void PrintSocketError(int error, const char* what) { std::printf("Error %d: %s\n", error, what); }

bool IsOutOfSockets(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

int Exchange(const tClientConfig& config, const char* query, int start, int pageCount,
             const char* resultPath, QueryStatus* status) {
  StartSockets();
  const Deadline deadline = DeadlineAfter(config.timeoutSeconds);
  in_addr address{};
  int error = 0;
  if (!ResolveAddress(config.serverName, &address, &error)) {
    PrintSocketError(error, "cannot resolve hostname");
    return Fail(status, QueryStatus::kResolve);
  }
  CQueryExchange exchange;
  if (!exchange.Connect(address, config.port, deadline, &error)) {
    if (IsOutOfSockets(error)) {
      PrintSocketError(error, "no more socket resources");
      return Fail(status, QueryStatus::kSocket);
    }
    PrintSocketError(error, "cannot connect to server");
    return Fail(status, QueryStatus::kConnect);
  }

  // One gathered write for the whole frame: the length and the body arrive as the two fields
  // the protocol describes, without waiting for an acknowledgement in between.
  if (!exchange.Send(start, pageCount, query, deadline))
    return Fail(status, QueryStatus::kExchange);
  const ExchangeStatus received = exchange.Receive(deadline);
  if (received == ExchangeStatus::kBadResponse) return Fail(status, QueryStatus::kBadResponse);
  if (received != ExchangeStatus::kOk) return Fail(status, QueryStatus::kExchange);
  const ResultPage* page = &exchange.page();
  // A page holds at most the records asked for and no more than the query's hits. Records of
  // a schema without stored fields take no bytes on the wire, so only this bounds the size of
  // the document that a response can make the client write.
  if (page->returned > std::max(pageCount, 0) || page->returned > page->total) {
    return Fail(status, QueryStatus::kBadResponse);
  }
  if (static_cast<size_t>(page->fieldCount) != config.storedNames.size()) {
    return Fail(status, QueryStatus::kWrongSchema);
  }
  if (!BuildResultDocument(*page, config.storedNames, resultPath)) {
    return Fail(status, QueryStatus::kWrite);
  }
  if (status != nullptr) *status = QueryStatus::kOk;
  return 0;
}

}  // namespace

int QueryServer(const tClientConfig& config, const char* query, int start, int pageCount,
                const char* resultPath, QueryStatus* status) noexcept {
  if (query == nullptr || resultPath == nullptr) return Fail(status, QueryStatus::kBadArguments);
  try {
    return Exchange(config, query, start, pageCount, resultPath, status);
  } catch (const std::bad_alloc&) {
    return Fail(status, QueryStatus::kNoMemory);
  } catch (...) {
    return Fail(status, QueryStatus::kInternal);
  }
}

CClientState::~CClientState() = default;

int CClientState::Call(const char* configPath, const char* query, int start, int pageCount,
                       const char* resultPath, QueryStatus* status) noexcept {
  try {
    const tClientConfig* config = m_config.load(std::memory_order_acquire);
    if (config == nullptr) {
      std::lock_guard<std::mutex> lock(m_mutex);
      config = m_config.load(std::memory_order_acquire);
      if (config == nullptr) {
        auto fresh = std::make_unique<tClientConfig>();
        if (!ReadClientConfig(configPath, fresh.get())) return Fail(status, QueryStatus::kConfig);
        m_owned = std::move(fresh);
        config = m_owned.get();
        m_config.store(config, std::memory_order_release);
      }
    }
    return QueryServer(*config, query, start, pageCount, resultPath, status);
  } catch (const std::bad_alloc&) {
    return Fail(status, QueryStatus::kNoMemory);
  } catch (...) {
    return Fail(status, QueryStatus::kInternal);
  }
}
