// How text that a client sent is written into a log line: a line of the daily log (or of the
// console) must stay one line whatever a query holds, and a huge query must not make a huge
// line.
#pragma once

#include <cstddef>
#include <string>

// Bytes of a query that a log line keeps; a longer query is cut there (at a character
// boundary) and the line says how long it was.
constexpr size_t kLoggedQueryBytes = 512;

// The query as a log line shows it: control bytes (0x00-0x1F, 0x7F) and the backslash
// written as \xHH and \\, GBK characters kept whole. A query longer than kLoggedQueryBytes is
// cut to its first characters within that many bytes, followed by "... (<n> bytes)" with its
// whole byte count.
std::string LoggedQuery(const std::string& query);
