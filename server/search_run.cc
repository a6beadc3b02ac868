#include "server/search_run.h"

#include <algorithm>

#include "core/query/text_query.h"
#include "server/search_data.h"

int32_t CapPageCount(int32_t count, int maxPageCount, int* cappedAt) {
  const bool capped = maxPageCount > 0 && count > maxPageCount;
  if (cappedAt != nullptr) *cappedAt = capped ? maxPageCount : 0;
  return capped ? maxPageCount : count;
}

SearchStop StopOf(QueryStop stop) {
  switch (stop) {
    case QueryStop::kTooLarge:
      return SearchStop::kTooLarge;
    case QueryStop::kTimedOut:
      return SearchStop::kTimedOut;
    case QueryStop::kNone:
      break;
  }
  return SearchStop::kNone;
}

CSearchRun::CSearchRun(const CSearchData& data, const tSearchRunLimits& limits)
    : m_data(data), m_limits(limits), m_engine(data.schema(), data.store()) {}

CSearchRun::~CSearchRun() = default;

SearchStop CSearchRun::EvaluateQuery(const tSearchRunRequest& request,
                                     tTextEvaluation* evaluation) {
  m_engine.SetLimits(m_limits.query);
  const bool hasContains = m_data.store().HasContains();
  if (request.match == MatchChoice::kContains && !hasContains) return SearchStop::kNoContains;
  const bool contains =
      request.match == MatchChoice::kContains ||
      (request.match == MatchChoice::kDefault && m_limits.containsMatch && hasContains);
  m_engine.SetMatch(contains ? MatchMode::kContains : MatchMode::kWords);
  if (request.expression == nullptr) {
    m_total = m_engine.Execute(request.text.c_str());
    return StopOf(m_engine.stop());
  }
  tTextEvaluation own;
  tTextEvaluation* into = evaluation != nullptr ? evaluation : &own;
  if (!EvaluateTextQuery(*request.expression, request.defaultField, m_data.schema(), &m_engine,
                         into)) {
    return SearchStop::kBadExpression;
  }
  return StopOf(m_engine.stop());
}

SearchStop CSearchRun::RunRequest(const tSearchRunRequest& request, tTextEvaluation* evaluation) {
  m_page = nullptr;
  const SearchStop stop = EvaluateQuery(request, evaluation);
  if (stop != SearchStop::kNone) return stop;
  const int32_t count = CapPageCount(request.count, m_limits.maxPageCount, &m_cappedAt);
  if (request.refuseUnknownFields && !m_engine.GetUnknownFields().empty()) {
    return SearchStop::kUnknownFields;
  }
  // A ranking that ran out of time stops the query as Execute stops it.
  if (request.relevance &&
      !m_engine.RankByRelevance(request.fieldWeights,
                                std::max<int64_t>(request.start, 0) + std::max(count, 0)) &&
      m_engine.stop() != QueryStop::kNone) {
    return StopOf(m_engine.stop());
  }
  const ResultPage& page = m_engine.GetPage(request.start, count, request.descending);
  m_total = page.total;
  if (m_data.store().AnyIndexDamaged()) return SearchStop::kIndexDamaged;
  m_page = &page;
  return SearchStop::kNone;
}
