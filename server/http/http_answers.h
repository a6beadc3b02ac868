// The answers of the HTTP interface, apart from its routing: the search in its two formats,
// the health check and the JSON error body. Each function reads the served data set it is
// lent (null: still loading) and keeps no state, so any number of threads may call them.
#pragma once

#include <string>

#include "server/http/http_request.h"

class CSearchData;

// One answer of the HTTP interface.
struct tHttpAnswer {
  int status = 200;
  const char* contentType = "application/json";
  std::string body;
};

// The JSON error body {"error": message} with `status`.
tHttpAnswer ErrorAnswer(int status, const std::string& message);

// /health: {"status":"serving","records":N,"generation":G}, or 503 {"status":"loading"}.
tHttpAnswer HealthAnswer(const CSearchData* data);

// /search: the JSON page (formats/json_page.h) of the request's window of hits. 400 for bad
// arguments, 503 while loading.
tHttpAnswer AnswerJsonSearch(const tSearchParameters& parameters, const CSearchData* data);

// /search.xml: the XML result document of the window, with the charset it declares
// ("application/xml; charset=GBK" or "...; charset=gb2312"). Errors as AnswerJsonSearch, and
// 500 should the document not be formed.
tHttpAnswer AnswerXmlSearch(const tSearchParameters& parameters, const CSearchData* data);
