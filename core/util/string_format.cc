#include "core/util/string_format.h"

#include <cstdio>

void AppendFormatV(std::string* text, const char* format, va_list arguments) {
  // Most lines fit a small buffer on the stack; a longer one is formatted again in place.
  char small[256];
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (length <= 0) return;
  if (static_cast<size_t>(length) < sizeof small) {
    text->append(small, static_cast<size_t>(length));
    return;
  }
  const size_t before = text->size();
  text->resize(before + static_cast<size_t>(length));
  va_copy(copy, arguments);
  std::vsnprintf(&(*text)[before], static_cast<size_t>(length) + 1, format, copy);
  va_end(copy);
}

std::string Format(const char* format, ...) {
  std::string text;
  va_list arguments;
  va_start(arguments, format);
  AppendFormatV(&text, format, arguments);
  va_end(arguments);
  return text;
}

void AppendFormat(std::string* text, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  AppendFormatV(text, format, arguments);
  va_end(arguments);
}

std::string PercentEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
        c == '_' || c == '.') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return encoded;
}
