// The answers of the HTTP interface, apart from its routing: the search in its two formats,
// the health check and the JSON error body. Each function reads the served data set it is
// lent (null: still loading) and keeps no state, so any number of threads may call them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/query/text_query.h"
#include "server/http/http_request.h"
#include "server/http/http_response.h"
#include "server/http/search_options.h"
#include "server/search_run.h"

class CSearchData;

// The bounds of one search: a larger count is cut to maxPageCount (and the answer says so),
// and the query runs under `query` (too many words: 400; over its time: 503). The server's
// Match setting (containsMatch) applies unless a request says match=words (on a data set
// without contains indexes a request that names none gets words).
struct tSearchLimits : tSearchRunLimits {
  // The server's FieldWeights for order=relevance: index names (GBK) and weights.
  std::vector<std::pair<std::string, double>> fieldWeights;
};

// The answer to a query its limits stopped: 400 for kTooLarge, 503 (timedOut) for kTimedOut.
// REQUIRES: `stop` is one of these two.
tHttpResponse StoppedAnswer(SearchStop stop, const tSearchLimits& limits);

// A search request as read from its arguments: the GBK query text (q=, or text= under
// field=) and the window.
struct tHttpSearch {
  std::string query;
  int32_t start = 0;
  int32_t count = 20;
  tResultOptions options;
  // text= without q=: the parsed search-box syntax and the field of its plain terms.
  bool expression = false;
  tTextParse parsed;
  std::string defaultField;
  bool explain = false;
  std::string explainValue;  // the GBK text= as read
};

// Who reads a search: a server over its data set, which reads explain=, text= in the
// search-box syntax and the result options; or a broker, which reads the query text and the
// window and checks its own options.
enum class SearchReader { kDataSet, kBroker };

// Reads a search request into *search: the query text (400 as BuildQuery refuses it), then
// for kDataSet explain= and the search-box text, then start= and count=, then for kDataSet the
// result limits (search_options.h). False with the 400 answer in *error.
bool ReadSearch(const tSearchParameters& parameters, const tSearchLimits& limits,
                SearchReader reader, tHttpSearch* search, tHttpResponse* error);

// The body a search is answered with: the JSON page (/search) or the XML result document
// (/search.xml).
enum class PageFormat { kJson, kXml };

// /health: {"status":"serving","records":N,"generation":G}, or 503 {"status":"loading"}.
tHttpResponse HealthAnswer(const CSearchData* data);

// /health while the server drains before it ends: 503 {"status":"draining"}.
tHttpResponse DrainingAnswer();

// /search: the JSON page (formats/json_page.h) of the request's window of hits. 400 for bad
// arguments, 503 while loading.
tHttpResponse AnswerJsonSearch(const tSearchParameters& parameters, const CSearchData* data,
                               const tSearchLimits& limits = tSearchLimits());

// /search.xml: the XML result document of the window, with the charset it declares
// ("application/xml; charset=GBK" or "...; charset=gb2312"). Errors as AnswerJsonSearch, and
// 500 should the document not be formed.
tHttpResponse AnswerXmlSearch(const tSearchParameters& parameters, const CSearchData* data,
                              const tSearchLimits& limits = tSearchLimits());
