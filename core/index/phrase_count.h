// Counting a phrase's occurrences record by record, for relevance scoring: where the plain
// lookup only asks whether a record holds a phrase, this counts the places it starts.
// Read-only on the index; any number of threads may count over one index at once.
#pragma once

#include <cstdint>
#include <vector>

#include "core/index/indexer.h"

// For each record of `records` (ascending, no repeats), the number of positions p at which
// ids[j] stands at p + j for every j < count, in *counts (one entry per record; 0 when the
// record does not hold the phrase). Each record checked spends `count` steps of `budget`
// (may be null); once it is spent the remaining counts stay 0 and false is returned.
bool CountPhraseOccurrences(const CIndexer& index, const int32_t* ids, int count,
                            const std::vector<int32_t>& records, std::vector<int32_t>* counts,
                            tQueryBudget* budget);
