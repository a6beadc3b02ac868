#include "server/http/http_request.h"

#include <microhttpd.h>

#include <cstring>

#include "core/text/encoding.h"

namespace {

MHD_Result AddSize(void* context, MHD_ValueKind, const char*, size_t keyLength, const char*,
                   size_t valueLength) {
  *static_cast<size_t*>(context) += keyLength + valueLength + 2;
  return MHD_YES;
}

// The first value of query argument `key`, with its length (a value may hold "%00").
std::optional<std::string> Argument(MHD_Connection* connection, const char* key) {
  const char* text = nullptr;
  size_t length = 0;
  if (MHD_lookup_connection_value_n(connection, MHD_GET_ARGUMENT_KIND, key, std::strlen(key), &text,
                                    &length) != MHD_YES) {
    return std::nullopt;
  }
  return std::string(text != nullptr ? text : "", text != nullptr ? length : 0);
}

struct tCollected {
  const char* key;
  std::optional<std::string> joined;
};

MHD_Result CollectArgument(void* context, MHD_ValueKind, const char* key, size_t, const char* value,
                           size_t valueLength) {
  auto* collected = static_cast<tCollected*>(context);
  if (key == nullptr || std::strcmp(key, collected->key) != 0) return MHD_YES;
  if (collected->joined) {
    collected->joined->push_back(',');
  } else {
    collected->joined.emplace();
  }
  if (value != nullptr) collected->joined->append(value, valueLength);
  return MHD_YES;
}

// Every value of query argument `key`, joined by commas; none when it was not given.
std::optional<std::string> JoinedArgument(MHD_Connection* connection, const char* key) {
  tCollected collected{key, std::nullopt};
  MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, CollectArgument, &collected);
  return collected.joined;
}

}  // namespace

std::optional<std::string> QueryArgument(MHD_Connection* connection, const char* key) {
  return Argument(connection, key);
}

size_t RequestBytes(MHD_Connection* connection, const std::string& path) {
  size_t bytes = path.size();
  MHD_get_connection_values_n(connection,
                              static_cast<MHD_ValueKind>(MHD_HEADER_KIND | MHD_GET_ARGUMENT_KIND),
                              AddSize, &bytes);
  return bytes;
}

tSearchParameters ReadSearchParameters(MHD_Connection* connection) {
  tSearchParameters parameters;
  parameters.q = Argument(connection, "q");
  parameters.text = Argument(connection, "text");
  parameters.field = Argument(connection, "field");
  parameters.start = Argument(connection, "start");
  parameters.count = Argument(connection, "count");
  parameters.snippet = JoinedArgument(connection, "snippet");
  parameters.snippetLength = Argument(connection, "snippet_length");
  parameters.facet = JoinedArgument(connection, "facet");
  parameters.facetLimit = Argument(connection, "facet_limit");
  parameters.order = Argument(connection, "order");
  parameters.match = Argument(connection, "match");
  parameters.explain = Argument(connection, "explain");
  return parameters;
}

bool ParseInteger(const std::string& text, int32_t* number) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (value <= INT64_C(1) << 40) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  *number = static_cast<int32_t>(value);
  return true;
}

bool BuildQuery(const tSearchParameters& parameters, std::string* query, std::string* error) {
  std::string utf8;
  if (parameters.q) {
    utf8 = *parameters.q;
  } else if (parameters.text) {
    const std::string field = parameters.field ? *parameters.field : "*";
    if (field.empty() || field.find_first_of(" \t\r\n[]") != std::string::npos) {
      *error = "field must be one index name";
      return false;
    }
    utf8 = "[FIELD] " + field + " [AND] " + *parameters.text;
  } else {
    *error = "give the query as q=, or the words as text= (with field=)";
    return false;
  }
  return ArgumentToGbk(utf8, query, error);
}

bool ArgumentToGbk(const std::string& utf8, std::string* query, std::string* error) {
  if (utf8.find('\0') != std::string::npos) {
    *error = "the query holds a NUL byte";
    return false;
  }
  if (!IsValidUtf8(utf8)) {
    *error = "the query is not valid UTF-8";
    return false;
  }
  if (!Utf8ToGbk(utf8.data(), utf8.size(), query, ToGbk::kReject)) {
    *error = "the query holds a character that GBK cannot encode";
    return false;
  }
  return true;
}

namespace {

struct tUnknown {
  const char* const* known;
  std::vector<std::string>* names;
};

MHD_Result CollectUnknown(void* context, MHD_ValueKind, const char* key, size_t keyLength,
                          const char*, size_t) {
  auto* unknown = static_cast<tUnknown*>(context);
  const std::string name(key != nullptr ? key : "", key != nullptr ? keyLength : 0);
  for (const char* const* known = unknown->known; *known != nullptr; ++known) {
    const size_t length = std::strlen(*known);
    // A name ending in '*' stands for every name that begins with the rest.
    if (length > 0 && (*known)[length - 1] == '*'
            ? name.compare(0, length - 1, *known, length - 1) == 0
            : name == *known) {
      return MHD_YES;
    }
  }
  for (const std::string& seen : *unknown->names) {
    if (seen == name) return MHD_YES;
  }
  if (unknown->names->size() < 20) unknown->names->push_back(name);
  return MHD_YES;
}

}  // namespace

std::vector<std::string> UnknownArguments(MHD_Connection* connection, const char* const* known) {
  std::vector<std::string> names;
  tUnknown unknown{known, &names};
  MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, CollectUnknown, &unknown);
  return names;
}
