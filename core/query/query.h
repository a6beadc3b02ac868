// CQuery: parses one query text into conditions and evaluates them against a loaded data
// set, then hands out pages of the hits with their stored values.
//
// Query language: any text, then selectors "[FIELD] <index name> [<operator>] <values>".
// The keyword "[FIELD]" is matched exactly; the field part runs to the first "[" after it
// (its first token names the field by index name, "*" being the all-fields entry); the
// operator runs to the first "]" after that; the values run to the next "[FIELD]" or the
// end and are split at space, tab, CR and LF, each normalised as indexed text is. A field
// named twice gets one condition holding all values. Conditions are of kind 1 (indexed
// field), 2 (filter field) or 0 (neither; never evaluated). An operator word starting with
// "OR" (any case) sets the OR flag: such a condition holds when any one of its values holds
// (the conditions of a query still all hold together). Failing selectors are
// skipped with a line in the daily log ("<name>非法的字段名!" / "<name>非法的属性值!").
//
// Matching: with MatchMode::kWords (the default) the above. With MatchMode::kContains a value
// of an indexed condition matches a record when the field's normalised text holds the value's
// character units (char_units.h) at consecutive places, wherever the dictionary cut it: its
// two-byte characters in a row, its runs of ASCII letters and digits as whole runs, any case.
// A condition on "*" then holds when one of the fields marked for the all-fields index holds
// the value. Contains matching needs a store with contains indexes (HasContains).
//
// Order: hits come in ascending record number, or after RankByRelevance best first
// (relevance.md in docs/ describes the score).
//
// Evaluation: repeated values of a condition count once; every value of an indexed condition is a
// phrase; a record matches when it holds every such value (any one of them under the OR word) (with
// at least one recognised dictionary word) as a phrase in the condition's field, and every filter
// value list of the query. Values without a recognised word restrict nothing; a query in which no
// value restricts anything finds no record (filters only narrow what indexed values found). Hits
// come in ascending record number.
//
// Ownership: the schema and the store are borrowed and must outlive the query. Thread
// safety: one CQuery per thread; any number of them may run over one loaded store at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/index/indexer.h"
#include "core/query/query_parser.h"
#include "core/query/result_page.h"

class CDataLineIndex;
class CFieldInfo;

// Bounds on the work of one query. maxWords bounds the conditions of a query (each failing
// selector, such as one naming no field, counts as one), the values of all its conditions together
// and the dictionary words of one value (0: no bound); a query over it is refused. timeoutMs bounds
// the time of one Execute (0: no bound); a query over it stops at the next check of the clock.
struct tQueryLimits {
  int maxWords = 0;
  int timeoutMs = 0;
};

enum class MatchMode { kWords, kContains };

// Why the last Execute found nothing without evaluating the whole query.
enum class QueryStop {
  kNone,      // evaluated whole; the count is the answer
  kTooLarge,  // more conditions, values or words of one value than maxWords allows
  kTimedOut,  // the time budget ran out
};

// Keeps the live entries of `entries` (ascending records, -1 holes) whose record is in
// `records` (ascending); the others become -1.
void KeepRecordsIn(const std::vector<int32_t>& records, std::vector<tINDEX_STRUCTURE>* entries);

// A condition's values without repeats, in the order of their first appearance: a query
// that names one value many times costs one evaluation of it.
std::vector<std::string> DistinctValues(const std::vector<std::string>& values);

class CQuery {
 public:
  CQuery(const CFieldInfo& schema, const CDataLineIndex& store);
  virtual ~CQuery();
  CQuery(const CQuery&) = delete;
  CQuery& operator=(const CQuery&) = delete;

  // Parses and evaluates `queryText` (null or any bytes; a NUL ends it) and returns the
  // number of matching records, which stay in the result list for GetPage.
  // Under limits (SetLimits) the query may stop early: it then returns 0, keeps no hits and
  // stop() says why.
  int Execute(const char* queryText);

  void SetLimits(const tQueryLimits& limits) { m_limits = limits; }
  // How indexed values match (from the next Execute on). kContains on a store without
  // contains indexes matches nothing; callers check HasContains first.
  void SetMatch(MatchMode match) { m_match = match; }
  MatchMode match() const { return m_match; }

  // Orders the hits of the last Execute by relevance, best first (ties in ascending record
  // number): BM25F over the fields each indexed condition reaches, with `fieldWeights[f]`
  // the weight of field number f (missing entries weigh 1). Spends the query's time budget;
  // false when it ran out (the query is then stopped as Execute stops it). Until the next
  // Execute, GetPage, RecordAt and ScoreAt follow that order for the first `through`
  // positions (the pages asked for); the hits after them follow in no set order.
  bool RankByRelevance(const std::vector<double>& fieldWeights, int64_t through = INT64_MAX);
  bool ranked() const { return m_ranked; }
  // Under contains matching: which hits the word index finds as well. Computed once per
  // Execute, by RankByRelevance or on the first call.
  bool IsWordMatchAt(int64_t position, bool descending);

  // The record at `position` of the hit order (the relevance order when ranked, else
  // ascending or, with `descending`, descending record number); -1 outside the hits.
  int32_t RecordAt(int64_t position, bool descending) const;
  // The relevance score of the hit at `position` of the ranked order; 0 when not ranked.
  double ScoreAt(int64_t position) const;
  QueryStop stop() const { return m_stop; }

  // Fills the owned page with the hits from position `start` on (at most `pageCount`) and
  // returns it; valid until the next GetPage or the destruction. A start outside the hits,
  // a negative start or a page count below 1 gives a page of 0 records; total is always set.
  // The page ends early, before the record that would make its packed form (20 bytes, 4 per
  // value, the values) longer than an int32 can count. With `descending` the hits are taken
  // from the other end: position `start` is the hit with the highest record number but
  // `start`, so the pages of one order are the hit list of the other reversed.
  const ResultPage& GetPage(int start, int pageCount, bool descending = false);

  // Fills the condition list from `text` with its CQueryParser (query_parser.h), which reads
  // the schema alone; returns 1, or 0 when a selector has no "[" after its keyword (the
  // conditions before it stand).
  int Parse(const std::string& text);

  // CQueryParser::NextToken over the text given to the last Parse.
  bool NextToken(size_t start, size_t limit, const char* delimiters, size_t* tokenStart,
                 size_t* tokenLength) {
    return m_parser.NextToken(start, limit, delimiters, tokenStart, tokenLength);
  }

  // Position of the condition on `field` in the list, or -1.
  int FindCondition(int field) const;

  // Applies every value of an indexed condition to the result list; returns its count.
  int LookupCondition(const tCondition& condition);

  const std::vector<tCondition>& GetConditions() const { return m_parsed.conditions; }

  // The hits of the last Execute, in ascending record number, one entry per record (only the
  // record member is meaningful).
  const std::vector<tINDEX_STRUCTURE>& GetHits() const;

  // Set evaluation for expressions built outside the query language (text_query.h). BeginSets
  // clears the hits and starts the limits' budget as Execute does; ValueRecords gives the
  // records (ascending) that hold one normalised value on an indexed field (0: "*") under the
  // match mode, false when the value has no recognised word (it restricts nothing) or the
  // budget ran out; RangeRecords the records whose value of filter field `field` lies in
  // [low, high]; FinishSets makes `records` (ascending) the hits and `positive` the
  // conditions that relevance order and snippets read, and sets stop() when the budget ran
  // out (or `tooLarge`).
  void BeginSets();
  // After BeginSets: one normalised value on an indexed field as the whole query, looked up
  // straight into the hits as Execute looks up a condition (a value of one word counted, not
  // listed, as Execute counts it); false when it has no recognised word (no hits then) or
  // the budget ran out (stop() says so).
  bool ApplySoleValue(int field, const std::string& value);
  bool ValueRecords(int field, const std::string& value, std::vector<int32_t>* records);
  std::vector<int32_t> RangeRecords(int field, int64_t low, int64_t high);
  // Keeps of `records` (ascending) those that hold the value (keepHolding) or those that do
  // not, looking the value up over just those records; false, leaving them as they are, when
  // the value has no recognised word or the budget ran out.
  bool FilterRecords(int field, const std::string& value, bool keepHolding,
                     std::vector<int32_t>* records);
  // Under word matching, when every value (field, normalised value) is at most one
  // dictionary word: *records becomes the records (ascending) that hold any of them, read
  // straight from the postings, (*restricting)[i] says whether value i has a word (one
  // without is no alternative), and true. False, doing nothing, otherwise.
  bool AnyOfWords(const std::vector<std::pair<int, std::string>>& values,
                  std::vector<int32_t>* records, std::vector<char>* restricting);
  // Under word matching, the postings of the value's rarest word in the index a lookup of it
  // reads (what a lookup of it costs); -1 when not known (contains matching, no word).
  int64_t ValuePostings(int field, const std::string& value) const;
  bool SetsStopped() const { return m_result.budget.stopped(); }
  int32_t GetRecordCount() const;
  void FinishSets(const std::vector<int32_t>& records, std::vector<tCondition> positive,
                  bool tooLarge);

  // The index names of the text given to the last Parse that name no field, in query order
  // without repeats (their selectors were skipped).
  const std::vector<std::string>& GetUnknownFields() const { return m_parsed.unknownFields; }

 private:
  bool ApplyIndexedPass(bool allFields);
  // Applies an indexed condition under the OR word: the union of its values' records.
  void ApplyAnyValue(const tCondition& condition);
  void ResetHits(std::chrono::steady_clock::time_point started);
  void ApplyFilters();
  // Drops the hits that name records outside the store and, with `deleted`, the records of
  // the deletion list.
  void DropRecordsOutsideStore(bool deleted = true);
  const CFieldInfo& m_schema;
  const CDataLineIndex& m_store;
  CQueryParser m_parser;
  tParsedQuery m_parsed;  // of the text given to the last Parse, or set by FinishSets
  bool OverWordLimit() const;

  // A query of one indexed condition whose values are one value of one word (and no filter)
  // is counted, not listed: its hits are the records of that word's postings, and a page
  // near the front is read from them. The list is made only when something needs it.
  bool CountOneWord();
  void ListOneWord() const;
  mutable const CIndexer* m_oneWordIndex = nullptr;  // set while the hits are counted, not listed
  mutable const CIndexer* m_oneWordDelta = nullptr;  // the delta's index of that word, if any
  int m_oneWordPosition = 0;
  int32_t m_oneWordTerm = 0;
  int32_t m_oneWordTotal = 0;
  std::vector<int32_t> m_pageRecords;  // GetPage: the records of the page

  // Contains matching: applies one value to m_result through the contains indexes.
  void LookupContains(const tCondition& condition, const std::string& value);
  // The records (ascending) that hold ids[0..count) in the index `kind` of any of `fields`
  // (indexed positions); spends the budget.
  std::vector<int32_t> RecordsHolding(const std::vector<int>& positions, bool contains,
                                      const std::vector<int32_t>& ids);
  // The indexed positions a condition reaches: its field's, or those of the fields marked
  // for the all-fields index.
  std::vector<int> ReachedPositions(const tCondition& condition) const;
  // The terms of a value in the index kind: character units, or dictionary words.
  void ValueTerms(const std::string& value, bool contains, std::vector<int32_t>* ids) const;
  // Fills m_wordMatch for every hit, or with `only` (ascending positions) for those alone
  // (the others count as part matches).
  void ComputeWordMatches(const std::vector<int32_t>* only = nullptr);

  MatchMode m_match = MatchMode::kWords;
  bool m_ranked = false;
  bool m_sets = false;           // the hits came from FinishSets
  std::vector<int32_t> m_order;  // ranked: positions in m_result.entries, best first
  std::vector<double> m_scores;  // ranked: by position in m_result.entries
  size_t m_indexedHits = 0;      // hits of the indexed conditions, before the filters
  bool m_wordMatchesKnown = false;
  std::vector<char> m_wordMatch;  // by position in m_result.entries
  mutable CResultList m_result;
  std::vector<tINDEX_STRUCTURE> m_scratch;  // ValueRecords: the lookup of one value
  ResultPage m_page;
  std::vector<std::pair<const char*, int>> m_cells;  // GetPage: one record's cells
  tQueryLimits m_limits;
  QueryStop m_stop = QueryStop::kNone;
};
