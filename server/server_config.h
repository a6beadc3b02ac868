// The server's configuration: the tag-value file "SearchServer.xml" in the working
// directory. ServerIP, Port, Standard, FieldInfo, PDAT and WordList are required in the
// sense that a missing one is empty (an empty path fails the load, an empty port is 0);
// BindAddress, MaxConnections, ReceiveTimeout, MaxRequestBytes, ListenBacklog,
// ReloadCheckSeconds, LogDirectory, MaxPageCount, MaxQueryWords and QueryTimeoutMs are
// optional and have defaults, as are the Http* keys of the HTTP interface. Values are held
// whole up to 1023 bytes; a longer value is refused.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/records/data_set_check.h"

struct tServerConfig {
  std::string serverIP;   // resolved only for the start message
  uint16_t port = 0;      // leading decimal digits, low 16 bits kept
  tDataSetPaths dataSet;  // Standard (the stem), FieldInfo, PDAT, WordList

  std::string bindAddress;        // empty: all interfaces
  int maxConnections = 20;        // connections served at once
  int receiveTimeout = 10;        // seconds to receive a request and to send a response
  int maxRequestBytes = 1 << 20;  // largest request body accepted
  int listenBacklog = SOMAXCONN;  // pending connections the kernel queues
  int reloadCheckSeconds = 0;     // watch the manifest's generation (0: only on SIGHUP)
  std::string logDirectory;       // folder of the daily log; empty: the working directory
  int maxPageCount = 1000;        // hits of one page on either port; more get the first ones
  int maxQueryWords = 1000;       // conditions, values, words of one value of a query
  int queryTimeoutMs = 2000;      // time budget of one query (0: none)
  // Match: how query values match on both ports unless a request says (words: dictionary
  // words as phrases; contains: the value's characters in a row, from the contains indexes).
  bool matchContains = false;
  // FieldWeights: "name:weight,..." (index names, weights decimal numbers from 0 to 1000) for
  // the relevance order; unnamed fields weigh 1.
  std::vector<std::pair<std::string, double>> fieldWeights;

  // The HTTP interface, off while httpPort is -1 (HttpPort absent).
  int httpPort = -1;                 // 0: any free port
  std::string httpBindAddress;       // empty: as bindAddress
  int httpMaxConnections = 64;       // connections served at once; more are closed unserved
  int httpTimeout = 10;              // seconds a connection may stay idle (0: no limit)
  int httpMaxRequestBytes = 16384;   // request line and headers
  int httpKeepAliveRequests = 1000;  // requests on one connection before it is closed
  int httpThreads = 0;               // threads answering HTTP; 0: one per processor
  // Seconds between SIGTERM (or SIGINT) and closing the listeners while /health says
  // "draining" and queries are still answered; only with the HTTP interface on. 0: none.
  int drainSeconds = 5;

  // A broker: with Shards set (host:port of each shard's binary port, in the order of their
  // ranges) the server loads no data set and asks the shards; FieldInfo names the schema they
  // all serve. Standard, PDAT and WordList are not read.
  std::string shards;
  // ShardsHttp: the shards' HTTP ports (host:port, in the order of Shards), for the relevance
  // order through the broker.
  std::string shardsHttp;
  int shardTimeout = 5;         // seconds a shard has to answer one round of a query
  int httpRequestTimeout = 10;  // seconds for a whole request, headers included (0: none)
};

// Fills *config from the configuration text. False with a one-line *error (no line feed)
// when a value is longer than 1023 bytes or an optional key holds something other than a
// positive decimal number (ReceiveTimeout may also be 0: no time-out).
bool ParseServerConfig(const char* text, tServerConfig* config, std::string* error);
