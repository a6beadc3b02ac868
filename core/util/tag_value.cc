#include "core/util/tag_value.h"

#include <cstring>

bool GetTagValue(const char* text, const char* name, std::string* value) {
  value->clear();
  // The opening pattern is "Key>" without the "<": the value starts after the first "Key>"
  // wherever it stands, in "<Key>" or at the end of a longer tag name such as "<ServerKey>".
  std::string open = std::string(name) + ">";
  const char* start = std::strstr(text, open.c_str());
  if (start == nullptr) return false;
  start += open.size();
  std::string close = std::string("</") + name;
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
