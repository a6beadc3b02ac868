// The HTML form of an excerpt of a stored text, as the JSON page carries it: the excerpt in
// UTF-8 with "…" where text was cut off, every mark wrapped in <mark>…</mark> and everything
// else HTML-escaped (& < > " '), so that it can be inserted into a page as it is. Beside it,
// the marked ranges as character offsets [start, end) into the same text without the
// markers and unescaped (the "…" counting as one character), for clients that render their
// own way. Characters are Unicode code points; every character of GBK text lies in the
// basic plane, so they are also the UTF-16 units of a JavaScript string.
//
// Thread safety: no shared state (each thread writes through a scratch buffer of its own).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/query/snippet.h"

// Appends the HTML of `excerpt` of the GBK `text` (the text the excerpt was chosen from) to
// *html and replaces *marks by the marks' character offsets.
void AppendExcerptHtml(const char* text, const tExcerpt& excerpt, std::string* html,
                       std::vector<std::pair<int32_t, int32_t>>* marks);

// AppendExcerptHtml, the HTML written as a JSON string (quotes included, escaped as
// AppendJsonString of formats/json_page.h escapes it), in the same one pass.
void AppendExcerptJson(const char* text, const tExcerpt& excerpt, std::string* json,
                       std::vector<std::pair<int32_t, int32_t>>* marks);

// Appends `utf8` to *html with & < > " ' escaped.
void AppendHtmlEscaped(const std::string& utf8, std::string* html);
