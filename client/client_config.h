// tClientConfig: what the client library reads from its configuration file - a tag-value
// text with the keys ServerIP (host name or dotted IPv4 address), Port (decimal), FieldInfo
// (path of the binary field schema the server loads) and the optional Timeout (seconds,
// default 30 when absent or empty), which bounds connecting, sending and waiting for the response
// of one call.
//
// Thread safety: ReadClientConfig fills a config of its own; a filled config is read-only
// and may be shared by any number of calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/records/field_info.h"

constexpr int kDefaultTimeoutSeconds = 30;

struct tClientConfig {
  std::string serverName;
  uint16_t port = 0;
  int timeoutSeconds = kDefaultTimeoutSeconds;
  CFieldInfo schema;
  // Index names of the stored fields, in the order of the stored list: the element names of
  // a result document's records.
  std::vector<std::string> storedNames;
};

// Reads the configuration at `path` into *config and loads its schema. False when the file
// is missing, unreadable or empty, a value does not fit its 1024-byte buffer, Port is not a
// number from 1 to 65535, Timeout is present but not a positive number of seconds, the schema
// cannot be loaded ("Load %s Error!\n" is printed after the schema's own message), or a
// stored field's index name cannot name an XML element. *problem (when given) then holds a
// one-line reason. ServerIP and FieldInfo are taken without surrounding white space; Port
// and Timeout are read from their leading digits, as atoi does.
bool ReadClientConfig(const char* path, tClientConfig* config, std::string* problem = nullptr);
