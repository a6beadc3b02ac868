#include "server/server_config.h"

#include <cctype>
#include <cstdlib>

#include "core/util/tag_value.h"

namespace {

constexpr size_t kValueBuffer = 1024;  // a value has at most 1023 bytes

bool GetValue(const char* text, const char* key, std::string* value, std::string* error) {
  bool tooLong = false;
  GetTagValueLimited(text, key, kValueBuffer, value, &tooLong);
  if (tooLong) *error = std::string("Value of ") + key + " is longer than 1023 bytes";
  return !tooLong;
}

// An optional number: absent keeps *number; present must be decimal digits only, at least
// `minimum` and at most `maximum`.
bool GetNumber(const char* text, const char* key, int minimum, int maximum, int* number,
               std::string* error) {
  std::string value;
  if (!GetValue(text, key, &value, error)) return false;
  if (!GetTagValue(text, key, &value)) return true;
  size_t begin = value.find_first_not_of(" \t\r\n");
  size_t end = value.find_last_not_of(" \t\r\n");
  bool digits = begin != std::string::npos && end - begin < 10;
  for (size_t i = begin; digits && i <= end; ++i) {
    digits = std::isdigit(static_cast<unsigned char>(value[i])) != 0;
  }
  long parsed = digits ? std::strtol(value.c_str() + begin, nullptr, 10) : -1;
  if (!digits || parsed < minimum || parsed > maximum) {
    *error = std::string("Invalid value of ") + key + ": " + value;
    return false;
  }
  *number = static_cast<int>(parsed);
  return true;
}

// The port conversion: leading blanks, an optional sign and the leading decimal digits, as
// atoi reads them (no digits give 0), reduced to their low 16 bits.
uint16_t PortFromText(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t number = 0;  // wraps as the int conversion of a long number would, modulo 2^32
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    number = number * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (negative) number = 0u - number;
  return static_cast<uint16_t>(number & 0xFFFFu);
}

// "name:weight,name:weight": every name non-empty, every weight a decimal number (digits
// with at most one point) from 0 to 1000.
bool ParseFieldWeights(const std::string& text,
                       std::vector<std::pair<std::string, double>>* weights) {
  weights->clear();
  size_t from = 0;
  while (from < text.size()) {
    size_t comma = text.find(',', from);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(from, comma - from);
    from = comma + 1;
    const size_t colon = item.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == item.size()) return false;
    const std::string number = item.substr(colon + 1);
    int points = 0;
    for (char c : number) {
      if (c == '.') {
        ++points;
      } else if (c < '0' || c > '9') {
        return false;
      }
    }
    if (points > 1 || number == "." || number.size() > 12) return false;
    const double weight = std::strtod(number.c_str(), nullptr);
    if (weight > 1000) return false;
    weights->emplace_back(item.substr(0, colon), weight);
  }
  return true;
}

}  // namespace

bool ParseServerConfig(const char* text, tServerConfig* config, std::string* error) {
  std::string port;
  if (!GetValue(text, "ServerIP", &config->serverIP, error) ||
      !GetValue(text, "Port", &port, error) ||
      !GetValue(text, "Standard", &config->dataSet.base, error) ||
      !GetValue(text, "FieldInfo", &config->dataSet.schema, error) ||
      !GetValue(text, "PDAT", &config->dataSet.trie, error) ||
      !GetValue(text, "WordList", &config->dataSet.wordList, error) ||
      !GetValue(text, "BindAddress", &config->bindAddress, error) ||
      !GetValue(text, "HttpBindAddress", &config->httpBindAddress, error) ||
      !GetValue(text, "LogDirectory", &config->logDirectory, error) ||
      !GetValue(text, "Shards", &config->shards, error) ||
      !GetValue(text, "ShardsHttp", &config->shardsHttp, error)) {
    return false;
  }
  config->port = PortFromText(port);
  std::string match;
  std::string weights;
  if (!GetValue(text, "Match", &match, error) || !GetValue(text, "FieldWeights", &weights, error)) {
    return false;
  }
  if (match == "contains") {
    config->matchContains = true;
  } else if (match != "words" && !match.empty()) {
    *error = "Invalid value of Match: " + match + " (words or contains)";
    return false;
  }
  if (!ParseFieldWeights(weights, &config->fieldWeights)) {
    *error = "Invalid value of FieldWeights: " + weights +
             " (name:weight,... with weights from 0 to 1000)";
    return false;
  }
  return GetNumber(text, "MaxConnections", 1, 100000, &config->maxConnections, error) &&
         GetNumber(text, "ReceiveTimeout", 0, 86400, &config->receiveTimeout, error) &&
         GetNumber(text, "MaxRequestBytes", 12, 1 << 30, &config->maxRequestBytes, error) &&
         GetNumber(text, "ListenBacklog", 1, 65535, &config->listenBacklog, error) &&
         GetNumber(text, "ReloadCheckSeconds", 0, 86400, &config->reloadCheckSeconds, error) &&
         GetNumber(text, "MaxPageCount", 1, 1 << 30, &config->maxPageCount, error) &&
         GetNumber(text, "MaxQueryWords", 1, 1 << 30, &config->maxQueryWords, error) &&
         GetNumber(text, "QueryTimeoutMs", 0, 86400000, &config->queryTimeoutMs, error) &&
         GetNumber(text, "HttpPort", 0, 65535, &config->httpPort, error) &&
         GetNumber(text, "HttpMaxConnections", 1, 10000, &config->httpMaxConnections, error) &&
         GetNumber(text, "HttpTimeout", 0, 86400, &config->httpTimeout, error) &&
         GetNumber(text, "HttpMaxRequestBytes", 256, 1 << 24, &config->httpMaxRequestBytes,
                   error) &&
         GetNumber(text, "HttpKeepAliveRequests", 1, 1 << 30, &config->httpKeepAliveRequests,
                   error) &&
         GetNumber(text, "HttpThreads", 0, 256, &config->httpThreads, error) &&
         GetNumber(text, "DrainSeconds", 0, 3600, &config->drainSeconds, error) &&
         GetNumber(text, "ShardTimeout", 1, 3600, &config->shardTimeout, error) &&
         GetNumber(text, "HttpRequestTimeout", 0, 86400, &config->httpRequestTimeout, error);
}
