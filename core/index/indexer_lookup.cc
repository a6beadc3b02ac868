// Phrase matching of CIndexer::Lookup, and CompactResult for the query engine.
//
// A phrase of several words is matched by a leapfrog over the words' posting lists: the
// cursors of all words are moved, rarest word first, to the lowest record that every word
// holds, each by galloping, so that a long list is skipped through rather than walked. Only
// in a record that every word holds are positions compared, by a merge: the word with the
// fewest postings in the record proposes the starts, and the other words' cursors move
// forward with them. A list that is already seeded is filtered the same way, its entries
// taking part in the leapfrog as one more list.
#include <algorithm>
#include <climits>
#include <vector>

#include "core/index/indexer.h"
#include "core/text/pdat.h"

namespace {

using Posting = tINDEX_STRUCTURE;

// A posting as one number for the phrase's word at place `ordinal`: the record in the high
// half, the position minus the ordinal in the low half (both biased, so that the order of
// the numbers is the order of the postings). A record holds the phrase starting at p exactly
// when every word j has a posting whose key is that of (record, p + j) for word j, that is
// one key that all the words' lists hold: matching a phrase is intersecting sorted lists.
// Unsigned arithmetic, so that the numbers of a damaged file cannot overflow.
inline uint64_t RecordKey(int64_t record) {
  return static_cast<uint64_t>(record + (int64_t{1} << 31)) << 32;
}
inline uint64_t Key(const Posting& posting, uint64_t ordinal) {
  return RecordKey(posting.record) + (static_cast<uint32_t>(posting.position) ^ 0x80000000u) -
         ordinal;
}

// One word of the phrase: its postings and a cursor that only moves forward.
struct tWordSlice {
  const Posting* begin;
  const Posting* cursor;
  const Posting* end;
  uint64_t ordinal;  // the word's place in the phrase
};

// First posting in [from, end) whose key is not below `key` (keys ascend). The next few
// postings are looked at in turn, then the search gallops: the cost grows with the log of
// the distance skipped.
inline const Posting* SkipToKey(const Posting* from, const Posting* end, uint64_t key,
                                uint64_t ordinal) {
  auto below = [ordinal](const Posting& posting, uint64_t wanted) {
    return Key(posting, ordinal) < wanted;
  };
  for (int i = 0; i < 16; ++i, ++from) {
    if (from >= end || !below(*from, key)) return from;
  }
  const Posting* low = from - 1;  // below(*low, key)
  size_t step = 1;
  const Posting* high = end;
  for (;;) {
    size_t left = static_cast<size_t>(end - low);
    if (step >= left) break;
    if (!below(low[step], key)) {
      high = low + step;
      break;
    }
    low += step;
    step *= 2;
  }
  return std::lower_bound(low + 1, high, key, below);
}

int32_t ClampPosition(int64_t position) {
  return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(position, INT32_MIN), INT32_MAX));
}

// Phrase matching as an intersection of the words' key lists (a leapfrog: every word in
// turn skips to the highest key seen so far, until all stand on one). Records are asked in
// ascending order; a lower one restarts the cursors. The words are kept rarest first, so
// that the long lists are skipped through.
class CPhraseMatcher {
 public:
  CPhraseMatcher(std::vector<tWordSlice>* words, tQueryBudget* budget)
      : m_words(words->data()), m_count(words->size()), m_budget(*budget) {
    // Rarest first (std::sort allocates nothing).
    std::sort(m_words, m_words + m_count, [](const tWordSlice& a, const tWordSlice& b) {
      const auto sizeA = a.end - a.cursor;
      const auto sizeB = b.end - b.cursor;
      return sizeA != sizeB ? sizeA < sizeB : a.ordinal < b.ordinal;
    });
  }

  // Finds the lowest record at or after `record` that holds the phrase, with its lowest
  // start in *start. Returns that record; INT64_MAX when there is none or the budget ran
  // out. The search may give up at any record above `limit` and return that record (it then
  // holds no phrase below it, and *start is not set).
  int64_t Next(int64_t record, int64_t limit, int64_t* start) {
    if (record < m_lastAsked) {
      for (size_t j = 0; j < m_count; ++j) m_words[j].cursor = m_words[j].begin;
    }
    m_lastAsked = record;
    const uint64_t stop = limit >= INT32_MAX ? UINT64_MAX : RecordKey(limit + 1);
    uint64_t target = RecordKey(std::max<int64_t>(record, 0));
    size_t agreeing = 0;  // words whose cursor stands on `target`
    size_t j = 0;
    uint64_t steps = m_steps;
    for (;;) {
      if (++steps >= tQueryBudget::kCheckEvery) {
        if (!m_budget.Spend(static_cast<uint32_t>(steps))) return Finish(INT64_MAX, 0);
        steps = 0;
      }
      tWordSlice& word = m_words[j];
      word.cursor = SkipToKey(word.cursor, word.end, target, word.ordinal);
      if (word.cursor == word.end) return Finish(INT64_MAX, steps);
      const uint64_t key = Key(*word.cursor, word.ordinal);
      if (key != target) {
        target = key;
        agreeing = 0;
        if (target >= stop) return Finish(std::max<int64_t>(word.cursor->record, limit + 1), steps);
      }
      if (++agreeing == m_count) {
        // Keys of two records can meet only in a damaged file; they are not a match.
        const int32_t found = m_words[0].cursor->record;
        bool oneRecord = true;
        for (size_t k = 1; k < m_count; ++k) oneRecord &= m_words[k].cursor->record == found;
        if (oneRecord) {
          *start = int64_t{m_words[0].cursor->position} - static_cast<int64_t>(m_words[0].ordinal);
          return Finish(found, steps);
        }
        if (target == UINT64_MAX) return Finish(INT64_MAX, steps);
        ++target;
        agreeing = 0;
      }
      j = j + 1 == m_count ? 0 : j + 1;
    }
  }

 private:
  int64_t Finish(int64_t record, uint64_t steps) {
    m_steps = steps;
    return record;
  }

  tWordSlice* m_words;
  size_t m_count;
  tQueryBudget& m_budget;
  // No key that all words hold lies between this record's first key and the cursors.
  int64_t m_lastAsked = INT64_MIN;
  uint64_t m_steps = 0;  // counted, not yet handed to the budget
};

// Fills `seed` with one entry per record holding the phrase.
void SeedFromPhrase(std::vector<tWordSlice>* words, std::vector<Posting>* seed,
                    tQueryBudget* budget) {
  seed->clear();
  if (words->size() == 1) {  // one word: its distinct records, in one pass
    const Posting* posting = (*words)[0].cursor;
    const Posting* end = (*words)[0].end;
    // Room for the most records the word can have, so that the list is never copied as it
    // grows (pages of the room that no entry reaches are never touched). In blocks through
    // a buffer, so that the loop has no branch on the data.
    seed->reserve(static_cast<size_t>(end - posting));
    constexpr size_t kBlock = 2048;
    Posting block[kBlock + 1];
    int32_t last = -1;
    while (posting < end) {
      const size_t take = std::min(kBlock, static_cast<size_t>(end - posting));
      size_t kept = 0;
      for (size_t i = 0; i < take; ++i) {
        const Posting current = posting[i];
        block[kept] = current;
        kept += current.record > last ? 1 : 0;
        last = std::max(last, current.record);
      }
      seed->insert(seed->end(), block, block + kept);
      posting += take;
    }
    return;
  }
  CPhraseMatcher matcher(words, budget);
  int64_t record = 0;  // negative record numbers only come from a damaged file
  while (record <= INT32_MAX) {
    int64_t start = 0;
    record = matcher.Next(record, INT64_MAX, &start);
    if (record > INT32_MAX) return;
    seed->push_back({static_cast<int32_t>(record), ClampPosition(start)});
    ++record;
  }
}

// Sets record -1 on every live entry whose record does not hold the phrase.
void FilterByPhrase(std::vector<tWordSlice>* words, std::vector<Posting>* entries,
                    tQueryBudget* budget) {
  CPhraseMatcher matcher(words, budget);
  int64_t next = INT64_MIN;  // no record from lastRecord on below this one holds the phrase
  int32_t lastRecord = INT32_MIN;
  bool lastHolds = false;
  int32_t lastStart = 0;
  for (Posting& entry : *entries) {
    const int32_t record = entry.record;
    if (record < 0) continue;
    if (record != lastRecord) {
      if (record < lastRecord) next = INT64_MIN;  // out of order: look again from here
      lastRecord = record;
      lastHolds = false;
      if (record >= next) {
        int64_t start = 0;
        next = matcher.Next(record, record, &start);
        if (budget->expired) return;
        if (next == record) {
          lastHolds = true;
          lastStart = ClampPosition(start);
          next = int64_t{record} + 1;
        }
      }
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
  if (count <= 0) return 1;  // no recognised word: the value restricts nothing
  tQueryBudget& budget = result->budget;
  if (budget.stopped()) return 1;
  if (budget.maxWords > 0 && count > budget.maxWords) {
    budget.tooManyWords = true;
    return 1;
  }
  thread_local std::vector<tWordSlice> words;
  words.clear();
  for (int j = 0; j < count; ++j) {
    int postingCount = 0;
    const Posting* postings = GetPostings(ids[j], &postingCount);
    if (postings == nullptr) postingCount = 0;
    words.push_back({postings, postings, postings + postingCount, static_cast<uint64_t>(j)});
  }
  if (!result->seeded) {
    SeedFromPhrase(&words, &result->entries, &budget);
    result->seeded = true;
  } else {
    FilterByPhrase(&words, &result->entries, &budget);
  }
  return 1;
}

bool CIndexer::OneWordValue(const char* text, int32_t* termId) const {
  if (!m_readOnly || text == nullptr || m_trie == nullptr) return false;
  thread_local std::vector<int32_t> ids;
  const int count = std::min(m_trie->Segment(text, &ids, nullptr), static_cast<int>(ids.size()));
  if (count != 1) return false;
  *termId = ids[0];
  return true;
}

int32_t CIndexer::CountRecords(int32_t termId, int32_t* lastRecord) const {
  *lastRecord = -1;
  if (!m_readOnly) return -1;
  int postingCount = 0;
  const Posting* postings = GetPostings(termId, &postingCount);
  if (postings == nullptr) return 0;
  std::atomic<uint64_t>* kept = nullptr;
  uint64_t figures = UINT64_MAX;
  if (postingCount >= kCountKeptFrom && m_recordCounts != nullptr) {
    const auto slot = std::lower_bound(m_countedTerms.begin(), m_countedTerms.end(), termId);
    if (slot != m_countedTerms.end() && *slot == termId) {
      kept = &m_recordCounts[static_cast<size_t>(slot - m_countedTerms.begin())];
      figures = kept->load(std::memory_order_relaxed);
    }
  }
  if (figures == UINT64_MAX) {
    // The records the one-word seed takes: each record above all before it.
    int32_t last = -1;
    uint32_t records = 0;
    for (const Posting* posting = postings; posting < postings + postingCount; ++posting) {
      records += posting->record > last ? 1 : 0;
      last = std::max(last, posting->record);
    }
    figures = (static_cast<uint64_t>(static_cast<uint32_t>(last) + 1) << 32) | records;
    if (kept != nullptr) kept->store(figures, std::memory_order_relaxed);
  }
  *lastRecord = static_cast<int32_t>(static_cast<uint32_t>(figures >> 32) - 1);
  return static_cast<int32_t>(figures & 0xFFFFFFFFu);
}

int CompactResult(std::vector<tINDEX_STRUCTURE>* result) {
  if (result == nullptr) return 0;
  const size_t size = result->size();
  tINDEX_STRUCTURE* entries = result->data();
  // The entries before the first hole or repeated record stay where they are: a list that
  // is compact already is only read.
  size_t kept = 0;
  while (kept < size && entries[kept].record >= 0 &&
         (kept == 0 || entries[kept - 1].record != entries[kept].record)) {
    ++kept;
  }
  for (size_t i = kept; i < size; ++i) {
    const int32_t record = entries[i].record;
    if (record < 0) continue;
    if (kept > 0 && entries[kept - 1].record == record) continue;
    entries[kept++] = entries[i];
  }
  result->resize(kept);
  return static_cast<int>(kept);
}
