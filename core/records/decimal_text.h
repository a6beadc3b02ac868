// How the records layer reads a number out of text: the way atoi does (leading white space
// skipped, an optional sign, decimal digits up to the first non-digit, 0 when there are
// none), except that a value beyond the 32-bit range is clamped to INT32_MIN / INT32_MAX
// instead of being undefined. Filter values, the row count and the database layer's
// reduction of 64-bit and decimal numbers all use it, so every source gives the same value.
#pragma once

#include <cstdint>

#include "core/text/gbk_chars.h"

inline int32_t ReadDecimalLikeAtoi(const char* text) {
  const char* p = text;
  while (gbk::IsSpace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p++ - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;  // saturate early
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}
