#include "client/client_config.h"

#include <cstdio>
#include <cstdlib>

#include "core/util/file_util.h"
#include "core/util/tag_value.h"
#include "formats/xml_text.h"

namespace {

// Values are copied into buffers of this size (terminator included) by the configuration
// readers of every deliverable.
constexpr size_t kValueBuffer = 1024;

bool Fail(std::string* problem, const std::string& reason) {
  if (problem != nullptr) *problem = reason;
  return false;
}

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The number given by the leading blanks and digits of `text`, as atoi reads it; -1 when
// there are no digits or the number exceeds `limit`.
long LeadingNumber(const std::string& text, long limit) {
  size_t i = 0;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) {
    ++i;
  }
  if (i < text.size() && text[i] == '+') ++i;
  long value = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
    if (value > limit) return -1;
  }
  return digits == 0 ? -1 : value;
}

bool ReadValue(const std::string& text, const char* key, std::string* value, std::string* problem,
               bool* found) {
  bool tooLong = false;
  *found = GetTagValueLimited(text.c_str(), key, kValueBuffer, value, &tooLong);
  if (tooLong) return Fail(problem, std::string(key) + " is longer than 1023 bytes");
  return true;
}

}  // namespace

bool ReadClientConfig(const char* path, tClientConfig* config, std::string* problem) {
  std::string text;
  if (path == nullptr || ReadWholeFile(path, &text) <= 0) {
    return Fail(problem, std::string("cannot read the configuration file ") +
                             (path != nullptr ? path : "(none)"));
  }
  bool found = false;
  std::string serverName, port, fieldInfo, timeout;
  if (!ReadValue(text, "ServerIP", &serverName, problem, &found)) return false;
  if (!ReadValue(text, "Port", &port, problem, &found)) return false;
  if (!ReadValue(text, "FieldInfo", &fieldInfo, problem, &found)) return false;
  if (!ReadValue(text, "Timeout", &timeout, problem, &found)) return false;
  const bool hasTimeout = found && !Trimmed(timeout).empty();

  serverName = Trimmed(serverName);
  if (serverName.empty()) return Fail(problem, "ServerIP is missing or empty");
  const long portNumber = LeadingNumber(port, 65535);
  if (portNumber < 1) return Fail(problem, "Port is missing or not a port number (1-65535)");
  long timeoutSeconds = kDefaultTimeoutSeconds;
  if (hasTimeout) {
    timeoutSeconds = LeadingNumber(timeout, 86400);
    if (timeoutSeconds < 1) return Fail(problem, "Timeout is not a number of seconds (1-86400)");
  }

  fieldInfo = Trimmed(fieldInfo);
  CFieldInfo schema;
  if (fieldInfo.empty() || !schema.LoadBinary(fieldInfo.c_str())) {
    std::printf("Load %s Error!\n", fieldInfo.c_str());
    return Fail(problem, "cannot load the field schema " + fieldInfo);
  }
  std::vector<std::string> storedNames;
  const int storedCount = schema.GetListSize(LIST_STORED);
  for (int k = 0; k < storedCount; ++k) {
    const std::string& name = schema.GetField(schema.GetListMember(k, LIST_STORED)).indexName;
    bool gbkOnly = false;
    if (!IsDocumentName(name, &gbkOnly)) {
      std::printf("Load %s Error!\n", fieldInfo.c_str());
      return Fail(problem, "the stored field name \"" + name + "\" of " + fieldInfo +
                               " cannot name an XML element");
    }
    storedNames.push_back(name);
  }

  config->serverName = std::move(serverName);
  config->port = static_cast<uint16_t>(portNumber);
  config->timeoutSeconds = static_cast<int>(timeoutSeconds);
  config->schema = std::move(schema);
  config->storedNames = std::move(storedNames);
  return true;
}
