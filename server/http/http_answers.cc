#include "server/http/http_answers.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/query/query.h"
#include "core/records/field_info.h"
#include "formats/json_page.h"
#include "formats/result_document.h"
#include "server/http/search_options.h"
#include "server/search_data.h"

namespace {

using Json = nlohmann::ordered_json;

// A search request's GBK query text and window.
struct tSearch {
  std::string query;
  int32_t start = 0;
  int32_t count = 20;
  tResultOptions options;
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
  if (!ReadResultLimits(parameters, &search->options, error)) return false;
  if (data == nullptr) {
    *error = ErrorAnswer(503, "the data set is loading");
    return false;
  }
  return true;
}

}  // namespace

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

tHttpAnswer DrainingAnswer() {
  tHttpAnswer answer;
  answer.status = 503;
  answer.body = "{\"status\":\"draining\"}";
  return answer;
}

namespace {

// Runs the search under its limits. False with the error answer when the query was refused or
// stopped; otherwise the page is the engine's and *cappedAt says whether the count was cut.
// The answer for a query that its limits stopped; false when it was not stopped.
bool StoppedAnswer(const CQuery& engine, const tSearchLimits& limits, tHttpAnswer* error) {
  if (engine.stop() == QueryStop::kTooLarge) {
    *error = ErrorAnswer(400, "the query has more than " + std::to_string(limits.query.maxWords) +
                                  " conditions, values or words in one value");
    return true;
  }
  if (engine.stop() == QueryStop::kTimedOut) {
    *error = ErrorAnswer(503, "the query ran past its time budget of " +
                                  std::to_string(limits.query.timeoutMs) + " ms");
    error->timedOut = true;
    return true;
  }
  return false;
}

// FieldWeights by field number (1 where the setting names nothing).
std::vector<double> FieldWeights(const tSearchLimits& limits, const CFieldInfo& schema) {
  std::vector<double> weights(static_cast<size_t>(std::max(schema.GetFieldCount(), 0)), 1.0);
  for (const auto& [name, weight] : limits.fieldWeights) {
    const int field = schema.FindField(name.c_str());
    if (field >= 0 && static_cast<size_t>(field) < weights.size()) {
      weights[static_cast<size_t>(field)] = weight;
    }
  }
  return weights;
}

bool RunSearch(const tSearch& search, const tSearchLimits& limits, const CSearchData& data,
               CQuery* engine, const ResultPage** page, int* cappedAt, tHttpAnswer* error) {
  engine->SetLimits(limits.query);
  const bool hasContains = data.store().HasContains();
  const tResultOptions::Match match = search.options.match;
  if (match == tResultOptions::Match::kContains && !hasContains) {
    *error = ErrorAnswer(
        400, "match=contains needs a data set built with contains indexes; generation " +
                 std::to_string(data.generation()) +
                 " was built without them (ContainsIndex 0 in its database "
                 "configuration, or an older indexer)");
    return false;
  }
  const bool contains =
      match == tResultOptions::Match::kContains ||
      (match == tResultOptions::Match::kDefault && limits.containsMatch && hasContains);
  engine->SetMatch(contains ? MatchMode::kContains : MatchMode::kWords);
  engine->Execute(search.query.c_str());
  if (StoppedAnswer(*engine, limits, error)) return false;
  int32_t count = search.count;
  *cappedAt = 0;
  if (limits.maxPageCount > 0 && count > limits.maxPageCount) {
    count = limits.maxPageCount;
    *cappedAt = limits.maxPageCount;
  }
  if (!engine->GetUnknownFields().empty()) {
    *error = UnknownFieldAnswer(engine->GetUnknownFields(), data.schema());
    return false;
  }
  if (search.options.relevance &&
      !engine->RankByRelevance(FieldWeights(limits, data.schema()),
                               std::max<int64_t>(search.start, 0) + std::max(count, 0)) &&
      StoppedAnswer(*engine, limits, error)) {
    return false;
  }
  *page = &engine->GetPage(search.start, count, search.options.descending);
  if (data.store().AnyIndexDamaged()) {
    *error = ErrorAnswer(503, "an index file of the data set was changed while it was served");
    return false;
  }
  return true;
}

}  // namespace

tHttpAnswer AnswerJsonSearch(const tSearchParameters& parameters, const CSearchData* data,
                             const tSearchLimits& limits) {
  tSearch search;
  tHttpAnswer answer;
  if (!ReadSearch(parameters, data, &search, &answer)) return answer;
  if (!ReadResultFields(parameters, data->schema(), &search.options, &answer)) return answer;
  CQuery engine(data->schema(), data->store());
  const ResultPage* page = nullptr;
  if (!RunSearch(search, limits, *data, &engine, &page, &answer.cappedAt, &answer)) {
    return answer;
  }
  std::vector<std::string> tails = SnippetMembers(engine, *page, *data, search.options);
  if (engine.match() == MatchMode::kContains || engine.ranked()) {
    tails.resize(static_cast<size_t>(std::max(page->returned, 0)));
    for (int32_t i = 0; i < page->returned; ++i) {
      const int64_t position = int64_t{page->start} + i;
      std::string members;
      if (engine.match() == MatchMode::kContains) {
        members += engine.IsWordMatchAt(position, search.options.descending)
                       ? ",\"match\":\"word\""
                       : ",\"match\":\"part\"";
      }
      if (engine.ranked()) {
        char score[48];
        std::snprintf(score, sizeof score, ",\"score\":%.6g", engine.ScoreAt(position));
        members += score;
      }
      tails[static_cast<size_t>(i)].insert(0, members);
    }
  }
  answer.body = FormatJsonPage(*page, data->storedNamesUtf8(), tails.empty() ? nullptr : &tails,
                               FacetMember(engine, *data, search.options), answer.cappedAt);
  return answer;
}

tHttpAnswer AnswerXmlSearch(const tSearchParameters& parameters, const CSearchData* data,
                            const tSearchLimits& limits) {
  tSearch search;
  tHttpAnswer answer;
  if (!ReadSearch(parameters, data, &search, &answer)) return answer;
  CQuery engine(data->schema(), data->store());
  const ResultPage* page = nullptr;
  if (!RunSearch(search, limits, *data, &engine, &page, &answer.cappedAt, &answer)) {
    return answer;
  }
  bool declaredGbk = false;
  if (!FormatResultDocument(*page, data->storedNames(), &answer.body, &declaredGbk)) {
    return ErrorAnswer(500, "the result document could not be formed");
  }
  answer.contentType =
      declaredGbk ? "application/xml; charset=GBK" : "application/xml; charset=gb2312";
  return answer;
}
