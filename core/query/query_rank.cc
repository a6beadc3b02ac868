// CQuery's contains matching and relevance order.
#include <algorithm>
#include <cmath>
#include <functional>

#include "core/index/indexer_control.h"
#include "core/index/phrase_keys.h"
#include "core/query/query.h"
#include "core/records/data_line_index.h"
#include "core/records/field_info.h"
#include "core/text/char_units.h"
#include "core/text/pdat.h"

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
    const CIndexerControl* control =
        contains
            ? m_store.GetCharControl(position)
            : (position < m_store.GetIndexCount() ? &m_store.GetIndexControl(position) : nullptr);
    if (control == nullptr) continue;
    CResultList field;
    field.budget = m_result.budget;
    if (contains) {
      LookupPhraseKeys(control->GetIndexer(), ids.data(), static_cast<int>(ids.size()), &field);
    } else {
      control->GetIndexer().LookupIds(ids.data(), static_cast<int>(ids.size()), &field);
    }
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
  return records;
}

void CQuery::LookupContains(const tCondition& condition, const std::string& value) {
  thread_local std::vector<int32_t> units;
  ValueTerms(value, true, &units);
  if (units.empty()) return;  // nothing to find: the value restricts nothing
  const std::vector<int> positions = ReachedPositions(condition);
  if (condition.field != 0 && positions.size() == 1) {
    const CIndexerControl* control = m_store.GetCharControl(positions[0]);
    if (control != nullptr) {
      LookupPhraseKeys(control->GetIndexer(), units.data(), static_cast<int>(units.size()),
                       &m_result);
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
      const CIndexerControl* control = m_store.GetCharControl(position);
      if (control == nullptr) continue;
      field.entries = m_result.entries;
      field.seeded = true;
      field.budget = m_result.budget;
      LookupPhraseKeys(control->GetIndexer(), units.data(), static_cast<int>(units.size()), &field);
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
  for (const tCondition& condition : m_conditions) {
    if (condition.kind != ConditionKind::kIndexed) continue;
    const int index = m_schema.GetListPosition(condition.field, LIST_INDEXED);
    if (index < 0 || index >= m_store.GetIndexCount()) continue;
    const CIndexerControl& control = m_store.GetIndexControl(index);
    for (const std::string& value : DistinctValues(condition.values)) {
      ValueTerms(value, false, &ids);
      if (ids.empty()) {
        // No dictionary word stands for the value: it is found only inside or across words.
        std::fill(m_wordMatch.begin(), m_wordMatch.end(), 0);
        return;
      }
      LookupPhraseKeys(control.GetIndexer(), ids.data(), static_cast<int>(ids.size()), &words);
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
  const double records = std::max(m_store.GetRecordCount(), 1);
  // With one indexed value its document frequency is the hit count before the filters.
  size_t indexedValues = 0;
  for (const tCondition& condition : m_conditions) {
    if (condition.kind == ConditionKind::kIndexed) {
      indexedValues += DistinctValues(condition.values).size();
    }
  }
  std::vector<int32_t> ids;
  std::vector<int32_t> counts;
  std::vector<double> frequency(n);
  for (const tCondition& condition : m_conditions) {
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
        const CIndexerControl* control =
            contains ? m_store.GetCharControl(position) : &m_store.GetIndexControl(position);
        if (control == nullptr) continue;
        if (!CountPhraseOccurrences(control->GetIndexer(), ids.data(), static_cast<int>(ids.size()),
                                    hits, &counts, &m_result.budget)) {
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
