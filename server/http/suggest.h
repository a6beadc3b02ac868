// /suggest: dictionary words that begin with a prefix and occur in the served set, most
// frequent first, for the search page's type-ahead.
#pragma once

#include <optional>
#include <string>

#include "server/http/http_answers.h"
#include "server/http/http_response.h"

class CSearchData;

// {"prefix":"...","suggestions":[{"word":"...","records":N}, ...]}: the words of the word
// list that begin with the prefix (UTF-8, normalised as query values are) and that at least
// one record holds in an indexed field, by the number of records holding them (from the word
// indexes), then by word. `count` is 1 to 100 (default 10). 400 for a missing, empty, longer
// than 64 bytes or unreadable prefix or a bad count; 503 while loading or past the query time
// budget.
tHttpResponse SuggestAnswer(const std::optional<std::string>& prefix,
                            const std::optional<std::string>& count, const CSearchData* data,
                            const tSearchLimits& limits = tSearchLimits());
