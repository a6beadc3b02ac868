// CSearchRun: one search over the served data set, the same sequence for every interface
// (the binary port and the HTTP answers): the query's limits and match mode, the evaluation
// of its text, the refusals of a query too large or past its time, the page under the page
// cap, and the refusal of a page read while an index file of the set was damaged. Each
// interface states the request and turns a SearchStop into its own refusal (a log line and
// a closed connection, or an HTTP status with a JSON body).
//
// Ownership: the data set is borrowed and must outlive the run; the page belongs to the
// run's engine and stays valid until the run ends. Thread safety: one run per request; any
// number of runs may read one data set at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/query/query.h"

class CSearchData;
struct tTextNode;
struct tTextEvaluation;

// The bounds every interface applies to a search.
struct tSearchRunLimits {
  int maxPageCount = 1000;         // hits of one page; a larger count gets this many (0: none)
  tQueryLimits query{1000, 2000};  // conditions, values, words of one value; time budget
  // The server's Match setting: contains, where the data set has contains indexes, unless
  // the request asks for words.
  bool containsMatch = false;
};

// How a request asks its values to match.
enum class MatchChoice { kDefault, kWords, kContains };

// Why a run gave no page, in the order the run checks.
enum class SearchStop {
  kNone,
  kNoContains,     // MatchChoice::kContains on a data set without contains indexes
  kBadExpression,  // the search-box tree names an unknown field or one of the wrong kind
  kTooLarge,       // QueryStop::kTooLarge
  kTimedOut,       // QueryStop::kTimedOut
  kUnknownFields,  // the query names no field (only when the request refuses it)
  kIndexDamaged,   // an index file of the data set changed while it was served
};

// One search as an interface states it.
struct tSearchRunRequest {
  std::string text;  // GBK query text of the query language (when `expression` is null)
  // A parsed search-box tree instead of `text`; its plain terms search `defaultField` (GBK).
  const tTextNode* expression = nullptr;
  std::string defaultField;
  int32_t start = 0;
  int32_t count = 20;
  bool descending = false;
  MatchChoice match = MatchChoice::kDefault;
  // order=relevance: the hits ranked with these weights by field number.
  bool relevance = false;
  std::vector<double> fieldWeights;
  // Refuse a query whose selectors name no field (the binary port skips such selectors).
  bool refuseUnknownFields = false;
};

class CSearchRun {
 public:
  CSearchRun(const CSearchData& data, const tSearchRunLimits& limits);
  virtual ~CSearchRun();
  CSearchRun(const CSearchRun&) = delete;
  CSearchRun& operator=(const CSearchRun&) = delete;

  // Runs `request` once. Returns kNone with page() set, or why there is no page (the engine
  // then holds what the run got to: its conditions, its unknown fields). *evaluation, when
  // given, receives the evaluation of an expression (its error for kBadExpression).
  SearchStop RunRequest(const tSearchRunRequest& request, tTextEvaluation* evaluation = nullptr);

  const ResultPage& page() const { return *m_page; }
  // The page count the run used when the request's count was cut to the cap; 0 otherwise.
  int cappedAt() const { return m_cappedAt; }
  // The hits of the whole query: Execute's count for query text, else the page's total.
  int32_t total() const { return m_total; }
  CQuery& engine() { return m_engine; }
  const CQuery& engine() const { return m_engine; }
  const tSearchRunLimits& limits() const { return m_limits; }

 private:
  SearchStop EvaluateQuery(const tSearchRunRequest& request, tTextEvaluation* evaluation);

  const CSearchData& m_data;
  tSearchRunLimits m_limits;
  CQuery m_engine;
  const ResultPage* m_page = nullptr;
  int m_cappedAt = 0;
  int32_t m_total = 0;
};

// `count` under the page cap `maxPageCount` (0: none); *cappedAt, when given, becomes the cap
// when it cut the count and 0 otherwise.
int32_t CapPageCount(int32_t count, int maxPageCount, int* cappedAt = nullptr);

// The stop a query's limits made, as a SearchStop (kNone when not stopped).
SearchStop StopOf(QueryStop stop);
