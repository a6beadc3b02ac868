#include "core/records/data_line_index.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/index/indexer.h"
#include "core/index/indexer_control.h"
#include "core/records/data_set_files.h"
#include "core/records/decimal_text.h"
#include "core/records/field_info.h"
#include "core/util/common.h"
#include "core/util/daily_log.h"

namespace {

// Reads a data-line file section by section straight into the tables that keep it, so a
// load needs the file's size in memory once (no whole-file copy) and has no limit of its own
// on the file's size. Every count is checked against the bytes left before anything is
// allocated; a short read is a failure.
class CFileSections {
 public:
  CFileSections(std::FILE* file, int64_t size)
      : m_file(file), m_remaining(size > 0 ? static_cast<uint64_t>(size) : 0) {}

  uint64_t remaining() const { return m_remaining; }

  bool ReadI32(int32_t* value) { return ReadBytes(reinterpret_cast<char*>(value), 4); }

  bool ReadI32Array(uint64_t count, std::vector<int32_t>* values) {
    if (count > m_remaining / 4) return false;
    values->resize(static_cast<size_t>(count));
    return ReadBytes(reinterpret_cast<char*>(values->data()), static_cast<size_t>(count) * 4);
  }

  bool ReadBytes(char* bytes, size_t count) {
    if (count > m_remaining) return false;
    if (count > 0 && std::fread(bytes, 1, count, m_file) != count) return false;
    m_remaining -= count;
    return true;
  }

 private:
  std::FILE* m_file;
  uint64_t m_remaining;
};

}  // namespace

std::string CDataLineIndex::ControlPath(const std::string& base, size_t c) const {
  const size_t words = static_cast<size_t>(m_indexCount);
  return c < words ? IndexPath(base, c) : CharsPath(base, c - words + 1);
}

const CIndexerControl* CDataLineIndex::GetCharControl(int indexedPosition) const {
  if (!m_contains || indexedPosition < 1 || indexedPosition >= m_indexCount) return nullptr;
  return m_controls[static_cast<size_t>(m_indexCount + indexedPosition - 1)].get();
}

double CDataLineIndex::GetAverageFieldLength(int indexedPosition) const {
  if (indexedPosition < 0 || static_cast<size_t>(indexedPosition) >= m_averageLength.size()) {
    return 0;
  }
  return m_averageLength[static_cast<size_t>(indexedPosition)];
}

const char* CDataLineIndex::GetCell(int record, int storedColumn, int* length) const {
  if (m_delta != nullptr && IsDeltaRecord(record)) {
    return m_delta->GetCell(DeltaRecord(record), storedColumn, length);
  }
  *length = 0;
  if (record < m_recordsSpilled || record >= m_recordCount || storedColumn < 0 ||
      storedColumn >= m_storedCount) {
    return "";
  }
  size_t cell = (static_cast<size_t>(record - m_recordsSpilled) * m_storedCount + storedColumn) * 2;
  if (m_cells[cell + 1] == 0) return "";
  *length = m_cells[cell + 1];
  return m_pool.data() + (static_cast<size_t>(m_cells[cell]) - m_poolSpilled);
}

int32_t CDataLineIndex::GetFilterValue(int record, int filterColumn) const {
  if (m_delta != nullptr && IsDeltaRecord(record)) {
    return m_delta->GetFilterValue(DeltaRecord(record), filterColumn);
  }
  if (record < m_recordsSpilled || record >= m_recordCount || filterColumn < 0 ||
      filterColumn >= m_filterCount) {
    return 0;
  }
  return m_filterValues[static_cast<size_t>(record - m_recordsSpilled) * m_filterCount +
                        static_cast<size_t>(filterColumn)];
}

const CIndexerControl& CDataLineIndex::GetIndexControl(int indexedPosition) const {
  return *m_controls[static_cast<size_t>(indexedPosition)];
}

int CDataLineIndex::FilterResults(int fieldNumber, const std::vector<std::string>& values,
                                  tINDEX_STRUCTURE* results, int count) const {
  int filterColumn = m_schema.GetListPosition(fieldNumber, LIST_FILTER);
  if (filterColumn < 0 || filterColumn >= m_filterCount) return 0;
  std::vector<int32_t> accepted;
  accepted.reserve(values.size());
  for (const std::string& value : values) accepted.push_back(ReadDecimalLikeAtoi(value.c_str()));
  // A long value list is searched by halves rather than scanned for every result.
  const bool sorted = accepted.size() > 16;
  if (sorted) std::sort(accepted.begin(), accepted.end());
  int removed = 0;
  for (int i = 0; i < count; ++i) {
    int32_t record = results[i].record;
    if (record == trindle::kNone) continue;
    bool keep = false;
    if (record >= 0 && record < GetRecordCount()) {
      int32_t value = GetFilterValue(record, filterColumn);
      keep = sorted ? std::binary_search(accepted.begin(), accepted.end(), value)
                    : IsInList(value, accepted.data(), static_cast<int>(accepted.size()));
    }
    if (!keep) {
      results[i].record = trindle::kNone;
      ++removed;
    }
  }
  return removed;
}

bool CDataLineIndex::LoadLengths(const std::string& path) {
  FilePtr file = OpenFile(path, "rb");
  if (!file) return false;
  CFileSections reader(file.get(), FileSize(file.get()));
  int32_t records = 0;
  int32_t columns = 0;
  std::vector<int32_t> lengths;
  if (!reader.ReadI32(&records) || !reader.ReadI32(&columns) || records < 0 ||
      columns != m_indexCount - 1 ||
      reader.remaining() != static_cast<uint64_t>(records) * static_cast<uint64_t>(columns) * 4 ||
      !reader.ReadI32Array(reader.remaining() / 4, &lengths)) {
    return false;
  }
  for (int32_t length : lengths) {
    if (length < 0) return false;
  }
  m_lengths.swap(lengths);
  m_averageLength.assign(static_cast<size_t>(std::max(m_indexCount, 0)), 0.0);
  if (records > 0) {
    for (size_t i = 0; i < m_lengths.size(); ++i) {
      m_averageLength[1 + i % static_cast<size_t>(columns)] += m_lengths[i];
    }
    for (double& average : m_averageLength) average /= records;
  }
  return true;
}

bool CDataLineIndex::LoadDataLine(const std::string& path) {
  FilePtr file = OpenFile(path, "rb");
  if (!file) return false;
  CFileSections reader(file.get(), FileSize(file.get()));
  const uint64_t storedCount = static_cast<uint64_t>(m_storedCount);
  const int64_t filterCount = m_filterCount;

  int32_t recordCount = 0;
  if (!reader.ReadI32(&recordCount) || recordCount < 0) return false;
  std::vector<int32_t> recordBase;
  if (!reader.ReadI32Array(static_cast<uint64_t>(recordCount), &recordBase)) return false;
  // 2 * R * S cells; R and S below 2^31, so the product fits 64 bits.
  std::vector<int32_t> cells;
  if (!reader.ReadI32Array(static_cast<uint64_t>(recordCount) * storedCount * 2, &cells)) {
    return false;
  }

  int32_t poolLength = 0;
  if (!reader.ReadI32(&poolLength) || poolLength < 0 ||
      static_cast<uint64_t>(poolLength) > reader.remaining()) {
    return false;
  }
  CLargeBuffer loadedPool;
  loadedPool.Reserve(static_cast<size_t>(poolLength) + 1);
  if (!reader.ReadBytes(loadedPool.data(), static_cast<size_t>(poolLength))) return false;

  int32_t valueCount = 0;
  if (!reader.ReadI32(&valueCount) || valueCount != recordCount * filterCount) return false;
  if (static_cast<uint64_t>(valueCount) * 4 != reader.remaining()) {
    return false;  // the filter values must end the file exactly
  }
  std::vector<int32_t> filterValues;
  if (!reader.ReadI32Array(static_cast<uint64_t>(valueCount), &filterValues)) return false;

  for (int64_t record = 0; record < recordCount; ++record) {
    if (recordBase[static_cast<size_t>(record)] != record * filterCount) return false;
  }
  for (size_t cell = 0; cell < cells.size(); cell += 2) {
    int64_t offset = cells[cell];
    int64_t length = cells[cell + 1];
    if (offset < 0 || length < 0 || offset + length > poolLength) return false;
  }

  m_recordCount = recordCount;
  m_recordsSpilled = 0;
  m_poolSpilled = 0;
  m_recordBase.swap(recordBase);
  m_cells.swap(cells);
  m_pool = std::move(loadedPool);
  m_poolLength = static_cast<size_t>(poolLength);
  m_filterValues.swap(filterValues);
  return true;
}

bool CDataLineIndex::AnyIndexDamaged() const {
  for (const auto& control : m_controls) {
    if (control->GetIndexer().IsDamaged()) return true;
  }
  // The delta's files are mapped as the own ones are.
  return m_delta != nullptr && m_delta->AnyIndexDamaged();
}

bool CDataLineIndex::Load(const char* base) {
  const std::string path = DataLinePath(base);
  if (!LoadDataLine(path)) {
    WriteLog("Fail to read " + path);
    return false;
  }
  // Without the reference file the store keeps its own data-line file open instead.
  if (!m_keptFile) m_keptFile = OpenFile(path, "rb");
  for (size_t c = 0; c < m_controls.size(); ++c) {
    std::string indexPath = ControlPath(base, c);
    // A set with an index that cannot be loaded is refused whole: served, it would answer
    // every query on that index with nothing.
    if (!m_controls[c]->Load(indexPath.c_str())) {
      WriteLog("Fail to read " + indexPath);
      return false;
    }
  }
  if (m_contains && (!LoadLengths(LengthsPath(base)) ||
                     m_lengths.size() != static_cast<size_t>(m_recordCount) *
                                             static_cast<size_t>(std::max(m_indexCount - 1, 0)))) {
    WriteLog("Fail to read " + LengthsPath(base));
    return false;
  }
  if (m_deletions) {
    if (!m_deleted.Load(DeletedPath(base), m_recordCount)) {
      WriteLog("Fail to read " + DeletedPath(base));
      return false;
    }
    m_hiddenCounts.clear();
    for (const auto& control : m_controls) {
      const int32_t terms = std::max(control->GetIndexer().GetIDCount(), 0);
      m_hiddenCounts.emplace_back(new std::atomic<int32_t>[static_cast<size_t>(terms)]);
      for (int32_t term = 0; term < terms; ++term) {
        m_hiddenCounts.back()[static_cast<size_t>(term)].store(-1, std::memory_order_relaxed);
      }
    }
    // Field lengths are averaged over the records that answer, as a rebuild without the
    // deleted ones would average them.
    const size_t columns = static_cast<size_t>(std::max(m_indexCount - 1, 0));
    const int32_t live = GetLiveRecordCount();
    if (m_contains && columns > 0 && !m_deleted.empty()) {
      std::vector<double> sums(columns + 1, 0.0);
      for (size_t i = 0; i < m_lengths.size(); ++i) {
        if (!m_deleted.IsDeleted(static_cast<int32_t>(i / columns))) {
          sums[1 + i % columns] += m_lengths[i];
        }
      }
      for (size_t k = 1; k <= columns && k < m_averageLength.size(); ++k) {
        m_averageLength[k] = live > 0 ? sums[k] / live : 0.0;
      }
    }
  }
  return true;
}
