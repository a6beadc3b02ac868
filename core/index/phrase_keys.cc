#include "core/index/phrase_keys.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

// Keys of one record span 2^32 positions. A damaged file may hold negative records, so keys
// are made by multiplying, never by shifting a negative number.
constexpr int64_t kRecordSpan = int64_t{1} << 32;
// What Next answers when no start is left.
constexpr int64_t kNoStart = INT64_MIN;

// key + by, held at the ends of the int64 range: the keys of a damaged file may lie at them.
int64_t Plus(int64_t key, int64_t by) {
  if (by > 0 && key > INT64_MAX - by) return INT64_MAX;
  if (by < 0 && key < INT64_MIN - by) return INT64_MIN;
  return key + by;
}

int64_t Key(const tINDEX_STRUCTURE& posting) {
  return int64_t{posting.record} * kRecordSpan + static_cast<uint32_t>(posting.position);
}

// One term of the phrase: its postings from the cursor on, and its place j in the phrase.
struct tTermList {
  const tINDEX_STRUCTURE* cursor;
  const tINDEX_STRUCTURE* end;
  int64_t offset;
};

// First posting at or after `from` whose key is not below `key`, by galloping.
const tINDEX_STRUCTURE* GallopToKey(const tINDEX_STRUCTURE* from, const tINDEX_STRUCTURE* end,
                                    int64_t key) {
  // The key is most often a few postings on: look at those one by one first.
  const tINDEX_STRUCTURE* near = from + std::min<ptrdiff_t>(end - from, 8);
  for (; from < near; ++from) {
    if (Key(*from) >= key) return from;
  }
  if (from >= end || Key(*from) >= key) return from;
  const tINDEX_STRUCTURE* low = from;  // Key(*low) < key
  size_t step = 1;
  const tINDEX_STRUCTURE* high = end;
  while (step < static_cast<size_t>(end - low)) {
    if (Key(low[step]) >= key) {
      high = low + step;
      break;
    }
    low += step;
    step *= 2;
  }
  return std::lower_bound(low + 1, high, key,
                          [](const tINDEX_STRUCTURE& p, int64_t k) { return Key(p) < k; });
}

class CLeapfrog {
 public:
  // `lists` in ascending length: lists[0] proposes the phrase starts.
  CLeapfrog(std::vector<tTermList>* lists, tQueryBudget* budget)
      : m_lists(*lists), m_budget(*budget) {}

  // The first phrase start key at or after `from` and below `limit`; kNoStart when there is
  // none (or the budget ran out).
  int64_t Next(int64_t from, int64_t limit) {
    tTermList& driver = m_lists[0];
    int64_t start = from;
    for (;;) {
      if (++m_steps >= tQueryBudget::kCheckEvery) {
        if (!m_budget.Spend(m_steps)) return kNoStart;
        m_steps = 0;
      }
      driver.cursor = GallopToKey(driver.cursor, driver.end, Plus(start, driver.offset));
      if (driver.cursor == driver.end) return kNoStart;
      start = Plus(Key(*driver.cursor), -driver.offset);
      if (start >= limit) return kNoStart;
      bool all = true;
      for (size_t j = 1; j < m_lists.size(); ++j) {
        tTermList& list = m_lists[j];
        const int64_t want = Plus(start, list.offset);
        list.cursor = GallopToKey(list.cursor, list.end, want);
        if (list.cursor == list.end) return kNoStart;
        const int64_t found = Key(*list.cursor);
        if (found != want) {
          start = Plus(found, -list.offset);  // no start before this one can hold list j
          all = false;
          break;
        }
      }
      if (all) return start;
    }
  }

  void Finish() {
    if (m_steps > 0) m_budget.Spend(m_steps);
  }

 private:
  std::vector<tTermList>& m_lists;
  tQueryBudget& m_budget;
  uint32_t m_steps = 0;
};

int32_t RecordOf(int64_t key) { return static_cast<int32_t>(key >> 32); }

int64_t RecordStart(int32_t record) { return int64_t{record} * kRecordSpan; }

// Seeds `entries` with the first start of the phrase in every record that holds it, walking
// the two shortest lists side by side (lists[0] and lists[1], of similar lengths) and checking
// the others where both agree. Returns false when the budget ran out.
bool SeedByMerge(std::vector<tTermList>* lists, std::vector<tINDEX_STRUCTURE>* entries,
                 tQueryBudget* budget) {
  tTermList& first = (*lists)[0];
  tTermList& second = (*lists)[1];
  const tINDEX_STRUCTURE* a = first.cursor;
  const tINDEX_STRUCTURE* b = second.cursor;
  uint32_t steps = 0;
  while (a < first.end && b < second.end) {
    if (++steps >= tQueryBudget::kCheckEvery) {
      if (!budget->Spend(steps)) return false;
      steps = 0;
    }
    const int64_t startA = Plus(Key(*a), -first.offset);
    const int64_t startB = Plus(Key(*b), -second.offset);
    if (startA != startB) {
      // Branch-free advance of the list that is behind.
      a += startA < startB;
      b += startB < startA;
      continue;
    }
    bool all = startA >= 0;
    for (size_t j = 2; j < lists->size() && all; ++j) {
      tTermList& list = (*lists)[j];
      const int64_t want = Plus(startA, list.offset);
      list.cursor = GallopToKey(list.cursor, list.end, want);
      all = list.cursor != list.end && Key(*list.cursor) == want;
    }
    if (!all) {
      ++a;
      ++b;
      continue;
    }
    const int32_t record = RecordOf(startA);
    entries->push_back({record, static_cast<int32_t>(startA - RecordStart(record))});
    if (record == INT32_MAX) break;
    // One entry per record: go on at the next record.
    const int64_t next = RecordStart(record + 1);
    a = GallopToKey(a, first.end, Plus(next, first.offset));
    b = GallopToKey(b, second.end, Plus(next, second.offset));
  }
  return steps == 0 || budget->Spend(steps);
}

}  // namespace

int LookupPhraseKeys(const CIndexer& index, const int32_t* ids, int count, CResultList* result) {
  if (!index.IsReadOnly()) return 0;
  if (result == nullptr || ids == nullptr || count <= 0) return 1;
  tQueryBudget& budget = result->budget;
  if (budget.stopped()) return 1;
  if (budget.maxWords > 0 && count > budget.maxWords) {
    budget.tooManyWords = true;
    return 1;
  }
  thread_local std::vector<tTermList> lists;
  lists.clear();
  bool empty = false;
  for (int j = 0; j < count; ++j) {
    int postings = 0;
    const tINDEX_STRUCTURE* first = index.GetPostings(ids[j], &postings);
    if (first == nullptr || postings <= 0) empty = true;
    lists.push_back({first, first + (first != nullptr ? postings : 0), j});
  }
  if (empty) {
    // A term that stands nowhere: no record holds the phrase.
    if (!result->seeded) {
      result->entries.clear();
      result->seeded = true;
    } else {
      for (tINDEX_STRUCTURE& entry : result->entries) entry.record = -1;
    }
    return 1;
  }
  std::stable_sort(lists.begin(), lists.end(), [](const tTermList& a, const tTermList& b) {
    return a.end - a.cursor < b.end - b.cursor;
  });
  CLeapfrog leapfrog(&lists, &budget);
  // Two lists of like length share most of their stretches, and a plain walk of both beats
  // galloping there; a much shorter list leaps.
  constexpr ptrdiff_t kMergeRatio = 8;
  if (!result->seeded && count >= 2 &&
      lists[1].end - lists[1].cursor <= kMergeRatio * (lists[0].end - lists[0].cursor)) {
    result->entries.clear();
    result->seeded = true;
    SeedByMerge(&lists, &result->entries, &budget);
    return 1;
  }
  if (!result->seeded) {
    result->entries.clear();
    result->seeded = true;
    for (int64_t from = 0;;) {
      const int64_t start = leapfrog.Next(from, INT64_MAX);
      if (start == kNoStart) break;
      const int32_t record = RecordOf(start);
      result->entries.push_back({record, static_cast<int32_t>(start - RecordStart(record))});
      if (record == INT32_MAX) break;
      from = RecordStart(record + 1);
    }
  } else {
    int32_t lastRecord = -1;
    int64_t lastStart = -1;
    for (tINDEX_STRUCTURE& entry : result->entries) {
      if (entry.record < 0) continue;
      if (entry.record != lastRecord) {
        lastRecord = entry.record;
        lastStart = entry.record == INT32_MAX
                        ? -1
                        : leapfrog.Next(RecordStart(entry.record), RecordStart(entry.record + 1));
      }
      if (lastStart < 0) {
        entry.record = -1;
      } else {
        entry.position = static_cast<int32_t>(lastStart - RecordStart(lastRecord));
      }
      if (budget.stopped()) break;
    }
  }
  leapfrog.Finish();
  return 1;
}

bool CountPhraseOccurrences(const CIndexer& index, const int32_t* ids, int count,
                            const std::vector<int32_t>& records, std::vector<int32_t>* counts,
                            tQueryBudget* budget) {
  counts->assign(records.size(), 0);
  if (count <= 0 || ids == nullptr || !index.IsReadOnly()) return true;
  std::vector<tTermList> lists;
  for (int j = 0; j < count; ++j) {
    int postings = 0;
    const tINDEX_STRUCTURE* first = index.GetPostings(ids[j], &postings);
    if (first == nullptr || postings <= 0) return true;  // a term that stands nowhere
    lists.push_back({first, first + postings, j});
  }
  if (count == 1) {  // one term: its postings in each record
    const tINDEX_STRUCTURE* cursor = lists[0].cursor;
    const tINDEX_STRUCTURE* end = lists[0].end;
    for (size_t i = 0; i < records.size(); ++i) {
      const int32_t record = records[i];
      cursor = GallopToKey(cursor, end, RecordStart(record));
      const tINDEX_STRUCTURE* first = cursor;
      if (record < INT32_MAX) cursor = GallopToKey(cursor, end, RecordStart(record + 1));
      (*counts)[i] = static_cast<int32_t>(cursor - first);
    }
    return budget == nullptr || budget->Spend(static_cast<uint32_t>(records.size()));
  }
  std::stable_sort(lists.begin(), lists.end(), [](const tTermList& a, const tTermList& b) {
    return a.end - a.cursor < b.end - b.cursor;
  });
  tQueryBudget unlimited;
  CLeapfrog leapfrog(&lists, budget != nullptr ? budget : &unlimited);
  for (size_t i = 0; i < records.size(); ++i) {
    const int32_t record = records[i];
    if (record < 0 || record == INT32_MAX) continue;
    const int64_t limit = RecordStart(record + 1);
    int32_t found = 0;
    for (int64_t from = RecordStart(record);;) {
      const int64_t start = leapfrog.Next(from, limit);
      if (start == kNoStart) break;
      ++found;
      from = Plus(start, 1);
    }
    (*counts)[i] = found;
    if (budget != nullptr && budget->stopped()) return false;
  }
  leapfrog.Finish();
  return budget == nullptr || !budget->stopped();
}
