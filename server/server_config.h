// The server's configuration: the tag-value file "SearchServer.xml" in the working
// directory. ServerIP, Port, Standard, FieldInfo, PDAT and WordList are required in the
// sense that a missing one is empty (an empty path fails the load, an empty port is 0);
// BindAddress, MaxConnections, ReceiveTimeout, MaxRequestBytes, ListenBacklog,
// ReloadCheckSeconds, MaxPageCount, MaxQueryWords and QueryTimeoutMs are optional and have
// defaults, as are the Http* keys of the HTTP interface. Values are held whole up to 1023 bytes; a
// longer value is refused.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

struct tServerConfig {
  std::string serverIP;  // resolved only for the start message
  uint16_t port = 0;     // leading decimal digits, low 16 bits kept
  std::string standard;  // data set stem: <stem>.dataline, <stem>.index_<k>
  std::string fieldInfo;
  std::string pdat;
  std::string wordList;

  std::string bindAddress;        // empty: all interfaces
  int maxConnections = 20;        // connections served at once
  int receiveTimeout = 10;        // seconds to receive a request and to send a response
  int maxRequestBytes = 1 << 20;  // largest request body accepted
  int listenBacklog = SOMAXCONN;  // pending connections the kernel queues
  int reloadCheckSeconds = 0;     // watch the manifest's generation (0: only on SIGHUP)
  int maxPageCount = 1000;        // hits of one page on either port; more get the first ones
  int maxQueryWords = 1000;       // conditions, values, words of one value of a query
  int queryTimeoutMs = 2000;      // time budget of one query (0: none)

  // The HTTP interface, off while httpPort is -1 (HttpPort absent).
  int httpPort = -1;                 // 0: any free port
  std::string httpBindAddress;       // empty: as bindAddress
  int httpMaxConnections = 64;       // connections served at once; more are closed unserved
  int httpTimeout = 10;              // seconds a connection may stay idle (0: no limit)
  int httpMaxRequestBytes = 16384;   // request line and headers
  int httpKeepAliveRequests = 1000;  // requests on one connection before it is closed
  int httpThreads = 0;               // threads answering HTTP; 0: one per processor
  int httpRequestTimeout = 10;       // seconds for a whole request, headers included (0: none)
};

// Fills *config from the configuration text. False with a one-line *error (no line feed)
// when a value is longer than 1023 bytes or an optional key holds something other than a
// positive decimal number (ReceiveTimeout may also be 0: no time-out).
bool ParseServerConfig(const char* text, tServerConfig* config, std::string* error);

// The port conversion: leading blanks, an optional sign and the leading decimal digits, as
// atoi reads them (no digits give 0), reduced to their low 16 bits.
uint16_t PortFromText(const std::string& text);
