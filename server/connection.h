// One connection of the search server: receive one request frame, run its query over the
// served data set, send the page as one response frame, close. What goes wrong is logged to
// the daily log and ends the connection without a response; nothing a peer sends can make
// the server read outside what it received or allocate more than MaxRequestBytes. A page
// holds at most maxPageCount hits; a query over maxQueryWords or over its time budget is
// refused that way too, and so is a request whose memory cannot be allocated: a failure
// ends its own connection, never the server.
#pragma once

#include <functional>

#include "net/socket_io.h"
#include "server/metrics.h"
#include "server/search_run.h"

class CSearchData;
class CServerMetrics;
struct QueryRequest;
struct ResultPage;

struct tConnectionLimits {
  int receiveTimeout = 10;        // seconds for the whole request, and again for the response
  int maxRequestBytes = 1 << 20;  // largest body length accepted
  int maxPageCount = 1000;        // hits of one page; a larger page count gets this many
  int maxQueryWords = 1000;       // conditions, values, words of one value (0: no bound)
  int queryTimeoutMs = 2000;      // time budget of one query (0: none)
  bool containsMatch = false;     // match values by contains (on a set that has its indexes)
};

// The page count of `request` under the page cap of `limits`.
int CappedPageCount(const QueryRequest& request, const tConnectionLimits& limits);

// Logs the refusal of a query its limits stopped (kTooLarge, kTimedOut) and sets *outcome to
// it; false, doing nothing, for any other stop.
bool RefuseStopped(SearchStop stop, const tConnectionLimits& limits, trindle::Outcome* outcome);

// Serves the connection on `socket` (owned; closed on return) over `data` (borrowed; must
// outlive the call). Prints the per-connection lines on standard output. Counts the query in
// `metrics` when given.
void ServAClient(CSocket socket, const CSearchData& data, const tConnectionLimits& limits,
                 CServerMetrics* metrics = nullptr);

// The page that answers a parsed request, or null to close the connection without an answer
// (counted as a failed query unless the source sets *outcome to what the refusal was). Called
// at most once per connection.
using PageSource = std::function<const ResultPage*(const QueryRequest&, trindle::Outcome*)>;

// The exchange of ServAClient around any source of pages: receives and parses the request,
// asks `source` for the page, sends it, closes; logs and counts as ServAClient does.
void ServeRequest(CSocket socket, const tConnectionLimits& limits, CServerMetrics* metrics,
                  const PageSource& source);
