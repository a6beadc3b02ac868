#include "core/scan/source_encoding.h"

#include <cctype>

namespace {

bool EqualsIgnoringCase(const std::string& text, const char* name) {
  size_t i = 0;
  for (; i < text.size() && name[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return i == text.size() && name[i] == '\0';
}

}  // namespace

bool ParseSourceEncoding(const std::string& text, SourceEncoding* encoding) {
  if (text.empty() || EqualsIgnoringCase(text, "UTF-8") || EqualsIgnoringCase(text, "UTF8")) {
    *encoding = SourceEncoding::kUtf8;
    return true;
  }
  if (EqualsIgnoringCase(text, "GBK")) {
    *encoding = SourceEncoding::kGbk;
    return true;
  }
  return false;
}

const char* SourceEncodingName(SourceEncoding encoding) {
  return encoding == SourceEncoding::kGbk ? "GBK" : "UTF-8";
}
