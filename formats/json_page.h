// The JSON page: a page of results in UTF-8 under the UTF-8 index names of the schema's
// stored fields, as the HTTP interface answers /search:
//
//   {"total":12,"start":0,"returned":1,"fields":["title","body"],
//    "hits":[{"title":"...","body":"..."}]}
//
// ("total":...,"returned":1,"capped":1000,"fields":... when the page count was capped)
//
// on one line, without blanks. Values are converted from GBK (core/text/encoding.h: a byte
// that starts no character becomes U+FFFD), so the page is always valid UTF-8; quotes,
// backslashes and control characters are escaped (\n, \r, \t, else \u00XX), nothing else is.
#pragma once

#include <string>
#include <vector>

#include "core/query/result_page.h"

// Appends `utf8` (valid UTF-8) to *json as a JSON string, quotes included.
void AppendJsonString(const std::string& utf8, std::string* json);

// The JSON page of `page`, whose records hold one value per entry of `names` (UTF-8). A
// value past the end of `names` is written under the name "". Lengths of the page must agree
// with its text (pages made by GetPage or checked by UnpackResult do).
// With `hitTails`, its i-th string (JSON members, each after a comma, e.g.
// ',"snippets":{...}') is written inside hit i after the values; `pageTail` likewise after
// the hits, inside the page object. With `cappedAt` above 0 the page count asked for was
// larger than the server serves in one page, and the page says so after "returned":
// "capped":<cappedAt>.
std::string FormatJsonPage(const ResultPage& page, const std::vector<std::string>& names,
                           const std::vector<std::string>* hitTails = nullptr,
                           const std::string& pageTail = std::string(), int cappedAt = 0);
