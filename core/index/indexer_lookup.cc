// Phrase matching of CIndexer::Lookup, and CompactResult for the query engine.
#include <algorithm>
#include <climits>
#include <vector>

#include "core/index/indexer.h"
#include "core/text/pdat.h"

namespace {

// One word of the phrase: its posting slice, a cursor that only moves forward while the
// records asked about ascend, and the range of the current record.
struct tWordSlice {
  const tINDEX_STRUCTURE* begin;
  const tINDEX_STRUCTURE* end;
  const tINDEX_STRUCTURE* cursor;
  const tINDEX_STRUCTURE* recordEnd;
};

// First posting in [from, end) whose record is not below `record` (records ascend), found by
// galloping from `from`: the cost grows with the log of the distance skipped.
const tINDEX_STRUCTURE* GallopToRecord(const tINDEX_STRUCTURE* from, const tINDEX_STRUCTURE* end,
                                       int64_t record) {
  if (from >= end || from->record >= record) return from;
  const tINDEX_STRUCTURE* low = from;  // low->record < record
  size_t step = 1;
  const tINDEX_STRUCTURE* high = end;
  for (;;) {
    size_t left = static_cast<size_t>(end - low);
    if (step >= left) break;
    if (low[step].record >= record) {
      high = low + step;
      break;
    }
    low += step;
    step *= 2;
  }
  return std::lower_bound(low + 1, high, record, [](const tINDEX_STRUCTURE& posting, int64_t key) {
    return posting.record < key;
  });
}

bool HasPosition(const tINDEX_STRUCTURE* begin, const tINDEX_STRUCTURE* end, int64_t position) {
  const tINDEX_STRUCTURE* found = std::lower_bound(
      begin, end, position,
      [](const tINDEX_STRUCTURE& posting, int64_t key) { return posting.position < key; });
  return found != end && found->position == position;
}

// Decides phrase membership record by record. Records must be asked in ascending order for
// the cursors to stay valid; a lower record than the last one restarts them.
class CPhraseMatcher {
 public:
  CPhraseMatcher(std::vector<tWordSlice>* words, tQueryBudget* budget)
      : m_words(*words), m_budget(*budget) {}

  // True when `record` holds word j at position p + j for every j and some p; *start = p.
  bool Holds(int32_t record, int64_t* start) {
    if (record < m_lastRecord) {
      for (tWordSlice& word : m_words) word.cursor = word.begin;
    }
    m_lastRecord = record;
    if (m_words.size() == 1) {  // a single word: the record only has to hold it
      tWordSlice& word = m_words[0];
      word.cursor = GallopToRecord(word.cursor, word.end, record);
      if (word.cursor == word.end || word.cursor->record != record) return false;
      *start = word.cursor->position;
      return true;
    }
    size_t rarest = 0;
    for (size_t j = 0; j < m_words.size(); ++j) {
      tWordSlice& word = m_words[j];
      word.cursor = GallopToRecord(word.cursor, word.end, record);
      if (word.cursor == word.end || word.cursor->record != record) return false;
      word.recordEnd = GallopToRecord(word.cursor, word.end, int64_t{record} + 1);
      if (word.recordEnd - word.cursor < m_words[rarest].recordEnd - m_words[rarest].cursor) {
        rarest = j;
      }
    }
    // Every occurrence of the rarest word proposes a start; the others are checked there.
    const tWordSlice& anchor = m_words[rarest];
    // Steps are counted in a local and handed to the budget in batches, so that the loop
    // stores nothing the postings could alias.
    uint32_t steps = 0;
    for (const tINDEX_STRUCTURE* posting = anchor.cursor; posting < anchor.recordEnd; ++posting) {
      steps += static_cast<uint32_t>(m_words.size());
      if (steps >= tQueryBudget::kCheckEvery) {
        if (!m_budget.Spend(steps)) return false;
        steps = 0;
      }
      int64_t phraseStart = int64_t{posting->position} - static_cast<int64_t>(rarest);
      bool all = true;
      for (size_t j = 0; j < m_words.size() && all; ++j) {
        if (j == rarest) continue;
        all = HasPosition(m_words[j].cursor, m_words[j].recordEnd,
                          phraseStart + static_cast<int64_t>(j));
      }
      if (all) {
        *start = phraseStart;
        return true;
      }
    }
    return false;
  }

 private:
  std::vector<tWordSlice>& m_words;
  tQueryBudget& m_budget;
  int32_t m_lastRecord = INT32_MIN;
};

int32_t ClampPosition(int64_t position) {
  return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(position, INT32_MIN), INT32_MAX));
}

// Fills `seed` with one entry per record holding the phrase, walking the rarest word's
// records: the cost follows the rarest word, not the first.
void SeedFromPhrase(std::vector<tWordSlice>* words, std::vector<tINDEX_STRUCTURE>* seed,
                    tQueryBudget* budget) {
  seed->clear();
  if (words->size() == 1) {  // one word: its distinct records, in one pass
    int32_t last = -1;
    for (const tINDEX_STRUCTURE* posting = (*words)[0].begin; posting < (*words)[0].end;
         ++posting) {
      if (posting->record > last) {
        last = posting->record;
        seed->push_back(*posting);
      }
    }
    return;
  }
  size_t rarest = 0;
  for (size_t j = 1; j < words->size(); ++j) {
    if ((*words)[j].end - (*words)[j].begin < (*words)[rarest].end - (*words)[rarest].begin) {
      rarest = j;
    }
  }
  const tINDEX_STRUCTURE* walk = (*words)[rarest].begin;
  const tINDEX_STRUCTURE* end = (*words)[rarest].end;
  CPhraseMatcher matcher(words, budget);
  const auto stepsPerRecord = static_cast<uint32_t>(words->size());
  uint32_t steps = 0;
  while (walk < end) {
    steps += stepsPerRecord;
    if (steps >= tQueryBudget::kCheckEvery) {
      if (!budget->Spend(steps)) return;
      steps = 0;
    }
    int32_t record = walk->record;
    int64_t start = 0;
    // Negative record numbers only come from a damaged file; they never enter a result.
    if (record >= 0 && matcher.Holds(record, &start)) {
      seed->push_back({record, ClampPosition(start)});
    }
    walk = GallopToRecord(walk, end, int64_t{record} + 1);
  }
}

// Sets record -1 on every live entry whose record does not hold the phrase.
void FilterByPhrase(std::vector<tWordSlice>* words, std::vector<tINDEX_STRUCTURE>* entries,
                    tQueryBudget* budget) {
  CPhraseMatcher matcher(words, budget);
  const auto stepsPerRecord = static_cast<uint32_t>(words->size());
  uint32_t steps = 0;
  int32_t lastRecord = -1;
  bool lastHolds = false;
  int32_t lastStart = 0;
  for (tINDEX_STRUCTURE& entry : *entries) {
    if (entry.record < 0) continue;
    if (entry.record != lastRecord) {
      steps += stepsPerRecord;
      if (steps >= tQueryBudget::kCheckEvery) {
        if (!budget->Spend(steps)) return;
        steps = 0;
      }
      int64_t start = 0;
      lastRecord = entry.record;
      lastHolds = matcher.Holds(entry.record, &start);
      lastStart = ClampPosition(start);
    }
    if (lastHolds) {
      entry.position = lastStart;
    } else {
      entry.record = -1;
    }
  }
}

}  // namespace

int CIndexer::Lookup(const char* text, CResultList* result) const {
  if (!m_readOnly) return 0;
  if (text == nullptr || result == nullptr || m_trie == nullptr) return 1;
  // Scratch per thread: many connection threads look up in one index at once.
  thread_local std::vector<int32_t> ids;
  int count = m_trie->Segment(text, &ids, nullptr);
  count = std::min(count, static_cast<int>(ids.size()));
  return LookupIds(ids.data(), count, result);
}

int CIndexer::LookupIds(const int32_t* ids, int count, CResultList* result) const {
  if (!m_readOnly) return 0;
  if (result == nullptr || (ids == nullptr && count > 0)) return 1;
  thread_local std::vector<tWordSlice> words;
  if (count <= 0) return 1;  // no recognised word: the value restricts nothing
  tQueryBudget& budget = result->budget;
  if (budget.stopped()) return 1;
  if (budget.maxWords > 0 && count > budget.maxWords) {
    budget.tooManyWords = true;
    return 1;
  }
  words.clear();
  for (int j = 0; j < count; ++j) {
    int postingCount = 0;
    const tINDEX_STRUCTURE* postings = GetPostings(ids[j], &postingCount);
    if (postings == nullptr) postingCount = 0;
    words.push_back({postings, postings + postingCount, postings, postings});
  }
  if (!result->seeded) {
    SeedFromPhrase(&words, &result->entries, &budget);
    result->seeded = true;
  } else {
    FilterByPhrase(&words, &result->entries, &budget);
  }
  return 1;
}

int CompactResult(std::vector<tINDEX_STRUCTURE>* result) {
  if (result == nullptr) return 0;
  size_t kept = 0;
  for (size_t i = 0; i < result->size(); ++i) {
    int32_t record = (*result)[i].record;
    if (record < 0) continue;
    if (kept > 0 && (*result)[kept - 1].record == record) continue;
    (*result)[kept++] = (*result)[i];
  }
  result->resize(kept);
  return static_cast<int>(kept);
}
