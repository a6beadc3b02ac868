#include "core/query/facets.h"

#include <algorithm>

#include "core/records/data_line_index.h"

std::vector<tFacetCount> CountFacet(const CDataLineIndex& store, int filterColumn,
                                    const std::vector<tINDEX_STRUCTURE>& hits, int limit) {
  std::vector<int32_t> values;
  values.reserve(hits.size());
  const int32_t records = store.GetRecordCount();
  for (const tINDEX_STRUCTURE& hit : hits) {
    if (hit.record < 0 || hit.record >= records) continue;
    values.push_back(store.GetFilterValue(hit.record, filterColumn));
  }
  std::vector<tFacetCount> counts;
  if (values.empty()) return counts;
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  const int64_t range = int64_t{*high} - *low + 1;
  if (range <= static_cast<int64_t>(values.size()) * 4 + 4096) {
    // Values close together (years, categories): one counter per value in the range.
    const int32_t base = *low;
    std::vector<int32_t> table(static_cast<size_t>(range), 0);
    for (int32_t value : values) ++table[static_cast<size_t>(int64_t{value} - base)];
    for (size_t i = 0; i < table.size(); ++i) {
      if (table[i] > 0)
        counts.push_back({static_cast<int32_t>(base + static_cast<int64_t>(i)), table[i]});
    }
  } else {
    std::sort(values.begin(), values.end());
    for (size_t i = 0; i < values.size();) {
      size_t j = i;
      while (j < values.size() && values[j] == values[i]) ++j;
      counts.push_back({values[i], static_cast<int32_t>(j - i)});
      i = j;
    }
  }
  auto order = [](const tFacetCount& a, const tFacetCount& b) {
    return a.count != b.count ? a.count > b.count : a.value < b.value;
  };
  if (limit >= 0 && static_cast<size_t>(limit) < counts.size()) {
    std::partial_sort(counts.begin(), counts.begin() + limit, counts.end(), order);
    counts.resize(static_cast<size_t>(limit));
  } else {
    std::sort(counts.begin(), counts.end(), order);
  }
  return counts;
}
