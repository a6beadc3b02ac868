// The client's query call: one TCP exchange with the search server per call (request frame
// out, result frame in) and the result document written from the page. CClientState holds
// the process-wide configuration behind the exported trindle_query_client.
//
// Thread safety: QueryServer may run on any number of threads with one shared config.
// CClientState::Call may be called from any number of threads at once, the first calls
// included: the configuration is read under a lock until one attempt succeeds, and is
// read-only afterwards.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "client/client_config.h"

// Why a call failed; the exported call reports every failure as -1.
enum class QueryStatus {
  kOk,
  kBadArguments,  // a null query or result path
  kConfig,        // the configuration could not be read or its schema not loaded
  kSocket,        // no socket could be created
  kResolve,       // the server name does not resolve
  kConnect,       // the connection was refused, is unreachable or timed out
  kExchange,      // the request could not be sent or the response did not arrive in time
  kBadResponse,   // the response's counts do not fit its length, or it holds more records
                  // than were asked for or than the query's hits
  kWrongSchema,   // the page's field count is not the schema's number of stored fields
  kWrite,         // the result document could not be written
  kNoMemory,      // an allocation failed
  kInternal,      // any other exception inside the library
};

// Sends the request (query, start, page count) to the configured server, checks the
// response and writes its document to `resultPath`. Returns 0 on success, -1 otherwise
// (*status, when given, says why). Prints "Error %d: %s\n" when no socket can be created,
// the name does not resolve or the connection fails (to standard output). Connecting,
// sending and receiving share one deadline of config.timeoutSeconds. Never throws.
int QueryServer(const tClientConfig& config, const char* query, int start, int pageCount,
                const char* resultPath, QueryStatus* status = nullptr) noexcept;

class CClientState {
 public:
  CClientState() = default;
  virtual ~CClientState();
  CClientState(const CClientState&) = delete;
  CClientState& operator=(const CClientState&) = delete;

  // Reads the configuration at `configPath` unless an earlier call has read one (later
  // paths are ignored), then runs QueryServer. A configuration that fails is not kept: the
  // call returns -1 and the next call reads the file again. Never throws.
  int Call(const char* configPath, const char* query, int start, int pageCount,
           const char* resultPath, QueryStatus* status = nullptr) noexcept;

  // The configuration in use, or null before one has been read.
  const tClientConfig* config() const { return m_config.load(std::memory_order_acquire); }

 private:
  std::mutex m_mutex;  // serialises the reading of the configuration
  std::unique_ptr<tClientConfig> m_owned;
  std::atomic<const tClientConfig*> m_config{nullptr};
};
