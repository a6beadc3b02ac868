// One connection of the search server: receive one request frame, run its query over the
// served data set, send the page as one response frame, close. What goes wrong is logged to
// the daily log and ends the connection without a response; nothing a peer sends can make
// the server read outside what it received or allocate more than MaxRequestBytes.
#pragma once

#include "net/socket_io.h"

class CSearchData;
class CServerMetrics;

struct tConnectionLimits {
  int receiveTimeout = 10;        // seconds for the whole request, and again for the response
  int maxRequestBytes = 1 << 20;  // largest body length accepted
};

// Serves the connection on `socket` (owned; closed on return) over `data` (borrowed; must
// outlive the call). Prints the per-connection lines on standard output. Counts the query in
// `metrics` when given.
void ServAClient(CSocket socket, const CSearchData& data, const tConnectionLimits& limits,
                 CServerMetrics* metrics = nullptr);
