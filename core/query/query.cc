#include "core/query/query.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <string_view>
#include <unordered_set>

#include "core/index/indexer_control.h"
#include "core/index/phrase_keys.h"
#include "core/query/set_lookup.h"
#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/text/char_units.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"
#include "core/util/daily_log.h"
#include "core/util/log_text.h"

namespace {

constexpr int32_t kReserveRecords = 1024;  // a huge page count reserves no more than this

}  // namespace

// A condition's values without repeats, in the order of their first appearance: a query
// that names one value many times costs one evaluation of it.
std::vector<std::string> DistinctValues(const std::vector<std::string>& values) {
  std::vector<std::string> distinct;
  distinct.reserve(values.size());
  std::unordered_set<std::string_view> seen;
  for (const std::string& value : values) {
    if (seen.insert(value).second) distinct.push_back(value);
  }
  return distinct;
}

CQuery::CQuery(const CFieldInfo& schema, const CDataLineIndex& store)
    : m_schema(schema), m_store(store), m_parser(schema) {
  m_page.text.reserve(1024);
}

CQuery::~CQuery() = default;

// --- parsing -------------------------------------------------------------------------------

int CQuery::FindCondition(int field) const {
  for (size_t i = 0; i < m_parsed.conditions.size(); ++i) {
    if (m_parsed.conditions[i].field == field) return static_cast<int>(i);
  }
  return -1;
}

int CQuery::Parse(const std::string& text) { return m_parser.Parse(text, &m_parsed); }

// --- evaluation ----------------------------------------------------------------------------

int CQuery::LookupCondition(const tCondition& condition) {
  const int index = m_schema.GetListPosition(condition.field, LIST_INDEXED);
  if (index < 0 || index >= m_store.GetIndexCount()) {
    return static_cast<int>(m_result.entries.size());
  }
  thread_local std::vector<int32_t> ids;
  for (const std::string& value : DistinctValues(condition.values)) {
    if (!m_result.budget.Spend(1)) break;
    if (m_match == MatchMode::kContains) {
      LookupContains(condition, value);
    } else {
      ValueTerms(value, false, &ids);
      LookupInSet(m_store, index, false, PhraseWay::kWords, ids.data(),
                  static_cast<int>(ids.size()), &m_result);
    }
    if (m_result.budget.stopped()) break;
    if (m_result.seeded && m_result.entries.empty()) break;  // nothing can match any more
  }
  return static_cast<int>(m_result.entries.size());
}

// Runs the indexed conditions on single fields (allFields false) or on "*" (true); false
// once the result is known to be empty.
bool CQuery::ApplyIndexedPass(bool allFields) {
  for (const tCondition& condition : m_parsed.conditions) {
    if (condition.kind != ConditionKind::kIndexed || (condition.field == 0) != allFields) continue;
    if (condition.orFlag == OperatorWord::kOr) {
      ApplyAnyValue(condition);
    } else {
      LookupCondition(condition);
    }
    if (m_result.budget.stopped()) return false;
    CompactResult(&m_result.entries);
    if (m_result.seeded && m_result.entries.empty()) return false;
  }
  return true;
}

// Postings of a damaged index may name records the store does not hold; they never reach
// the filters or a page. Nor do the records of the deletion list.
void CQuery::DropRecordsOutsideStore(bool deleted) {
  const int32_t recordCount = m_store.GetRecordCount();
  std::vector<tINDEX_STRUCTURE>& entries = m_result.entries;
  while (!entries.empty() && entries.back().record >= recordCount) entries.pop_back();
  if (!deleted || m_store.deletions().empty()) return;
  size_t kept = 0;
  for (const tINDEX_STRUCTURE& entry : entries) {
    entries[kept] = entry;
    kept += m_store.IsDeleted(entry.record) ? 0 : 1;
  }
  entries.resize(kept);
}

void CQuery::ApplyFilters() {
  for (const tCondition& condition : m_parsed.conditions) {
    if (condition.kind != ConditionKind::kFilter) continue;
    m_store.FilterResults(condition.field, DistinctValues(condition.values),
                          m_result.entries.data(), static_cast<int>(m_result.entries.size()));
    if (CompactResult(&m_result.entries) == 0) return;
  }
}

bool CQuery::OverWordLimit() const { return ::OverWordLimit(m_parsed, m_limits.maxWords); }

void CQuery::ApplyAnyValue(const tCondition& condition) {
  std::vector<int32_t> any;
  std::vector<int32_t> records;
  std::vector<int32_t> merged;
  bool restricts = false;
  for (const std::string& value : DistinctValues(condition.values)) {
    if (!ValueRecords(condition.field, value, &records)) {
      if (m_result.budget.stopped()) return;
      continue;  // no recognised word: the value is no alternative
    }
    restricts = true;
    merged.clear();
    merged.reserve(any.size() + records.size());
    std::set_union(any.begin(), any.end(), records.begin(), records.end(),
                   std::back_inserter(merged));
    any.swap(merged);
  }
  if (!restricts) return;
  if (!m_result.seeded) {
    m_result.entries.clear();
    for (int32_t record : any) m_result.entries.push_back({record, 0});
    m_result.seeded = true;
  } else {
    KeepRecordsIn(any, &m_result.entries);
  }
}

bool CQuery::ValueRecords(int field, const std::string& value, std::vector<int32_t>* records) {
  records->clear();
  if (m_result.budget.stopped()) return false;
  tCondition condition;
  condition.field = field;
  condition.values.push_back(value);
  condition.kind = ConditionKind::kIndexed;
  // The lookup runs on the scratch list (its storage kept from one value to the next); the
  // hits of the query wait in m_scratch meanwhile.
  const bool outerSeeded = m_result.seeded;
  m_result.entries.swap(m_scratch);
  m_result.entries.clear();
  m_result.seeded = false;
  LookupCondition(condition);
  const bool seeded = m_result.seeded && !m_result.budget.stopped();
  if (seeded) {
    // One pass: the live entries (the lookup leaves -1 holes), without records the store
    // does not hold (a damaged index may name them).
    const int32_t recordCount = m_store.GetRecordCount();
    records->resize(m_result.entries.size());
    int32_t* out = records->data();
    size_t kept = 0;
    int32_t last = -1;  // repeats of a record count once, as CompactResult keeps them
    for (const tINDEX_STRUCTURE& entry : m_result.entries) {
      const int32_t record = entry.record;
      const bool keep = record >= 0 && record < recordCount && record != last;
      out[kept] = record;
      kept += static_cast<size_t>(keep);
      last = keep ? record : last;
    }
    records->resize(kept);
  }
  m_result.entries.swap(m_scratch);
  m_result.seeded = outerSeeded;
  return seeded;
}

bool CQuery::FilterRecords(int field, const std::string& value, bool keepHolding,
                           std::vector<int32_t>* records) {
  if (m_result.budget.stopped()) return false;
  tCondition condition;
  condition.field = field;
  condition.values.push_back(value);
  condition.kind = ConditionKind::kIndexed;
  {
    // A value without a term to look up leaves a seeded list as it is: it restricts nothing.
    thread_local std::vector<int32_t> ids;
    ValueTerms(value, m_match == MatchMode::kContains, &ids);
    if (ids.empty()) return false;
  }
  const bool outerSeeded = m_result.seeded;
  m_result.entries.swap(m_scratch);
  m_result.entries.resize(records->size());
  for (size_t i = 0; i < records->size(); ++i) m_result.entries[i] = {(*records)[i], 0};
  m_result.seeded = true;
  LookupCondition(condition);
  const bool done = !m_result.budget.stopped();
  if (done) {
    int32_t* out = records->data();
    size_t kept = 0;
    for (size_t i = 0; i < m_result.entries.size(); ++i) {
      out[kept] = out[i];
      kept += static_cast<size_t>((m_result.entries[i].record >= 0) == keepHolding);
    }
    records->resize(kept);
  }
  m_result.entries.swap(m_scratch);
  m_result.seeded = outerSeeded;
  return done;
}

bool CQuery::AnyOfWords(const std::vector<std::pair<int, std::string>>& values,
                        std::vector<int32_t>* records, std::vector<char>* restricting) {
  if (m_match == MatchMode::kContains || m_store.GetTrie() == nullptr ||
      m_store.delta() != nullptr) {
    return false;
  }
  thread_local std::vector<int32_t> ids;
  std::vector<std::pair<int, int32_t>> words;  // (index position, word number)
  restricting->assign(values.size(), 0);
  for (size_t i = 0; i < values.size(); ++i) {
    const int index = m_schema.GetListPosition(values[i].first, LIST_INDEXED);
    if (index < 0 || index >= m_store.GetIndexCount()) return false;
    ValueTerms(values[i].second, false, &ids);
    if (ids.size() > 1) return false;
    if (ids.size() == 1) {
      words.emplace_back(index, ids[0]);
      (*restricting)[i] = 1;
    }
  }
  // Reading the bitmap out walks all its words: for a few postings, merging the values'
  // record lists costs less.
  const int32_t recordCount = std::max(m_store.GetRecordCount(), 0);
  const size_t bitWords = (static_cast<size_t>(recordCount) + 63) / 64;
  size_t postingTotal = 0;
  for (const auto& [index, id] : words) {
    int count = 0;
    m_store.GetIndexControl(index).GetIndexer().GetPostings(id, &count);
    postingTotal += static_cast<size_t>(std::max(count, 0));
  }
  if (postingTotal < bitWords) return false;
  records->clear();
  if (words.empty() || m_result.budget.stopped()) return true;
  // Every posting marks its record in a bitmap of the records (kept by the thread, zero
  // between uses); the marks are then read out in ascending order.
  thread_local std::vector<uint64_t> bits;
  if (bits.size() < bitWords) bits.resize(bitWords, 0);
  uint64_t* map = bits.data();
  size_t marks = 0;
  for (const auto& [index, id] : words) {
    int count = 0;
    const tINDEX_STRUCTURE* postings =
        m_store.GetIndexControl(index).GetIndexer().GetPostings(id, &count);
    if (postings == nullptr || count <= 0) continue;
    if (!m_result.budget.Spend(static_cast<uint32_t>(count))) break;
    for (int p = 0; p < count; ++p) {
      const int32_t record = postings[p].record;
      if (record >= 0 && record < recordCount) {
        map[record / 64] |= uint64_t{1} << (record % 64);
      }
    }
    marks += static_cast<size_t>(count);
  }
  records->resize(std::min(marks, static_cast<size_t>(recordCount)));
  int32_t* out = records->data();
  size_t kept = 0;
  for (size_t word = 0; word < bitWords; ++word) {
    uint64_t set = map[word];
    if (set == 0) continue;
    map[word] = 0;
    do {
      out[kept++] = static_cast<int32_t>(word * 64 + static_cast<size_t>(__builtin_ctzll(set)));
      set &= set - 1;
    } while (set != 0);
  }
  records->resize(kept);
  return true;
}

int64_t CQuery::ValuePostings(int field, const std::string& value) const {
  if (m_match == MatchMode::kContains) return -1;
  const int index = m_schema.GetListPosition(field, LIST_INDEXED);
  if (index < 0 || index >= m_store.GetIndexCount()) return -1;
  thread_local std::vector<int32_t> ids;
  ValueTerms(value, false, &ids);
  int64_t rarest = -1;
  for (const int32_t id : ids) {
    int count = 0;
    m_store.GetIndexControl(index).GetIndexer().GetPostings(id, &count);
    if (rarest < 0 || count < rarest) rarest = count;
  }
  return rarest;
}

std::vector<int32_t> CQuery::RangeRecords(int field, int64_t low, int64_t high) {
  std::vector<int32_t> records;
  const int column = m_schema.GetListPosition(field, LIST_FILTER);
  if (column < 0 || !m_result.budget.Spend(1)) return records;
  const int32_t recordCount = m_store.GetRecordCount();
  for (int32_t record = 0; record < recordCount; ++record) {
    if ((record & 4095) == 4095 && !m_result.budget.Spend(4096)) return {};
    const int64_t value = m_store.GetFilterValue(record, column);
    if (value >= low && value <= high) records.push_back(record);
  }
  return records;
}

int32_t CQuery::GetRecordCount() const { return m_store.GetRecordCount(); }

void CQuery::ResetHits(std::chrono::steady_clock::time_point started) {
  m_oneWordIndex = nullptr;  // hits counted by an earlier Execute are not listed into these
  m_result.entries.clear();  // keeps its storage for reuse
  m_result.seeded = false;
  m_ranked = false;
  m_sets = false;
  m_indexedHits = 0;
  m_order.clear();
  m_scores.clear();
  m_wordMatchesKnown = false;
  m_wordMatch.clear();
  m_result.budget = tQueryBudget();
  m_result.budget.maxWords = std::max(m_limits.maxWords, 0);
  if (m_limits.timeoutMs > 0) {
    m_result.budget.timed = true;
    m_result.budget.deadline = started + std::chrono::milliseconds(m_limits.timeoutMs);
  }
}

void CQuery::BeginSets() {
  m_stop = QueryStop::kNone;
  m_parsed = tParsedQuery();
  ResetHits(std::chrono::steady_clock::now());
}

bool CQuery::ApplySoleValue(int field, const std::string& value) {
  tCondition condition;
  condition.field = field;
  condition.values.push_back(value);
  condition.kind = ConditionKind::kIndexed;
  m_result.entries.clear();
  m_result.seeded = false;
  // A value of one word is counted, not listed, as Execute counts such a query.
  m_parsed.conditions.assign(1, condition);
  if (CountOneWord()) return true;
  m_parsed.conditions.clear();
  LookupCondition(condition);
  if (m_result.budget.stopped()) {
    m_stop = m_result.budget.tooManyWords ? QueryStop::kTooLarge : QueryStop::kTimedOut;
    m_result.entries.clear();
    return false;
  }
  if (!m_result.seeded) {
    m_result.entries.clear();
    return false;
  }
  CompactResult(&m_result.entries);
  DropRecordsOutsideStore();
  m_indexedHits = m_result.entries.size();
  m_parsed.conditions.push_back(std::move(condition));
  return true;
}

void CQuery::FinishSets(const std::vector<int32_t>& records, std::vector<tCondition> positive,
                        bool tooLarge) {
  m_parsed.conditions = std::move(positive);
  m_result.entries.clear();
  m_result.seeded = true;
  m_sets = true;
  if (tooLarge || m_result.budget.stopped()) {
    m_stop = tooLarge || m_result.budget.tooManyWords ? QueryStop::kTooLarge : QueryStop::kTimedOut;
    return;
  }
  // The records come from lookups that dropped those outside the store (ValueRecords) or
  // from the store's own range (RangeRecords).
  m_result.entries.resize(records.size());
  for (size_t i = 0; i < records.size(); ++i) m_result.entries[i] = {records[i], 0};
  DropRecordsOutsideStore();
  m_indexedHits = m_result.entries.size();
}

bool CQuery::CountOneWord() {
  if (m_match != MatchMode::kWords) return false;
  const tCondition* indexed = nullptr;
  for (const tCondition& condition : m_parsed.conditions) {
    if (condition.kind == ConditionKind::kFilter) return false;
    if (condition.kind != ConditionKind::kIndexed) continue;
    if (indexed != nullptr) return false;
    indexed = &condition;
  }
  if (indexed == nullptr || indexed->values.empty()) return false;
  for (const std::string& value : indexed->values) {
    if (value != indexed->values[0]) return false;
  }
  const int index = m_schema.GetListPosition(indexed->field, LIST_INDEXED);
  if (index < 0 || index >= m_store.GetIndexCount()) return false;
  const CIndexer& indexer = m_store.GetIndexControl(index).GetIndexer();
  int32_t term = 0;
  if (!indexer.OneWordValue(indexed->values[0].c_str(), &term)) return false;
  int32_t lastRecord = -1;
  int32_t total = indexer.CountRecords(term, &lastRecord);
  // Records the store does not hold (a damaged index) are dropped from a list: listed.
  if (total < 0 || lastRecord >= m_store.GetOwnRecordCount()) return false;
  // The own records the deletion list hides do not count; the delta's holding the word do.
  const int32_t hidden = m_store.HiddenHolding(index, term);
  if (hidden < 0) return false;
  total -= hidden;
  m_oneWordDelta = nullptr;
  if (m_store.delta() != nullptr && index < m_store.delta()->GetIndexCount()) {
    m_oneWordDelta = &m_store.delta()->GetIndexControl(index).GetIndexer();
    int32_t deltaLast = -1;
    const int32_t added = m_oneWordDelta->CountRecords(term, &deltaLast);
    if (added < 0 || deltaLast >= m_store.delta()->GetRecordCount()) return false;
    total += added;
  }
  m_oneWordPosition = index;
  m_oneWordIndex = &indexer;
  m_oneWordTerm = term;
  m_oneWordTotal = total;
  m_indexedHits = static_cast<size_t>(total);
  m_result.seeded = true;
  return true;
}

void CQuery::ListOneWord() const {
  if (m_oneWordIndex == nullptr) return;
  m_result.entries.clear();
  m_result.seeded = false;
  if (m_store.delta() != nullptr) {
    LookupInSet(m_store, m_oneWordPosition, false, PhraseWay::kWords, &m_oneWordTerm, 1, &m_result);
  } else {
    m_oneWordIndex->LookupIds(&m_oneWordTerm, 1, &m_result);  // a one-word seed spends nothing
  }
  CompactResult(&m_result.entries);
  if (!m_store.deletions().empty()) {
    size_t kept = 0;
    for (const tINDEX_STRUCTURE& entry : m_result.entries) {
      m_result.entries[kept] = entry;
      kept += m_store.IsDeleted(entry.record) ? 0 : 1;
    }
    m_result.entries.resize(kept);
  }
  m_oneWordIndex = nullptr;
}

const std::vector<tINDEX_STRUCTURE>& CQuery::GetHits() const {
  ListOneWord();
  return m_result.entries;
}

int CQuery::Execute(const char* queryText) {
  const auto started = std::chrono::steady_clock::now();
  m_stop = QueryStop::kNone;
  m_oneWordIndex = nullptr;
  Parse(queryText != nullptr ? queryText : "");
  ResetHits(started);  // the parse counts against the time budget too
  if (OverWordLimit()) {
    m_stop = QueryStop::kTooLarge;
    return 0;
  }
  if (CountOneWord()) return m_oneWordTotal;
  if (ApplyIndexedPass(false) && ApplyIndexedPass(true) && m_result.seeded) {
    // Lookups over a set with a delta leave its hidden records out already.
    DropRecordsOutsideStore(m_store.delta() == nullptr);
    m_indexedHits = m_result.entries.size();
    ApplyFilters();
  } else {
    m_result.entries.clear();  // no value restricted anything, or nothing matched
  }
  if (m_result.budget.stopped()) {
    m_stop = m_result.budget.tooManyWords ? QueryStop::kTooLarge : QueryStop::kTimedOut;
    m_result.entries.clear();
  }
  return static_cast<int>(m_result.entries.size());
}

// --- paging --------------------------------------------------------------------------------

const ResultPage& CQuery::GetPage(int start, int pageCount, bool descending) {
  // A counted one-word query reads a page near the front from the word's postings; any
  // other page needs the list.
  constexpr int64_t kReadFromPostings = 4096;
  if (m_oneWordIndex != nullptr &&
      (descending || int64_t{start} + std::max(pageCount, 0) > kReadFromPostings)) {
    ListOneWord();
  }
  const bool fromPostings = m_oneWordIndex != nullptr;
  const int32_t total =
      fromPostings ? m_oneWordTotal : static_cast<int32_t>(m_result.entries.size());
  const int32_t fieldCount = m_schema.GetListSize(LIST_STORED);
  m_page.total = total;
  m_page.start = start;
  m_page.fieldCount = fieldCount;
  m_cells.resize(static_cast<size_t>(std::max(fieldCount, 0)));
  m_page.returned = 0;
  m_page.valueLengths.clear();
  m_page.text.clear();
  if (start < 0 || pageCount < 1 || start >= total) return m_page;
  int32_t returned = static_cast<int32_t>(std::min<int64_t>(pageCount, int64_t{total} - start));
  m_page.valueLengths.reserve(static_cast<size_t>(std::min(returned, kReserveRecords)) *
                              static_cast<size_t>(fieldCount));
  // The packed page must stay within an int32 frame length: the page ends before the first
  // record that would cross it.
  CPackedPageBudget budget;
  int32_t taken = 0;
  if (fromPostings) {  // hits start .. start + returned - 1, as the one-word seed lists them
    m_pageRecords.clear();
    // The own postings less the hidden records, beside the delta's under the set's numbers.
    int ownCount = 0;
    int deltaCount = 0;
    const tINDEX_STRUCTURE* own = m_oneWordIndex->GetPostings(m_oneWordTerm, &ownCount);
    const tINDEX_STRUCTURE* ownEnd = own + ownCount;
    const tINDEX_STRUCTURE* delta = m_oneWordDelta != nullptr
                                        ? m_oneWordDelta->GetPostings(m_oneWordTerm, &deltaCount)
                                        : nullptr;
    const tINDEX_STRUCTURE* deltaEnd = delta + deltaCount;
    const CRecordList& hidden = m_store.deletions();
    int32_t ownLast = -1;
    int32_t deltaLast = -1;
    auto nextOwn = [&]() -> int32_t {
      for (; own < ownEnd; ++own) {
        if (own->record <= ownLast) continue;
        ownLast = own->record;
        if (!hidden.IsDeleted(ownLast)) return ownLast;
      }
      return INT32_MAX;
    };
    auto nextDelta = [&]() -> int32_t {
      for (; delta != nullptr && delta < deltaEnd; ++delta) {
        if (delta->record <= deltaLast) continue;
        deltaLast = delta->record;
        if (deltaLast >= m_store.delta()->GetRecordCount()) break;  // a damaged delta index
        return m_store.DeltaGlobal(deltaLast);
      }
      return INT32_MAX;
    };
    int32_t ownNext = nextOwn();
    int32_t deltaNext = nextDelta();
    for (int32_t hit = 0; hit < start + returned; ++hit) {
      const int32_t record = std::min(ownNext, deltaNext);
      if (record == INT32_MAX) break;
      if (hit >= start) m_pageRecords.push_back(record);
      if (record == ownNext) {
        ownNext = nextOwn();
      } else {
        deltaNext = nextDelta();
      }
    }
    returned = std::min(returned, static_cast<int32_t>(m_pageRecords.size()));
  }
  for (int32_t hit = start; hit < start + returned; ++hit, ++taken) {
    const int32_t record =
        fromPostings ? m_pageRecords[static_cast<size_t>(hit - start)] : RecordAt(hit, descending);
    // Each cell is looked up once: the record is measured against the budget, then copied.
    int64_t recordBytes = 0;
    for (int32_t column = 0; column < fieldCount; ++column) {
      int length = 0;
      const char* cell = m_store.GetCell(record, column, &length);
      m_cells[static_cast<size_t>(column)] = {cell, length};
      recordBytes += std::max(length, 0);
    }
    if (!budget.Take(fieldCount, recordBytes)) break;
    for (int32_t column = 0; column < fieldCount; ++column) {
      const char* cell = m_cells[static_cast<size_t>(column)].first;
      int length = m_cells[static_cast<size_t>(column)].second;
      if (cell == nullptr || length < 0) length = 0;
      m_page.text.append(cell != nullptr ? cell : "", static_cast<size_t>(length));
      m_page.valueLengths.push_back(length);
    }
  }
  m_page.returned = taken;
  return m_page;
}

// --- contains matching and relevance order -----------------------------------------------

namespace {

// BM25F's constants: term-frequency saturation and length normalisation.
constexpr double kK1 = 1.2;
constexpr double kB = 0.75;
// Under contains matching, a hit that the word index does not find (the value stands only
// inside or across dictionary words) keeps this share of its score.
constexpr double kPartShare = 0.9;

}  // namespace

void KeepRecordsIn(const std::vector<int32_t>& records, std::vector<tINDEX_STRUCTURE>* entries) {
  size_t next = 0;
  for (tINDEX_STRUCTURE& entry : *entries) {
    if (entry.record < 0) continue;
    while (next < records.size() && records[next] < entry.record) ++next;
    if (next == records.size() || records[next] != entry.record) entry.record = -1;
  }
}

std::vector<int> CQuery::ReachedPositions(const tCondition& condition) const {
  std::vector<int> positions;
  if (condition.field != 0) {
    const int position = m_schema.GetListPosition(condition.field, LIST_INDEXED);
    if (position > 0) positions.push_back(position);
    return positions;
  }
  for (int field = 1; field < m_schema.GetFieldCount(); ++field) {
    const tFIELD_ENTRY& entry = m_schema.GetField(field);
    if (!entry.isIndexed || !entry.isWildcard) continue;
    const int position = m_schema.GetListPosition(field, LIST_INDEXED);
    if (position > 0) positions.push_back(position);
  }
  return positions;
}

void CQuery::ValueTerms(const std::string& value, bool contains, std::vector<int32_t>* ids) const {
  ids->clear();
  if (contains) {
    CutIntoUnits(value.c_str(), ids);
    return;
  }
  const CPDAT* trie = m_store.GetTrie();
  if (trie == nullptr) return;
  const int count = trie->Segment(value.c_str(), ids, nullptr);
  ids->resize(static_cast<size_t>(std::max(0, std::min(count, static_cast<int>(ids->size())))));
}

std::vector<int32_t> CQuery::RecordsHolding(const std::vector<int>& positions, bool contains,
                                            const std::vector<int32_t>& ids) {
  std::vector<int32_t> records;
  std::vector<int32_t> merged;
  for (int position : positions) {
    CResultList field;
    field.budget = m_result.budget;
    LookupInSet(m_store, position, contains, contains ? PhraseWay::kKeys : PhraseWay::kWords,
                ids.data(), static_cast<int>(ids.size()), &field);
    m_result.budget = field.budget;
    if (m_result.budget.stopped()) return {};
    CompactResult(&field.entries);
    merged.clear();
    merged.reserve(records.size() + field.entries.size());
    size_t a = 0;
    size_t b = 0;
    while (a < records.size() || b < field.entries.size()) {
      if (b == field.entries.size() ||
          (a < records.size() && records[a] < field.entries[b].record)) {
        merged.push_back(records[a++]);
      } else if (a == records.size() || field.entries[b].record < records[a]) {
        merged.push_back(field.entries[b++].record);
      } else {
        merged.push_back(records[a++]);
        ++b;
      }
    }
    records.swap(merged);
  }
  if (!m_store.deletions().empty()) {
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [this](int32_t record) { return m_store.IsDeleted(record); }),
                  records.end());
  }
  return records;
}

void CQuery::LookupContains(const tCondition& condition, const std::string& value) {
  thread_local std::vector<int32_t> units;
  ValueTerms(value, true, &units);
  if (units.empty()) return;  // nothing to find: the value restricts nothing
  const std::vector<int> positions = ReachedPositions(condition);
  if (condition.field != 0 && positions.size() == 1) {
    if (m_store.GetCharControl(positions[0]) != nullptr) {
      LookupInSet(m_store, positions[0], true, PhraseWay::kKeys, units.data(),
                  static_cast<int>(units.size()), &m_result);
      return;
    }
  }
  if (m_result.budget.maxWords > 0 &&
      units.size() > static_cast<size_t>(m_result.budget.maxWords)) {
    m_result.budget.tooManyWords = true;
    return;
  }
  if (m_result.seeded) {
    // The records found so far are checked in each field; a record stays when one holds the
    // value. That costs what the list holds, not what the fields' postings hold.
    std::vector<char> held(m_result.entries.size(), 0);
    CResultList field;
    for (int position : positions) {
      if (m_store.GetCharControl(position) == nullptr) continue;
      field.entries = m_result.entries;
      field.seeded = true;
      field.budget = m_result.budget;
      LookupInSet(m_store, position, true, PhraseWay::kKeys, units.data(),
                  static_cast<int>(units.size()), &field);
      m_result.budget = field.budget;
      if (m_result.budget.stopped()) return;
      for (size_t i = 0; i < held.size(); ++i) held[i] |= field.entries[i].record >= 0 ? 1 : 0;
    }
    for (size_t i = 0; i < held.size(); ++i) {
      if (held[i] == 0) m_result.entries[i].record = -1;
    }
    return;
  }
  const std::vector<int32_t> records = RecordsHolding(positions, true, units);
  if (m_result.budget.stopped()) return;
  m_result.entries.clear();
  for (int32_t record : records) m_result.entries.push_back({record, 0});
  m_result.seeded = true;
}

void CQuery::ComputeWordMatches(const std::vector<int32_t>* only) {
  ListOneWord();  // a counted one-word query is listed first
  if (m_wordMatchesKnown) return;
  m_wordMatchesKnown = true;
  const std::vector<tINDEX_STRUCTURE>& hits = m_result.entries;
  m_wordMatch.assign(hits.size(), only == nullptr ? 1 : 0);
  if (m_match != MatchMode::kContains) return;
  std::vector<int32_t> ids;
  CResultList words;
  if (only == nullptr) {
    words.entries = hits;
  } else {
    for (int32_t position : *only) words.entries.push_back(hits[static_cast<size_t>(position)]);
  }
  words.seeded = true;
  words.budget = m_result.budget;
  for (const tCondition& condition : m_parsed.conditions) {
    if (condition.kind != ConditionKind::kIndexed) continue;
    const int index = m_schema.GetListPosition(condition.field, LIST_INDEXED);
    if (index < 0 || index >= m_store.GetIndexCount()) continue;
    for (const std::string& value : DistinctValues(condition.values)) {
      ValueTerms(value, false, &ids);
      if (ids.empty()) {
        // No dictionary word stands for the value: it is found only inside or across words.
        std::fill(m_wordMatch.begin(), m_wordMatch.end(), 0);
        return;
      }
      LookupInSet(m_store, index, false, PhraseWay::kKeys, ids.data(), static_cast<int>(ids.size()),
                  &words);
    }
  }
  if (words.budget.stopped()) return;  // unknown: every hit counts as a word match
  for (size_t i = 0; i < words.entries.size(); ++i) {
    const size_t position = only == nullptr ? i : static_cast<size_t>((*only)[i]);
    m_wordMatch[position] = words.entries[i].record >= 0 ? 1 : 0;
  }
}

bool CQuery::IsWordMatchAt(int64_t position, bool descending) {
  ListOneWord();  // a counted one-word query is listed first
  const int64_t total = static_cast<int64_t>(m_result.entries.size());
  if (position < 0 || position >= total) return false;
  ComputeWordMatches();
  int64_t at = position;
  if (m_ranked) {
    at = m_order[static_cast<size_t>(position)];
  } else if (descending) {
    at = total - 1 - position;
  }
  return m_wordMatch[static_cast<size_t>(at)] != 0;
}

int32_t CQuery::RecordAt(int64_t position, bool descending) const {
  ListOneWord();  // a counted one-word query is listed first
  const int64_t total = static_cast<int64_t>(m_result.entries.size());
  if (position < 0 || position >= total) return -1;
  if (m_ranked)
    return m_result.entries[static_cast<size_t>(m_order[static_cast<size_t>(position)])].record;
  return m_result.entries[static_cast<size_t>(descending ? total - 1 - position : position)].record;
}

double CQuery::ScoreAt(int64_t position) const {
  ListOneWord();  // a counted one-word query is listed first
  if (!m_ranked || position < 0 || position >= static_cast<int64_t>(m_order.size())) return 0;
  return m_scores[static_cast<size_t>(m_order[static_cast<size_t>(position)])];
}

bool CQuery::RankByRelevance(const std::vector<double>& fieldWeights, int64_t through) {
  ListOneWord();  // a counted one-word query is listed first
  const bool contains = m_match == MatchMode::kContains;
  std::vector<int32_t> hits;
  hits.reserve(m_result.entries.size());
  for (const tINDEX_STRUCTURE& entry : m_result.entries) hits.push_back(entry.record);
  const size_t n = hits.size();
  m_scores.assign(n, 0.0);
  const double records = std::max(m_store.GetLiveRecordCount(), 1);
  // With one indexed value its document frequency is the hit count before the filters.
  size_t indexedValues = 0;
  for (const tCondition& condition : m_parsed.conditions) {
    if (condition.kind == ConditionKind::kIndexed) {
      indexedValues += DistinctValues(condition.values).size();
    }
  }
  std::vector<int32_t> ids;
  std::vector<int32_t> counts;
  std::vector<double> frequency(n);
  for (const tCondition& condition : m_parsed.conditions) {
    if (condition.kind != ConditionKind::kIndexed) continue;
    const std::vector<int> positions = ReachedPositions(condition);
    for (const std::string& value : DistinctValues(condition.values)) {
      ValueTerms(value, contains, &ids);
      if (ids.empty()) continue;
      const double documents =
          indexedValues == 1 && !m_sets
              ? static_cast<double>(m_indexedHits)
              : static_cast<double>(RecordsHolding(positions, contains, ids).size());
      if (m_result.budget.stopped()) break;
      const double idf = std::log(1.0 + (records - documents + 0.5) / (documents + 0.5));
      std::fill(frequency.begin(), frequency.end(), 0.0);
      for (int position : positions) {
        if (contains ? m_store.GetCharControl(position) == nullptr
                     : position >= m_store.GetIndexCount()) {
          continue;
        }
        if (!CountInSet(m_store, position, contains, ids.data(), static_cast<int>(ids.size()), hits,
                        &counts, &m_result.budget)) {
          break;
        }
        const int field = m_schema.GetListMember(position, LIST_INDEXED);
        const double weight = field >= 0 && static_cast<size_t>(field) < fieldWeights.size()
                                  ? fieldWeights[static_cast<size_t>(field)]
                                  : 1.0;
        const double average = m_store.GetAverageFieldLength(position);
        for (size_t i = 0; i < n; ++i) {
          if (counts[i] == 0) continue;
          const double length = m_store.GetFieldLength(hits[i], position);
          const double norm = average > 0 ? 1.0 - kB + kB * length / average : 1.0;
          frequency[i] += weight * counts[i] / norm;
        }
      }
      if (m_result.budget.stopped()) break;
      for (size_t i = 0; i < n; ++i) {
        if (frequency[i] > 0) {
          m_scores[i] += idf * frequency[i] * (kK1 + 1.0) / (frequency[i] + kK1);
        }
      }
    }
    if (m_result.budget.stopped()) break;
  }
  if (m_result.budget.stopped()) {
    m_stop = m_result.budget.tooManyWords ? QueryStop::kTooLarge : QueryStop::kTimedOut;
    m_result.entries.clear();
    m_scores.clear();
    return false;
  }
  const auto ordered = static_cast<long>(std::clamp<int64_t>(through, 0, static_cast<int64_t>(n)));
  if (contains) {
    // Part matches keep kPartShare of their score. Only a hit whose score reaches
    // kPartShare times the score at position `through` can be among the first `through`
    // once that is applied, so only those are looked up in the word index.
    std::vector<int32_t> candidates;
    if (ordered > 0 && static_cast<size_t>(ordered) < n) {
      std::vector<double> scores = m_scores;
      std::nth_element(scores.begin(), scores.begin() + (ordered - 1), scores.end(),
                       std::greater<double>());
      const double bar = scores[static_cast<size_t>(ordered - 1)] * kPartShare;
      for (size_t i = 0; i < n; ++i) {
        if (m_scores[i] >= bar) candidates.push_back(static_cast<int32_t>(i));
      }
      ComputeWordMatches(&candidates);
    } else {
      ComputeWordMatches();
    }
    for (size_t i = 0; i < n; ++i) {
      if (m_wordMatch[i] == 0) m_scores[i] *= kPartShare;
    }
  }
  m_order.resize(n);
  for (size_t i = 0; i < n; ++i) m_order[i] = static_cast<int32_t>(i);
  // Best first, ties in ascending record number (the hits' own order): a total order, so
  // the first `through` positions are the same however many are ordered.
  const auto better = [this](int32_t a, int32_t b) {
    const double left = m_scores[static_cast<size_t>(a)];
    const double right = m_scores[static_cast<size_t>(b)];
    return left > right || (left == right && a < b);
  };
  std::partial_sort(m_order.begin(), m_order.begin() + ordered, m_order.end(), better);
  m_ranked = true;
  return true;
}
