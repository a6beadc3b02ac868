#include "core/util/tag_value.h"

#include <cstring>

bool GetTagValue(const char* text, const char* name, std::string* value) {
  value->clear();
  // The opening tag is matched whole, "<Key>": a key that is the tail of another
  // (MaxConnections in <HttpMaxConnections>) or its head never takes that key's value.
  std::string open = std::string("<") + name + ">";
  const char* start = std::strstr(text, open.c_str());
  if (start == nullptr) return false;
  start += open.size();
  std::string close = std::string("</") + name + ">";
  const char* end = std::strstr(start, close.c_str());
  if (end == nullptr) end = start + std::strlen(start);
  value->assign(start, static_cast<size_t>(end - start));
  return true;
}

bool GetTagValueLimited(const char* text, const char* name, size_t limit, std::string* value,
                        bool* tooLong) {
  *tooLong = false;
  bool found = GetTagValue(text, name, value);
  if (limit > 0 && value->size() >= limit) {
    *tooLong = true;
    value->clear();
    return false;
  }
  return found;
}
