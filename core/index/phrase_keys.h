// Phrase matching over (record, position) keys, for the contains indexes: each posting is read
// as one 64-bit key, record * 2^32 + position, so that a phrase of terms t0 .. tk-1 stands at
// key K when each tj has a posting at K + j. The lists are intersected leapfrog-fashion: the
// shortest list proposes a key, every other list gallops to its shifted key, and a miss moves
// the proposal past what that list holds. The cost follows the shortest list and the gaps
// skipped, not the records the lists share; that suits character units, whose lists are long
// and share most records. Read-only on the index; safe on many threads at once.
#pragma once

#include <cstdint>
#include <vector>

#include "core/index/indexer.h"

// Applies the phrase ids[0 .. count) to `result` as CIndexer::LookupIds does (seeds an unseeded
// list with one entry per record holding the phrase, else eliminates the live entries whose
// record does not hold it; count 0 restricts nothing; work is spent from result->budget, and
// more terms than its maxWords allow stop it). Returns 0 on a building index, else 1.
int LookupPhraseKeys(const CIndexer& index, const int32_t* ids, int count, CResultList* result);

// For each record of `records` (ascending, no repeats), the number of keys at which the phrase
// ids[0 .. count) starts, in *counts (one entry per record; 0 where it does not stand), for
// relevance scoring. Work is spent from `budget` (may be null); false once it ran out, the
// remaining counts then 0.
bool CountPhraseOccurrences(const CIndexer& index, const int32_t* ids, int count,
                            const std::vector<int32_t>& records, std::vector<int32_t>* counts,
                            tQueryBudget* budget);
