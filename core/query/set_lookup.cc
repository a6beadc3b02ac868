#include "core/query/set_lookup.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/index/indexer_control.h"
#include "core/index/phrase_keys.h"
#include "core/records/data_line_index.h"

namespace {

// The word index (chars false) or contains index (true) of indexed position `position`; null
// when the store has none there.
const CIndexer* IndexAt(const CDataLineIndex& store, int position, bool chars) {
  if (chars) {
    const CIndexerControl* control = store.GetCharControl(position);
    return control != nullptr ? &control->GetIndexer() : nullptr;
  }
  return position >= 0 && position < store.GetIndexCount()
             ? &store.GetIndexControl(position).GetIndexer()
             : nullptr;
}

void RunPhrase(const CIndexer& index, PhraseWay way, const int32_t* ids, int count,
               CResultList* result) {
  if (way == PhraseWay::kKeys) {
    LookupPhraseKeys(index, ids, count, result);
  } else {
    index.LookupIds(ids, count, result);
  }
}

}  // namespace

void LookupInSet(const CDataLineIndex& store, int position, bool chars, PhraseWay way,
                 const int32_t* ids, int count, CResultList* result) {
  const CIndexer* own = IndexAt(store, position, chars);
  const CDataLineIndex* delta = store.delta();
  if (delta == nullptr) {
    if (own != nullptr) RunPhrase(*own, way, ids, count, result);
    return;
  }
  // The own files and the delta are looked up apart, each on its share of a seeded list; the
  // own files' records that the deletion list hides take no part.
  const CIndexer* changed = IndexAt(*delta, position, chars);
  const CRecordList& hidden = store.deletions();
  // Most lookups need only the own files: a seeded list without records of the delta, or a
  // phrase with a term that the delta does not hold. They run on the list itself.
  bool deltaTakesPart = changed != nullptr && count > 0;
  if (result->seeded) {
    deltaTakesPart = false;
    for (const tINDEX_STRUCTURE& entry : result->entries) {
      if (store.IsDeltaRecord(entry.record)) {
        deltaTakesPart = true;
        break;
      }
    }
  } else {
    for (int i = 0; i < count && deltaTakesPart; ++i) {
      int postings = 0;
      changed->GetPostings(ids[i], &postings);
      deltaTakesPart = postings > 0;
    }
  }
  if (!deltaTakesPart) {
    if (own != nullptr) RunPhrase(*own, way, ids, count, result);
    const int32_t ownCount = store.GetOwnRecordCount();
    for (tINDEX_STRUCTURE& entry : result->entries) {
      if (entry.record >= ownCount || hidden.IsDeleted(entry.record)) entry.record = -1;
    }
    return;
  }
  const int32_t ownCount = store.GetOwnRecordCount();
  if (!result->seeded) {
    // The own files' list is made in place, the delta's beside it, and the two are merged
    // from their ends into the list's own storage: one pass, no list of the whole size made.
    if (own != nullptr) RunPhrase(*own, way, ids, count, result);
    CResultList deltaList;
    deltaList.budget = result->budget;
    if (!deltaList.budget.stopped()) RunPhrase(*changed, way, ids, count, &deltaList);
    result->budget = deltaList.budget;
    if (!result->seeded && !deltaList.seeded) return;  // the value restricts nothing
    result->seeded = true;
    // One entry per record before the merge: the list then grows by the delta's records
    // within the storage its postings took.
    CompactResult(&result->entries);
    CompactResult(&deltaList.entries);
    std::vector<tINDEX_STRUCTURE>& entries = result->entries;
    // Records past the own files (a damaged index) take no part.
    while (!entries.empty() && entries.back().record >= ownCount) entries.pop_back();
    const size_t mine = entries.size();
    const auto byRecord = [](const tINDEX_STRUCTURE& entry, int32_t record) {
      return entry.record < record;
    };
    // Where each of the delta's records goes among the own ones (looked up while the own list
    // is still whole), then the hidden own records cut out of it (by halving when the
    // deletion list is short beside the list, else by its bitmap); the own list moves in
    // blocks.
    std::vector<tINDEX_STRUCTURE> theirs;
    std::vector<size_t> at;
    theirs.reserve(deltaList.entries.size());
    at.reserve(deltaList.entries.size());
    size_t from = 0;
    const int32_t deltaCount = delta->GetRecordCount();
    for (const tINDEX_STRUCTURE& entry : deltaList.entries) {
      if (entry.record < 0 || entry.record >= deltaCount) continue;  // a damaged delta index
      const int32_t global = store.DeltaGlobal(entry.record);
      from = static_cast<size_t>(std::lower_bound(entries.begin() + static_cast<long>(from),
                                                  entries.begin() + static_cast<long>(mine), global,
                                                  byRecord) -
                                 entries.begin());
      theirs.push_back({global, entry.position});
      at.push_back(from);
    }
    if (hidden.records().size() < mine / 16) {
      from = 0;
      for (int32_t record : hidden.records()) {
        from = static_cast<size_t>(std::lower_bound(entries.begin() + static_cast<long>(from),
                                                    entries.begin() + static_cast<long>(mine),
                                                    record, byRecord) -
                                   entries.begin());
        if (from == mine) break;
        if (entries[from].record == record) entries[from].record = -1;
      }
    } else {
      for (size_t i = 0; i < mine; ++i) {
        if (hidden.IsDeleted(entries[i].record)) entries[i].record = -1;
      }
    }
    entries.resize(mine + theirs.size());
    size_t end = mine;
    size_t write = entries.size();
    for (size_t j = theirs.size(); j-- > 0;) {
      const size_t block = end - at[j];
      write -= block;
      if (block > 0) {
        std::memmove(entries.data() + write, entries.data() + at[j],
                     block * sizeof(tINDEX_STRUCTURE));
      }
      entries[--write] = theirs[j];
      end = at[j];
    }
    return;
  }
  // A seeded list: each part of it is looked up in its own files.
  CResultList ownList;
  CResultList deltaList;
  std::vector<size_t> ownAt;
  std::vector<size_t> deltaAt;
  ownList.seeded = deltaList.seeded = true;
  for (size_t i = 0; i < result->entries.size(); ++i) {
    tINDEX_STRUCTURE& entry = result->entries[i];
    if (entry.record < 0) continue;
    const int32_t local = store.DeltaRecord(entry.record);
    if (local >= 0) {
      deltaList.entries.push_back({local, entry.position});
      deltaAt.push_back(i);
    } else if (entry.record < ownCount && !hidden.IsDeleted(entry.record)) {
      ownList.entries.push_back(entry);
      ownAt.push_back(i);
    }
    entry.record = -1;  // what holds is put back below
  }
  ownList.budget = result->budget;
  if (own != nullptr) RunPhrase(*own, way, ids, count, &ownList);
  deltaList.budget = ownList.budget;
  if (changed != nullptr) {
    if (!deltaList.budget.stopped()) RunPhrase(*changed, way, ids, count, &deltaList);
  } else if (count > 0) {
    // The delta has no such index: none of its records holds the phrase there.
    for (tINDEX_STRUCTURE& entry : deltaList.entries) entry.record = -1;
  }
  result->budget = deltaList.budget;
  for (size_t i = 0; i < ownAt.size(); ++i) result->entries[ownAt[i]] = ownList.entries[i];
  for (size_t i = 0; i < deltaAt.size(); ++i) {
    tINDEX_STRUCTURE entry = deltaList.entries[i];
    if (entry.record >= 0) entry.record = store.DeltaGlobal(entry.record);
    result->entries[deltaAt[i]] = entry;
  }
}

bool CountInSet(const CDataLineIndex& store, int position, bool chars, const int32_t* ids,
                int count, const std::vector<int32_t>& records, std::vector<int32_t>* counts,
                tQueryBudget* budget) {
  const CIndexer* own = IndexAt(store, position, chars);
  const CDataLineIndex* delta = store.delta();
  if (delta == nullptr) {
    if (own == nullptr) {
      counts->assign(records.size(), 0);
      return true;
    }
    return CountPhraseOccurrences(*own, ids, count, records, counts, budget);
  }
  std::vector<int32_t> ownRecords;
  std::vector<int32_t> deltaRecords;
  for (int32_t record : records) {
    const int32_t local = store.DeltaRecord(record);
    if (local >= 0) {
      deltaRecords.push_back(local);
    } else {
      ownRecords.push_back(record);
    }
  }
  std::vector<int32_t> ownCounts(ownRecords.size(), 0);
  std::vector<int32_t> deltaCounts(deltaRecords.size(), 0);
  const CIndexer* changed = IndexAt(*delta, position, chars);
  bool done =
      own == nullptr || CountPhraseOccurrences(*own, ids, count, ownRecords, &ownCounts, budget);
  done = done && (changed == nullptr ||
                  CountPhraseOccurrences(*changed, ids, count, deltaRecords, &deltaCounts, budget));
  counts->assign(records.size(), 0);
  size_t a = 0;
  size_t b = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    (*counts)[i] = store.IsDeltaRecord(records[i]) ? deltaCounts[b++] : ownCounts[a++];
  }
  return done;
}
