#include "core/index/phrase_count.h"

#include <algorithm>

namespace {

struct tSlice {
  const tINDEX_STRUCTURE* cursor;
  const tINDEX_STRUCTURE* end;
  const tINDEX_STRUCTURE* recordEnd;
};

// First posting in [from, end) whose record is not below `record`, by galloping.
const tINDEX_STRUCTURE* Gallop(const tINDEX_STRUCTURE* from, const tINDEX_STRUCTURE* end,
                               int64_t record) {
  if (from >= end || from->record >= record) return from;
  size_t step = 1;
  const tINDEX_STRUCTURE* low = from;
  const tINDEX_STRUCTURE* high = end;
  while (step < static_cast<size_t>(end - low)) {
    if (low[step].record >= record) {
      high = low + step;
      break;
    }
    low += step;
    step *= 2;
  }
  return std::lower_bound(low + 1, high, record,
                          [](const tINDEX_STRUCTURE& p, int64_t key) { return p.record < key; });
}

bool Holds(const tINDEX_STRUCTURE* begin, const tINDEX_STRUCTURE* end, int64_t position) {
  const tINDEX_STRUCTURE* found =
      std::lower_bound(begin, end, position,
                       [](const tINDEX_STRUCTURE& p, int64_t key) { return p.position < key; });
  return found != end && found->position == position;
}

}  // namespace

bool CountPhraseOccurrences(const CIndexer& index, const int32_t* ids, int count,
                            const std::vector<int32_t>& records, std::vector<int32_t>* counts,
                            tQueryBudget* budget) {
  counts->assign(records.size(), 0);
  if (count <= 0 || ids == nullptr) return true;
  std::vector<tSlice> slices;
  for (int j = 0; j < count; ++j) {
    int postings = 0;
    const tINDEX_STRUCTURE* first = index.GetPostings(ids[j], &postings);
    if (first == nullptr || postings <= 0) return true;  // a word that stands nowhere
    slices.push_back({first, first + postings, first});
  }
  uint32_t steps = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    steps += static_cast<uint32_t>(count);
    if (budget != nullptr && steps >= tQueryBudget::kCheckEvery) {
      if (!budget->Spend(steps)) return false;
      steps = 0;
    }
    const int64_t record = records[i];
    size_t rarest = 0;
    bool all = true;
    for (size_t j = 0; j < slices.size() && all; ++j) {
      tSlice& slice = slices[j];
      slice.cursor = Gallop(slice.cursor, slice.end, record);
      all = slice.cursor != slice.end && slice.cursor->record == record;
      if (!all) break;
      slice.recordEnd = Gallop(slice.cursor, slice.end, record + 1);
      if (slice.recordEnd - slice.cursor < slices[rarest].recordEnd - slices[rarest].cursor) {
        rarest = j;
      }
    }
    if (!all) continue;
    int32_t found = 0;
    const tSlice& anchor = slices[rarest];
    for (const tINDEX_STRUCTURE* p = anchor.cursor; p < anchor.recordEnd; ++p) {
      const int64_t start = int64_t{p->position} - static_cast<int64_t>(rarest);
      bool holds = true;
      for (size_t j = 0; j < slices.size() && holds; ++j) {
        if (j != rarest) {
          holds = Holds(slices[j].cursor, slices[j].recordEnd, start + static_cast<int64_t>(j));
        }
      }
      found += holds ? 1 : 0;
    }
    (*counts)[i] = found;
  }
  if (budget != nullptr && steps > 0) return budget->Spend(steps);
  return true;
}
