#include "server/http/http_answers.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/query/query.h"
#include "core/query/text_query.h"
#include "core/records/field_info.h"
#include "core/text/encoding.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"
#include "formats/json_page.h"
#include "formats/result_document.h"
#include "server/http/search_options.h"
#include "server/search_data.h"

namespace {

using Json = nlohmann::ordered_json;

tHttpResponse ErrorAt(const std::string& message, size_t position) {
  tHttpResponse answer;
  answer.status = 400;
  Json body;
  body["error"] = message;
  body["position"] = position;
  answer.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return answer;
}

// ReadSearch over the data set, then 503 while it loads (the arguments are checked before
// the data set, so a bad request is 400 also while loading).
bool ReadDataSetSearch(const tSearchParameters& parameters, const CSearchData* data,
                       const tSearchLimits& limits, tHttpSearch* search, tHttpResponse* error) {
  if (!ReadSearch(parameters, limits, SearchReader::kDataSet, search, error)) return false;
  if (data == nullptr) {
    *error = ErrorAnswer(503, "the data set is loading");
    return false;
  }
  return true;
}

}  // namespace

bool ReadSearch(const tSearchParameters& parameters, const tSearchLimits& limits,
                SearchReader reader, tHttpSearch* search, tHttpResponse* error) {
  std::string message;
  if (!BuildQuery(parameters, &search->query, &message)) {
    *error = ErrorAnswer(400, message);
    return false;
  }
  const bool dataSet = reader == SearchReader::kDataSet;
  if (dataSet && parameters.explain) {
    if (*parameters.explain != "0" && *parameters.explain != "1") {
      *error = ErrorAnswer(400, "explain must be 0 or 1");
      return false;
    }
    search->explain = *parameters.explain == "1";
  }
  if (dataSet && !parameters.q && parameters.text) {
    std::string gbk;
    if (!ArgumentToGbk(*parameters.text, &gbk, &message)) {
      *error = ErrorAnswer(400, message);
      return false;
    }
    search->expression = true;
    search->defaultField = parameters.field ? *parameters.field : "*";
    search->parsed = ParseTextQuery(gbk, limits.query.maxWords);
    search->explainValue = std::move(gbk);
    if (!search->parsed.ok) {
      *error = ErrorAt(search->parsed.error, search->parsed.position);
      return false;
    }
  }
  if (parameters.start && !ParseInteger(*parameters.start, &search->start)) {
    *error = ErrorAnswer(400, "start must be a decimal integer");
    return false;
  }
  if (parameters.count && !ParseInteger(*parameters.count, &search->count)) {
    *error = ErrorAnswer(400, "count must be a decimal integer");
    return false;
  }
  return !dataSet || ReadResultLimits(parameters, &search->options, error);
}

tHttpResponse HealthAnswer(const CSearchData* data) {
  tHttpResponse answer;
  Json body;
  if (data == nullptr) {
    answer.status = 503;
    body["status"] = "loading";
  } else {
    body["status"] = "serving";
    body["records"] = data->store().GetLiveRecordCount();
    body["generation"] = data->generation();
  }
  answer.body = body.dump();
  return answer;
}

tHttpResponse DrainingAnswer() {
  tHttpResponse answer;
  answer.status = 503;
  answer.body = "{\"status\":\"draining\"}";
  return answer;
}

tHttpResponse StoppedAnswer(SearchStop stop, const tSearchLimits& limits) {
  if (stop == SearchStop::kTooLarge) {
    return ErrorAnswer(400, "the query has more than " + std::to_string(limits.query.maxWords) +
                                " conditions, values or words in one value");
  }
  tHttpResponse late = ErrorAnswer(503, "the query ran past its time budget of " +
                                            std::to_string(limits.query.timeoutMs) + " ms");
  late.timedOut = true;
  return late;
}

namespace {

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

// Runs the search through `run`. False with the error answer when it gave no page;
// otherwise the page is the run's and answer->cappedAt says whether the count was cut.
bool RunSearch(const tHttpSearch& search, const tSearchLimits& limits, const CSearchData& data,
               CSearchRun* run, tHttpResponse* answer, tTextEvaluation* evaluation) {
  tSearchRunRequest request;
  request.text = search.query;
  if (search.expression) {
    request.expression = &search.parsed.root;
    std::string message;
    if (!ArgumentToGbk(search.defaultField, &request.defaultField, &message)) {
      request.defaultField.clear();
    }
  }
  request.start = search.start;
  request.count = search.count;
  request.descending = search.options.descending;
  request.match = search.options.match;
  request.relevance = search.options.relevance;
  if (request.relevance) request.fieldWeights = FieldWeights(limits, data.schema());
  request.refuseUnknownFields = true;
  const SearchStop stop = run->RunRequest(request, evaluation);
  switch (stop) {
    case SearchStop::kNone:
      answer->cappedAt = run->cappedAt();
      return true;
    case SearchStop::kNoContains:
      *answer = ErrorAnswer(
          400, "match=contains needs a data set built with contains indexes; generation " +
                   std::to_string(data.generation()) +
                   " was built without them (ContainsIndex 0 in its database "
                   "configuration, or an older indexer)");
      return false;
    case SearchStop::kBadExpression:
      *answer = ErrorAt(evaluation->error, evaluation->position);
      return false;
    case SearchStop::kTooLarge:
    case SearchStop::kTimedOut:
      *answer = StoppedAnswer(stop, limits);
      return false;
    case SearchStop::kUnknownFields:
      *answer = UnknownFieldAnswer(run->engine().GetUnknownFields(), data.schema());
      return false;
    case SearchStop::kIndexDamaged:
      *answer = ErrorAnswer(503, "an index file of the data set was changed while it was served");
      return false;
  }
  return false;
}

// Text of the query (GBK) as UTF-8 for the JSON members.
std::string Utf8(const std::string& gbk) { return GbkToUtf8(gbk); }

// A normalised value's dictionary words and the characters outside every word into
// *explained; whether it restricts anything (has a word).
bool ExplainWords(const CSearchData& data, const std::string& value, tJsonExplainValue* explained) {
  std::vector<int32_t> ids;
  std::vector<CPDAT::tWordSpan> spans;
  const int count = data.trie().Segment(value.c_str(), &ids, nullptr, &spans);
  std::vector<char> covered(value.size(), 0);
  for (int i = 0;
       i < count && static_cast<size_t>(i) < ids.size() && static_cast<size_t>(i) < spans.size();
       ++i) {
    const CPDAT::tWordSpan span = spans[static_cast<size_t>(i)];
    if (span.start < 0 || span.length < 0 ||
        static_cast<size_t>(span.start) + static_cast<size_t>(span.length) > value.size())
      continue;
    explained->words.push_back(
        {Utf8(value.substr(static_cast<size_t>(span.start), static_cast<size_t>(span.length))),
         ids[static_cast<size_t>(i)]});
    std::fill(covered.begin() + span.start, covered.begin() + span.start + span.length, 1);
  }
  std::string outside;
  for (size_t i = 0; i < value.size();) {
    const size_t width =
        static_cast<unsigned char>(value[i]) >= 0x81 && i + 1 < value.size() ? 2 : 1;
    if (!covered[i] && value[i] != ' ') outside += value.substr(i, width);
    i += width;
  }
  explained->outside = Utf8(outside);
  return count > 0;
}

bool Restricts(const CSearchData& data, const std::string& value) {
  tJsonExplainValue ignored;
  return ExplainWords(data, value, &ignored);
}

tJsonExplainValue ExplainValue(const CSearchData& data, int field, const std::string& written) {
  std::string value = written;
  NormalizeText(&value[0]);
  value.resize(std::strlen(value.c_str()));
  tJsonExplainValue one;
  one.restricts = ExplainWords(data, value, &one);
  if (field >= 0) {
    one.hasField = true;
    one.field = Utf8(data.schema().GetField(field).indexName);
  }
  one.value = Utf8(written);
  one.readAs = Utf8(value);
  return one;
}

// The warnings for values that restrict nothing and, under explain=1, the explanation.
void AddWhy(const tHttpSearch& search, const CQuery& engine, const CSearchData& data,
            const tTextEvaluation& evaluation, tJsonPageExtras* extras) {
  if (search.expression) {
    for (const auto& [position, value] : evaluation.unrestricting) {
      extras->warnings.push_back("\"" + Utf8(value) + "\" (at " + std::to_string(position) +
                                 ") holds no dictionary word and restricts nothing");
    }
  } else {
    // The binary-port syntax of q=: read the values as the engine read them.
    for (const tCondition& condition : engine.GetConditions()) {
      if (condition.kind != ConditionKind::kIndexed) continue;
      for (const std::string& value : DistinctValues(condition.values)) {
        if (value.empty() || Restricts(data, value)) continue;
        extras->warnings.push_back("\"" + Utf8(value) +
                                   "\" holds no dictionary word and restricts nothing");
      }
    }
  }
  if (!search.explain) return;
  extras->explained = true;
  tJsonExplain& explain = extras->explain;
  explain.syntax = search.expression ? "text" : "q";
  if (search.expression) {
    explain.hasTree = true;
    explain.tree = Utf8(DescribeTextTree(search.parsed.root));
  }
  for (const tCondition& condition : engine.GetConditions()) {
    for (const std::string& value : DistinctValues(condition.values)) {
      explain.values.push_back(ExplainValue(data, condition.field, value));
    }
  }
  if (search.expression) {
    for (const auto& [position, value] : evaluation.unrestricting) {
      tJsonExplainValue& one = explain.values.emplace_back(ExplainValue(data, -1, value));
      one.hasPosition = true;
      one.position = position;
    }
  }
}

}  // namespace

tHttpResponse AnswerJsonSearch(const tSearchParameters& parameters, const CSearchData* data,
                               const tSearchLimits& limits) {
  tHttpSearch search;
  tHttpResponse answer;
  if (!ReadDataSetSearch(parameters, data, limits, &search, &answer)) return answer;
  if (!ReadResultFields(parameters, data->schema(), &search.options, &answer)) return answer;
  CSearchRun run(*data, limits);
  tTextEvaluation evaluation;
  if (!RunSearch(search, limits, *data, &run, &answer, &evaluation)) return answer;
  CQuery& engine = run.engine();
  const ResultPage* page = &run.page();
  tJsonPageExtras extras;
  AddSnippets(engine, *page, *data, search.options, &extras);
  if (engine.match() == MatchMode::kContains || engine.ranked()) {
    extras.hits.resize(static_cast<size_t>(std::max(page->returned, 0)));
    for (int32_t i = 0; i < page->returned; ++i) {
      const int64_t position = int64_t{page->start} + i;
      tJsonHit& hit = extras.hits[static_cast<size_t>(i)];
      if (engine.match() == MatchMode::kContains) {
        hit.match = engine.IsWordMatchAt(position, search.options.descending) ? HitMatch::kWord
                                                                              : HitMatch::kPart;
      }
      hit.scored = engine.ranked();
      if (hit.scored) hit.score = engine.ScoreAt(position);
    }
  }
  extras.facets = Facets(engine, *data, search.options);
  AddWhy(search, engine, *data, evaluation, &extras);
  answer.body = FormatJsonPage(*page, data->storedNamesUtf8(), &extras, answer.cappedAt);
  return answer;
}

tHttpResponse AnswerXmlSearch(const tSearchParameters& parameters, const CSearchData* data,
                              const tSearchLimits& limits) {
  tHttpSearch search;
  tHttpResponse answer;
  if (!ReadDataSetSearch(parameters, data, limits, &search, &answer)) return answer;
  CSearchRun run(*data, limits);
  tTextEvaluation evaluation;
  if (!RunSearch(search, limits, *data, &run, &answer, &evaluation)) return answer;
  const ResultPage* page = &run.page();
  bool declaredGbk = false;
  if (!FormatResultDocument(*page, data->storedNames(), &answer.body, &declaredGbk)) {
    return ErrorAnswer(500, "the result document could not be formed");
  }
  answer.contentType =
      declaredGbk ? "application/xml; charset=GBK" : "application/xml; charset=gb2312";
  return answer;
}
