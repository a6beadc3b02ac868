// CDataLineIndex's delta: the records of rows changed or added since the store's own files
// were built, answered from a store of their own under the record numbers of the whole set.
#include <atomic>
#include <string>
#include <vector>

#include "core/index/indexer_control.h"
#include "core/records/data_line_index.h"

bool CDataLineIndex::AttachDelta(std::unique_ptr<CDataLineIndex> delta,
                                 std::vector<int32_t> globals, std::string* error) {
  if (delta == nullptr || static_cast<int64_t>(globals.size()) != delta->GetRecordCount()) {
    *error = "the delta's record list does not fit its records";
    return false;
  }
  // Record numbers ascend; those past the own records follow them without a gap, so that
  // the whole set is numbered 0 .. N-1 as a rebuild would number it.
  int32_t next = m_recordCount;
  for (size_t i = 0; i < globals.size(); ++i) {
    const int32_t global = globals[i];
    const bool ascending = i == 0 || global > globals[i - 1];
    const bool ownEdited = global >= 0 && global < m_recordCount && m_deleted.IsDeleted(global);
    if (!ascending || (!ownEdited && global != next)) {
      *error = "the delta's record " + std::to_string(i) + " answers as record " +
               std::to_string(global) + ", which the set cannot give it";
      return false;
    }
    if (global >= m_recordCount) {
      if (next == INT32_MAX) {
        *error = "the delta takes the set past 2^31 - 1 records";
        return false;
      }
      ++next;
    }
  }
  m_globalCount = next;
  m_deltaBits.assign((static_cast<size_t>(m_globalCount) + 63) / 64, 0);
  for (int32_t global : globals) {
    m_deltaBits[static_cast<size_t>(global) / 64] |= uint64_t{1} << (global % 64);
  }
  m_deltaGlobals = std::move(globals);
  m_delta = std::move(delta);
  int32_t live = 0;
  for (int32_t record = 0; record < m_globalCount; ++record) live += IsDeleted(record) ? 0 : 1;
  m_liveCount = live;
  // The averages of the field lengths are taken over the records that answer, in record
  // order, as a rebuild of the table would take them.
  if (m_contains && m_delta->HasContains() && m_indexCount > 1) {
    std::vector<double> sums(static_cast<size_t>(m_indexCount), 0.0);
    for (int32_t record = 0; record < m_globalCount; ++record) {
      if (IsDeleted(record)) continue;
      for (int position = 1; position < m_indexCount; ++position) {
        sums[static_cast<size_t>(position)] += GetFieldLength(record, position);
      }
    }
    m_averageLength.assign(static_cast<size_t>(m_indexCount), 0.0);
    for (int position = 1; position < m_indexCount; ++position) {
      m_averageLength[static_cast<size_t>(position)] =
          live > 0 ? sums[static_cast<size_t>(position)] / live : 0.0;
    }
  }
  return true;
}

int32_t CDataLineIndex::HiddenHolding(int position, int32_t term) const {
  if (position < 0 || static_cast<size_t>(position) >= m_controls.size()) return -1;
  const CIndexer& index = m_controls[static_cast<size_t>(position)]->GetIndexer();
  if (term < 0 || term >= index.GetIDCount()) return -1;
  if (m_deleted.empty()) return 0;
  if (static_cast<size_t>(position) >= m_hiddenCounts.size()) return -1;
  std::atomic<int32_t>& kept =
      m_hiddenCounts[static_cast<size_t>(position)][static_cast<size_t>(term)];
  int32_t hidden = kept.load(std::memory_order_relaxed);
  if (hidden >= 0) return hidden;
  // Two threads may count the same term at once: they store the same figure.
  hidden = 0;
  int count = 0;
  const tINDEX_STRUCTURE* postings = index.GetPostings(term, &count);
  int32_t last = -1;
  for (int i = 0; i < count; ++i) {
    const int32_t record = postings[i].record;
    if (record == last) continue;
    last = record;
    hidden += m_deleted.IsDeleted(record) ? 1 : 0;
  }
  kept.store(hidden, std::memory_order_relaxed);
  return hidden;
}
