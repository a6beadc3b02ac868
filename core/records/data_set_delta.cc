// CDataLineIndex's delta: the records of rows changed or added since the store's own files
// were built, answered from a store of their own under the record numbers of the whole set.
#include <string>
#include <vector>

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
  m_deltaOf.assign(static_cast<size_t>(m_globalCount), -1);
  for (size_t i = 0; i < globals.size(); ++i) {
    m_deltaOf[static_cast<size_t>(globals[i])] = static_cast<int32_t>(i);
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
