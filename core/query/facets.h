// Facet counts: how many hits of a query have each value of a filter field, over all hits
// (not only a page). Sorted by count, most first, then by value, smallest first.
//
// Thread safety: reads the store only; any number of calls may run at once.
#pragma once

#include <cstdint>
#include <vector>

#include "core/index/indexer.h"

class CDataLineIndex;

struct tFacetCount {
  int32_t value;
  int32_t count;
};

// The counts of the filter values of column `filterColumn` (a position in the filter list)
// over the records of `hits` (their record members; eliminated entries, -1, and records the
// store does not hold are skipped), at most `limit` of them (all when limit < 0). The
// counts of all values, before the limit, sum to the number of records counted.
std::vector<tFacetCount> CountFacet(const CDataLineIndex& store, int filterColumn,
                                    const std::vector<tINDEX_STRUCTURE>& hits, int limit);
