// Lookups over the whole served set: a store's own files, less the records its deletion list
// hides, and its delta (the records of rows changed or added since the files were built),
// under the set's record numbers. Every lookup of the query path goes through them; over a
// store without a delta they are the index's own lookups.
#pragma once

#include <cstdint>
#include <vector>

#include "core/index/indexer.h"

class CDataLineIndex;

// How a phrase of term ids is looked up: by CIndexer::LookupIds (word postings) or by
// LookupPhraseKeys (key leapfrog, phrase_keys.h).
enum class PhraseWay { kWords, kKeys };

// Applies the phrase ids[0 .. count) to `result` (seeded or not, as CIndexer::LookupIds does)
// on the word index (chars false) or contains index (true) of indexed position `position` of
// the whole served set: the store's own files, less the records its deletion list hides, and
// its delta, under the set's record numbers.
void LookupInSet(const CDataLineIndex& store, int position, bool chars, PhraseWay way,
                 const int32_t* ids, int count, CResultList* result);
// CountPhraseOccurrences over the whole set the same way (records ascending).
bool CountInSet(const CDataLineIndex& store, int position, bool chars, const int32_t* ids,
                int count, const std::vector<int32_t>& records, std::vector<int32_t>* counts,
                tQueryBudget* budget);
