// printf-style formatting into strings of any length: log lines that hold whole queries,
// schema review lines, metrics lines. Thread-safe.
#pragma once

#include <cstdarg>
#include <string>

// The text `format` makes of the arguments; "" when the format fails.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends the text `format` makes of the arguments to *text (nothing when the format fails).
void AppendFormat(std::string* text, const char* format, ...) __attribute__((format(printf, 2, 3)));

// AppendFormat over a va_list, which it leaves unused (it works on copies).
void AppendFormatV(std::string* text, const char* format, va_list arguments)
    __attribute__((format(printf, 2, 0)));

// `text` with every byte but ASCII letters, digits, '-', '_' and '.' written as %XX (upper-case
// hex), as a URL's query argument carries it.
std::string PercentEncode(const std::string& text);
