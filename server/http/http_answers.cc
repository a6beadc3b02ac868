#include "server/http/http_answers.h"

#include <cstdint>
#include <nlohmann/json.hpp>

#include "core/query/query.h"
#include "formats/json_page.h"
#include "formats/result_document.h"
#include "server/search_data.h"

namespace {

using Json = nlohmann::ordered_json;

// A search request's GBK query text and window.
struct tSearch {
  std::string query;
  int32_t start = 0;
  int32_t count = 20;
};

// Reads a search request into *search; the error answer when it cannot be run (the
// arguments are checked before the data set, so a bad request is 400 also while loading).
bool ReadSearch(const tSearchParameters& parameters, const CSearchData* data, tSearch* search,
                tHttpAnswer* error) {
  std::string message;
  if (!BuildQuery(parameters, &search->query, &message)) {
    *error = ErrorAnswer(400, message);
    return false;
  }
  if (parameters.start && !ParseInteger(*parameters.start, &search->start)) {
    *error = ErrorAnswer(400, "start must be a decimal integer");
    return false;
  }
  if (parameters.count && !ParseInteger(*parameters.count, &search->count)) {
    *error = ErrorAnswer(400, "count must be a decimal integer");
    return false;
  }
  if (data == nullptr) {
    *error = ErrorAnswer(503, "the data set is loading");
    return false;
  }
  return true;
}

}  // namespace

tHttpAnswer ErrorAnswer(int status, const std::string& message) {
  tHttpAnswer answer;
  answer.status = status;
  Json body;
  body["error"] = message;
  answer.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return answer;
}

tHttpAnswer HealthAnswer(const CSearchData* data) {
  tHttpAnswer answer;
  Json body;
  if (data == nullptr) {
    answer.status = 503;
    body["status"] = "loading";
  } else {
    body["status"] = "serving";
    body["records"] = data->store().GetRecordCount();
    body["generation"] = data->generation();
  }
  answer.body = body.dump();
  return answer;
}

tHttpAnswer AnswerJsonSearch(const tSearchParameters& parameters, const CSearchData* data) {
  tSearch search;
  tHttpAnswer answer;
  if (!ReadSearch(parameters, data, &search, &answer)) return answer;
  CQuery engine(data->schema(), data->store());
  engine.Execute(search.query.c_str());
  answer.body = FormatJsonPage(engine.GetPage(search.start, search.count), data->storedNamesUtf8());
  return answer;
}

tHttpAnswer AnswerXmlSearch(const tSearchParameters& parameters, const CSearchData* data) {
  tSearch search;
  tHttpAnswer answer;
  if (!ReadSearch(parameters, data, &search, &answer)) return answer;
  CQuery engine(data->schema(), data->store());
  engine.Execute(search.query.c_str());
  bool declaredGbk = false;
  if (!FormatResultDocument(engine.GetPage(search.start, search.count), data->storedNames(),
                            &answer.body, &declaredGbk)) {
    return ErrorAnswer(500, "the result document could not be formed");
  }
  answer.contentType =
      declaredGbk ? "application/xml; charset=GBK" : "application/xml; charset=gb2312";
  return answer;
}
