#include "core/records/data_line_index.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <system_error>
#include <type_traits>
#include <utility>

#include "core/index/indexer.h"
#include "core/index/indexer_control.h"
#include "core/records/data_set_files.h"
#include "core/records/decimal_text.h"
#include "core/records/field_info.h"
#include "core/text/char_units.h"
#include "core/text/gbk_chars.h"
#include "core/text/pdat.h"
#include "core/text/text_clean.h"
#include "core/util/byte_io.h"
#include "core/util/common.h"
#include "core/util/daily_log.h"
#include "core/util/parallel_tasks.h"
#include "core/util/spill_file.h"

namespace {

// Initial room of a store being built; afterwards the tables grow geometrically.
constexpr size_t kInitialRecords = 40000;
constexpr size_t kInitialPoolBytes = 4096000;
constexpr size_t kPoolMargin = 10240;
// The data-line file is written through a buffer of this size (sections come in pieces).
constexpr size_t kWriteBuffer = size_t{1} << 20;

constexpr const char* kReferenceFile = "Dat/Standard.dataline";
constexpr int32_t kUntaggedField = 255;

void TrimInPlace(std::string* text) {
  size_t end = text->size();
  while (end > 0 && gbk::IsLineSpace(static_cast<unsigned char>((*text)[end - 1]))) --end;
  size_t start = 0;
  while (start < end && gbk::IsLineSpace(static_cast<unsigned char>((*text)[start]))) ++start;
  text->resize(end);
  if (start > 0) text->erase(0, start);
}

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

// The names of the runs of the index whose spilled files are named after `stem`.
std::function<std::string(int)> RunNames(const std::string& stem) {
  return [stem](int run) { return RunPath(stem, run); };
}

// Removes the temporaries of an unfinished save.
void RemoveAll(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) std::remove(path.c_str());
}

}  // namespace

CDataLineIndex::CDataLineIndex(const CFieldInfo& schema, const CPDAT* trie, bool readOnly)
    : m_schema(schema),
      m_trie(trie),
      m_indexCount(schema.GetListSize(LIST_INDEXED)),
      m_filterCount(schema.GetListSize(LIST_FILTER)),
      m_storedCount(schema.GetListSize(LIST_STORED)) {
  m_controls.reserve(static_cast<size_t>(m_indexCount));
  for (int k = 0; k < m_indexCount; ++k) {
    m_controls.push_back(std::make_unique<CIndexerControl>(trie, readOnly));
  }
  if (!readOnly) {
    m_recordBase.reserve(kInitialRecords);
    m_cells.reserve(kInitialRecords * 2 * static_cast<size_t>(m_storedCount));
    ReservePool(kInitialPoolBytes);
    m_filterValues.reserve(kInitialRecords * static_cast<size_t>(m_filterCount));
  }
  m_keptFile = OpenFile(kReferenceFile, "rb");
  if (!m_keptFile) WriteLog(std::string("Fail to read ") + kReferenceFile);
}

CDataLineIndex::~CDataLineIndex() {
  if (m_spillThread.joinable()) m_spillThread.join();
}

void CDataLineIndex::EnableContains() {
  if (m_contains || m_recordCount != 0) return;
  m_contains = true;
  const bool readOnly = m_indexCount > 0 && m_controls[0]->GetIndexer().IsReadOnly();
  for (int k = 1; k < m_indexCount; ++k) {
    m_controls.push_back(std::make_unique<CIndexerControl>(kCharUnitCount, readOnly));
    CIndexer& index = m_controls.back()->GetIndexer();
    index.SetPostingLimit(m_limits.postingsPerIndex);
    if (!m_spillPrefix.empty()) {
      index.SetRunNames(RunNames(ControlPath(m_spillPrefix, m_controls.size() - 1)));
      index.SetFaultHook(m_hook);
    }
  }
}

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

void CDataLineIndex::SetMemoryBound(int64_t bytes, const std::string& spillPrefix,
                                    std::function<void(const char*)> hook) {
  m_memoryBound = bytes > 0 ? bytes : 0;
  m_spillPrefix = spillPrefix;
  m_hook = std::move(hook);
  for (size_t c = 0; c < m_controls.size(); ++c) {
    CIndexer& index = m_controls[c]->GetIndexer();
    index.SetRunNames(RunNames(ControlPath(spillPrefix, c)));
    index.SetFaultHook(m_hook);
  }
}

void CDataLineIndex::SetFormatLimits(const tFORMAT_LIMITS& limits) {
  m_limits = limits;
  for (auto& control : m_controls) control->GetIndexer().SetPostingLimit(limits.postingsPerIndex);
}

int64_t CDataLineIndex::GetBuildBytes() const {
  int64_t bytes =
      static_cast<int64_t>((m_recordBase.size() + m_cells.size() + m_filterValues.size()) *
                           sizeof(int32_t)) +
      static_cast<int64_t>(m_poolLength - m_poolSpilled);
  for (const auto& control : m_controls) bytes += control->GetIndexer().GetBuildBytes();
  return bytes;
}

bool CDataLineIndex::Spill(std::string* error) {
  if (!FinishSpills(error)) return false;
  if (m_spillPrefix.empty()) {
    *error = "no place for the spilled records";
    return false;
  }
  if (m_hook) m_hook("spill");
  m_spillFailed = true;  // until everything below succeeded
  if (!m_cellsFile && !CreateSectionFiles(error)) return false;
  // Everything held moves to the spill; the store goes on with empty tables and the pool
  // of the spill before (its pages are reused, not faulted in anew).
  auto spill = std::make_unique<tSpill>();
  spill->cells.swap(m_cells);
  spill->filterValues.swap(m_filterValues);
  spill->poolBytes = m_poolLength - m_poolSpilled;
  spill->pool = std::move(m_pool);
  m_pool = std::move(m_sparePool);
  for (auto& control : m_controls) spill->logs.push_back(control->GetIndexer().DetachLog());
  m_recordsSpilled = m_recordCount;
  m_poolSpilled = m_poolLength;
  m_recordBase.clear();
  ++m_spillCount;
  if (m_workThreads > 1) {
    m_spill = std::move(spill);
    try {
      m_spillThread = std::thread([this] {
        WriteSpill(m_spill.get());
        if (!m_spill->ok) m_spillThreadFailed.store(true);
      });
      m_spillFailed = false;
      return true;
    } catch (const std::system_error&) {
      spill = std::move(m_spill);  // no thread to be had: written here instead
    }
  }
  WriteSpill(spill.get());
  const bool ok = spill->ok;
  if (!ok) *error = spill->error;
  Reuse(std::move(spill));
  m_spillFailed = !ok;
  return ok;
}

void CDataLineIndex::WriteSpill(tSpill* spill) {
  struct {
    CSpillFile* file;
    const void* data;
    size_t size;
  } const sections[] = {
      {m_cellsFile.get(), spill->cells.data(), spill->cells.size() * sizeof(int32_t)},
      {m_poolFile.get(), spill->pool.data(), spill->poolBytes},
      {m_filterFile.get(), spill->filterValues.data(),
       spill->filterValues.size() * sizeof(int32_t)},
  };
  for (const auto& section : sections) {
    if (!section.file->Write(section.data, section.size) || !section.file->Flush()) {
      spill->ok = false;
      spill->error = "cannot write " + section.file->path();
      return;
    }
  }
  for (size_t k = 0; k < spill->logs.size(); ++k) {
    if (!m_controls[k]->GetIndexer().WriteRun(std::move(spill->logs[k]), &spill->error)) {
      spill->ok = false;
      return;
    }
  }
  if (m_hook) m_hook("spilled");
}

void CDataLineIndex::Reuse(std::unique_ptr<tSpill> spill) {
  // The larger pool stays with the store, whose own may still be empty.
  if (m_poolLength == m_poolSpilled && spill->pool.capacity() > m_pool.capacity()) {
    std::swap(spill->pool, m_pool);
  }
  m_sparePool = std::move(spill->pool);
  if (m_cells.empty() && spill->cells.capacity() > m_cells.capacity()) {
    spill->cells.clear();
    m_cells.swap(spill->cells);
  }
  if (m_filterValues.empty() && spill->filterValues.capacity() > m_filterValues.capacity()) {
    spill->filterValues.clear();
    m_filterValues.swap(spill->filterValues);
  }
}

bool CDataLineIndex::FinishSpills(std::string* error) {
  if (m_spillThread.joinable()) m_spillThread.join();
  if (m_spill != nullptr) {
    if (!m_spill->ok) {
      m_spillFailed = true;
      *error = m_spill->error;
      m_spill.reset();
      return false;
    }
    Reuse(std::move(m_spill));
  }
  if (m_spillFailed) {
    *error = "an earlier spill failed";
    return false;
  }
  return true;
}

bool CDataLineIndex::CreateSectionFiles(std::string* error) {
  m_cellsFile = std::make_unique<CSpillFile>(SpillCellsPath(m_spillPrefix));
  m_poolFile = std::make_unique<CSpillFile>(SpillPoolPath(m_spillPrefix));
  m_filterFile = std::make_unique<CSpillFile>(SpillFiltersPath(m_spillPrefix));
  for (CSpillFile* file : {m_cellsFile.get(), m_poolFile.get(), m_filterFile.get()}) {
    if (!file->Create()) {
      *error = "cannot create " + file->path();
      return false;
    }
  }
  return true;
}

bool CDataLineIndex::StartFrom(const std::string& base, std::string* error) {
  const std::string path = DataLinePath(base);
  if (m_recordCount != 0 || m_spillPrefix.empty()) {
    *error = "the store has records already";
    return false;
  }
  FilePtr file = OpenFile(path, "rb");
  if (!file) {
    *error = path + " cannot be opened";
    return false;
  }
  // R, R record bases, 8RS bytes of cells, P, the pool, V = R*Fl, the values: the counts
  // must account for the file's size exactly.
  const int64_t size = FileSize(file.get());
  int32_t records = 0;
  int32_t poolBytes = 0;
  int32_t values = 0;
  bool ok = std::fread(&records, 4, 1, file.get()) == 1 && records >= 0;
  const int64_t cellsOffset = 4 + 4 * int64_t{records};
  const int64_t cellsBytes = 8 * int64_t{records} * m_storedCount;
  ok = ok && fseeko(file.get(), static_cast<off_t>(cellsOffset + cellsBytes), SEEK_SET) == 0 &&
       std::fread(&poolBytes, 4, 1, file.get()) == 1 && poolBytes >= 0;
  const int64_t poolOffset = cellsOffset + cellsBytes + 4;
  ok = ok && fseeko(file.get(), static_cast<off_t>(poolOffset + poolBytes), SEEK_SET) == 0 &&
       std::fread(&values, 4, 1, file.get()) == 1 &&
       int64_t{values} == int64_t{records} * m_filterCount &&
       size == poolOffset + poolBytes + 4 + 4 * int64_t{values};
  if (!ok) {
    *error = path + " does not fit the schema";
    return false;
  }
  if (!CreateSectionFiles(error)) return false;
  for (size_t c = 0; c < m_controls.size(); ++c) {
    if (!m_controls[c]->GetIndexer().StartFromFile(ControlPath(base, c), records - 1, error)) {
      return false;
    }
  }
  if (m_contains) {
    if (!LoadLengths(LengthsPath(base)) ||
        m_lengths.size() != static_cast<size_t>(records) * static_cast<size_t>(m_indexCount - 1)) {
      *error = LengthsPath(base) + " does not fit the data set";
      m_lengths.clear();
      return false;
    }
  }
  m_baseDataLine = path;
  m_baseCells[0] = cellsOffset;
  m_baseCells[1] = cellsBytes;
  m_basePool[0] = poolOffset;
  m_basePool[1] = poolBytes;
  m_baseFilters[0] = poolOffset + poolBytes + 4;
  m_baseFilters[1] = 4 * int64_t{values};
  m_recordCount = records;
  m_recordsSpilled = records;
  m_poolLength = static_cast<size_t>(poolBytes);
  m_poolSpilled = m_poolLength;
  return true;
}

bool CDataLineIndex::CheckLimits(int64_t storedBytes) {
  const int64_t records = int64_t{m_recordCount} + 1;
  const char* limit = nullptr;
  int64_t value = 0;
  if (records > m_limits.records) {
    limit = "records";
    value = m_limits.records;
  } else if (records * m_storedCount > m_limits.cells) {
    limit = "cells of the data-line file";
    value = m_limits.cells;
  } else if (static_cast<int64_t>(m_poolLength) + storedBytes > m_limits.poolBytes) {
    limit = "bytes of stored text";
    value = m_limits.poolBytes;
  } else if (records * m_filterCount > m_limits.filterValues) {
    limit = "filter values";
    value = m_limits.filterValues;
  }
  if (limit == nullptr) return true;
  m_limitMessage = "Record " + std::to_string(m_recordCount) + " would take the " + limit +
                   " past the limit of the file formats (" + std::to_string(value) + ")";
  return false;
}

void CDataLineIndex::ReservePool(size_t capacity) { m_pool.Reserve(capacity); }

bool CDataLineIndex::FetchFieldText(const CDbRow& row, int fieldNumber, CDbValue* scratch,
                                    std::string* text, std::string* error) const {
  const tFIELD_ENTRY& field = m_schema.GetField(fieldNumber);
  text->clear();
  // Types L, none and "*" read no value at all.
  if (field.type != FIELD_TYPE_T && field.type != FIELD_TYPE_I && field.type != FIELD_TYPE_D) {
    return true;
  }
  CDbValue& value = *scratch;
  if (!row.GetColumn(field.name.c_str(), &value, error)) return false;
  char number[64];
  switch (value.kind) {
    case CDbValue::kNull:
      if (field.type != FIELD_TYPE_T) text->assign("0");
      break;
    case CDbValue::kText:
    case CDbValue::kDateTime:
      // A date field takes only a real date-time; text and integer fields take any text.
      if (field.type == FIELD_TYPE_D && value.kind != CDbValue::kDateTime) {
        text->assign("0");
      } else {
        text->swap(value.text);  // no copy; the scratch value takes the old buffer
      }
      break;
    case CDbValue::kInt32:
      if (field.type == FIELD_TYPE_D) {
        text->assign("0");
      } else {
        std::snprintf(number, sizeof number, "%d", value.integer);
        text->assign(number);
      }
      break;
    case CDbValue::kDouble:
      if (field.type == FIELD_TYPE_D) {
        text->assign("0");
      } else if (field.type == FIELD_TYPE_I) {
        // Truncated toward zero; printed whole so that no conversion to int overflows.
        std::snprintf(number, sizeof number, "%.0f", std::trunc(value.real));
        text->assign(number);
      } else {
        std::snprintf(number, sizeof number, "%.15g", value.real);
        text->assign(number);
      }
      break;
  }
  return true;
}

void ReleaseLargeBuffers(tPREPARED_RECORD* record) {
  auto release = [](auto* buffer) {
    using Buffer = std::remove_pointer_t<decltype(buffer)>;
    if (buffer->capacity() * sizeof((*buffer)[0]) > kKeptPreparedBytes) Buffer().swap(*buffer);
  };
  for (tPREPARED_FIELD& field : record->fields) {
    release(&field.text);
    release(&field.ids);
  }
  release(&record->value.text);
  release(&record->scratch);
}

bool CDataLineIndex::AddRecord(const CDbRow& row, std::string* error) {
  if (!FetchRecord(row, &m_prepared, error)) return false;
  PrepareRecord(&m_prepared);
  const bool appended = AppendRecord(m_prepared, error);
  ReleaseLargeBuffers(&m_prepared);
  return appended;
}

bool CDataLineIndex::FetchRecord(const CDbRow& row, tPREPARED_RECORD* record,
                                 std::string* error) const {
  const int fieldCount = m_schema.GetFieldCount();
  record->fields.resize(static_cast<size_t>(std::max(fieldCount, 0)));
  for (int field = 1; field < fieldCount; ++field) {
    const tFIELD_ENTRY& entry = m_schema.GetField(field);
    if (!entry.isIndexed && !entry.isFilter && !entry.isStored) continue;
    std::string* text = &record->fields[static_cast<size_t>(field)].text;
    if (!FetchFieldText(row, field, &record->value, text, error)) return false;
  }
  return true;
}

void CDataLineIndex::PrepareRecord(tPREPARED_RECORD* record) const {
  const int fieldCount = m_schema.GetFieldCount();
  for (int fieldNumber = 1; fieldNumber < fieldCount; ++fieldNumber) {
    const tFIELD_ENTRY& entry = m_schema.GetField(fieldNumber);
    if (!entry.isIndexed && !entry.isFilter && !entry.isStored) continue;
    tPREPARED_FIELD& field = record->fields[static_cast<size_t>(fieldNumber)];
    std::string* text = &field.text;
    TrimInPlace(text);
    if (!text->empty()) {
      int cleanedLength = 0;
      // StripMarkup writes a NUL after its output, which never outgrows the input: at worst
      // it lands on the string's own terminator slot.
      StripMarkup(text->data(), static_cast<int>(text->size()), text->data(), &cleanedLength);
      text->resize(static_cast<size_t>(cleanedLength));
    }
    // The stored form is the cleaned text; indexes and filters see it normalised.
    std::string& normalized = record->scratch;
    normalized.assign(*text);
    NormalizeText(normalized.data());
    field.ids.clear();
    field.units.clear();
    if (entry.isIndexed && m_trie != nullptr) {
      int count = m_trie->Segment(normalized.c_str(), &field.ids, nullptr);
      field.ids.resize(static_cast<size_t>(std::min(count, static_cast<int>(field.ids.size()))));
      if (m_contains) CutIntoUnits(normalized.c_str(), &field.units);
    }
    field.filter = entry.isFilter ? ReadDecimalLikeAtoi(normalized.c_str()) : 0;
  }
}

bool CDataLineIndex::AppendRecord(const tPREPARED_RECORD& prepared, std::string* error) {
  if (!m_limitMessage.empty()) {
    *error = m_limitMessage;
    return false;
  }
  if (m_spillFailed || m_spillThreadFailed.load(std::memory_order_relaxed)) {
    std::string reason;
    FinishSpills(&reason);
    *error = "the records of the build could not be written to disk";
    return false;
  }
  const int fieldCount = m_schema.GetFieldCount();
  int64_t storedBytes = 0;
  for (int field = 1; field < fieldCount; ++field) {
    if (m_schema.GetField(field).isStored) {
      storedBytes += static_cast<int64_t>(prepared.fields[static_cast<size_t>(field)].text.size());
    }
  }
  if (!CheckLimits(storedBytes)) {
    *error = m_limitMessage;
    return false;
  }
  const int record = m_recordCount;
  const size_t lengths = m_lengths.size();
  if (m_contains) m_lengths.resize(lengths + static_cast<size_t>(m_indexCount - 1), 0);
  m_recordBase.push_back(static_cast<int32_t>(int64_t{record} * m_filterCount));
  m_cells.resize(m_cells.size() + 2 * static_cast<size_t>(m_storedCount), 0);
  for (int fieldNumber = 1; fieldNumber < fieldCount; ++fieldNumber) {
    const tFIELD_ENTRY& entry = m_schema.GetField(fieldNumber);
    if (!entry.isIndexed && !entry.isFilter && !entry.isStored) continue;
    const tPREPARED_FIELD& field = prepared.fields[static_cast<size_t>(fieldNumber)];
    if (entry.isStored) {
      AddCell(record, m_schema.GetListPosition(fieldNumber, LIST_STORED), field.text.data(),
              static_cast<int>(field.text.size()));
    }
    if (entry.isIndexed && m_trie != nullptr) {
      int position = m_schema.GetListPosition(fieldNumber, LIST_INDEXED);
      if (position >= 0 && position < m_indexCount) {
        // One segmentation feeds the field's own index and, for a wildcard field, index 0.
        // The only refusal left for a valid record is the posting limit of the file.
        const int count = static_cast<int>(field.ids.size());
        int refused = -1;
        if (!m_controls[static_cast<size_t>(position)]->AddTerms(field.ids.data(), count, record,
                                                                 kUntaggedField)) {
          refused = position;
        } else if (entry.isWildcard &&
                   !m_controls[0]->AddTerms(field.ids.data(), count, record, position)) {
          refused = 0;
        } else if (m_contains && position > 0) {
          const size_t chars = static_cast<size_t>(m_indexCount + position - 1);
          const int units = static_cast<int>(field.units.size());
          if (!m_controls[chars]->AddTerms(field.units.data(), units, record, kUntaggedField)) {
            refused = static_cast<int>(chars);
          }
          m_lengths[lengths + static_cast<size_t>(position - 1)] = units;
        }
        if (refused >= 0) {
          const std::string which =
              refused < m_indexCount ? "index " + std::to_string(refused)
                                     : "index chars_" + std::to_string(refused - m_indexCount + 1);
          m_limitMessage = "Record " + std::to_string(record) + " would take the postings of " +
                           which + " past the limit of the file formats (" +
                           std::to_string(m_limits.postingsPerIndex) + ")";
          *error = m_limitMessage;
          return false;
        }
      }
    }
    if (entry.isFilter) m_filterValues.push_back(field.filter);
  }
  ++m_recordCount;
  // A spill written on its own thread starts at half the bound: the records added while it is
  // written take the other half.
  const int64_t spillAt = m_workThreads > 1 ? m_memoryBound / 2 : m_memoryBound;
  if (m_memoryBound > 0 && GetBuildBytes() > spillAt && !Spill(error)) return false;
  return true;
}

void CDataLineIndex::AddCell(int record, int storedColumn, const char* text, int length) {
  if (record < m_recordsSpilled || storedColumn < 0 || storedColumn >= m_storedCount ||
      length < 0) {
    return;
  }
  size_t cell = (static_cast<size_t>(record - m_recordsSpilled) * m_storedCount + storedColumn) * 2;
  if (m_cells.size() < cell + 2) m_cells.resize(cell + 2, 0);
  const size_t held = m_poolLength - m_poolSpilled;
  size_t needed = held + static_cast<size_t>(length) + 1;  // room for a terminator
  if (needed > m_pool.capacity()) {
    // Geometric growth: the pool is appended to once per stored value, so growing by a fixed
    // margin alone would move it over and over.
    ReservePool(std::max(needed + kPoolMargin, m_pool.capacity() + m_pool.capacity() / 2));
  }
  m_cells[cell] = static_cast<int32_t>(m_poolLength);
  m_cells[cell + 1] = length;
  if (length > 0) std::memcpy(m_pool.data() + held, text, static_cast<size_t>(length));
  m_poolLength += static_cast<size_t>(length);
}

const char* CDataLineIndex::GetCell(int record, int storedColumn, int* length) const {
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
    if (record >= 0 && record < m_recordCount) {
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

namespace {

// "Error Write <path>", and the system's reason on a line of its own when a call of the
// system failed (a full disk, a read-only folder), read from errno as the failure left it.
void PrintWriteError(const std::string& path) {
  int reason = errno;
  std::printf("Error Write %s\n", path.c_str());
  if (reason != 0) std::printf("%s: %s\n", path.c_str(), std::strerror(reason));
}

}  // namespace

bool CDataLineIndex::WriteDataLine(const std::string& path, int* reason) {
  errno = 0;
  CPendingFile dataLine(path);
  if (!dataLine.Open(kWriteBuffer)) {
    *reason = errno;
    return false;
  }
  int32_t poolLength = static_cast<int32_t>(m_poolLength);
  int32_t valueCount = static_cast<int32_t>(m_filterValues.size());
  std::FILE* file = dataLine.get();
  bool written =
      m_cellsFile
          ? WriteSpilledDataLine(file)
          : WriteI32(file, m_recordCount) &&
                WriteI32Array(file, m_recordBase.data(), m_recordBase.size()) &&
                WriteI32Array(file, m_cells.data(), m_cells.size()) && WriteI32(file, poolLength) &&
                dataLine.Write(m_pool.data(), m_poolLength) && WriteI32(file, valueCount) &&
                WriteI32Array(file, m_filterValues.data(), m_filterValues.size());
  if (!written || !dataLine.Finish(true)) {
    *reason = errno;
    return false;
  }
  if (!dataLine.Commit()) {
    *reason = errno;
    return false;
  }
  *reason = 0;
  return true;
}

bool CDataLineIndex::WriteLengths(const std::string& path, int* reason) const {
  errno = 0;
  CPendingFile file(path);
  const int32_t columns = m_indexCount - 1;
  const bool written = file.Open(kWriteBuffer) && WriteI32(file.get(), m_recordCount) &&
                       WriteI32(file.get(), columns) &&
                       WriteI32Array(file.get(), m_lengths.data(), m_lengths.size()) &&
                       file.Finish(true) && file.Commit();
  *reason = written ? 0 : errno;
  return written;
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

bool CDataLineIndex::Save(const char* base, const std::string& suffix) {
  std::string spillError;
  if (!FinishSpills(&spillError)) {
    std::printf("Error Write %s.dataline: %s\n", base, spillError.c_str());
    return false;
  }
  if (m_workThreads > 1) return SaveInParallel(base, suffix);
  errno = 0;  // a reason printed below comes from this save
  const std::string dataLinePath = DataLinePath(base);
  // The data-line file goes under a temporary name of its own until the indexes are written.
  const std::string dataLineTemporary = dataLinePath + suffix + ".tmp";
  int reason = 0;
  if (!WriteDataLine(dataLineTemporary, &reason)) {
    errno = reason;
    PrintWriteError(dataLinePath);
    return false;
  }
  std::printf("Save %s Success!\n", dataLinePath.c_str());

  std::printf("Begin Save %d Index!\n", m_indexCount);
  std::vector<std::string> pending = {dataLineTemporary};  // written under temporary names
  for (size_t c = 0; c < m_controls.size(); ++c) {
    // The console names the word indexes; the contains files are saved without a line.
    const bool named = c < static_cast<size_t>(m_indexCount);
    std::string path = ControlPath(base, c);
    std::string temporary = path + suffix + ".tmp";
    if (named) std::printf("Save %s Start!\n", path.c_str());
    if (!m_controls[c]->Save(temporary.c_str())) {
      PrintWriteError(path);
      RemoveAll(pending);
      std::remove(temporary.c_str());
      return false;
    }
    pending.push_back(temporary);
    if (named) std::printf("Save %s Success!\n", path.c_str());
  }
  if (m_contains) {
    const std::string path = LengthsPath(base);
    const std::string temporary = path + suffix + ".tmp";
    if (!WriteLengths(temporary, &reason)) {
      errno = reason;
      PrintWriteError(path);
      RemoveAll(pending);
      return false;
    }
    pending.push_back(temporary);
  }
  return MovePending(base, suffix, pending);
}

bool CDataLineIndex::SaveInParallel(const char* base, const std::string& suffix) {
  const std::string dataLinePath = DataLinePath(base);
  // Every file is a task; the largest go first so that the threads end close together.
  enum : int { kDataLine = -1, kLengths = -2 };
  struct tFile {
    std::string path;       // the name printed
    std::string temporary;  // written under this name until all are written
    int64_t bytes;          // about what it takes to write
    int control;            // a control, or kDataLine / kLengths
    bool ran = false;
    bool written = false;
    int reason = 0;
  };
  std::vector<tFile> files;
  files.push_back({dataLinePath, dataLinePath + suffix + ".tmp",
                   static_cast<int64_t>(m_poolLength) + 8 * int64_t{m_recordCount} * m_storedCount,
                   kDataLine});
  for (size_t c = 0; c < m_controls.size(); ++c) {
    const std::string path = ControlPath(base, c);
    files.push_back({path, path + suffix + ".tmp",
                     12 * int64_t{m_controls[c]->GetIndexer().GetPostCount()},
                     static_cast<int>(c)});
  }
  if (m_contains) {
    const std::string path = LengthsPath(base);
    files.push_back(
        {path, path + suffix + ".tmp", 4 * static_cast<int64_t>(m_lengths.size()), kLengths});
  }
  std::vector<size_t> order(files.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&files](size_t a, size_t b) { return files[a].bytes > files[b].bytes; });
  std::vector<std::function<bool()>> tasks;
  for (size_t i : order) {
    tasks.push_back([this, &files, i]() {
      tFile& file = files[i];
      file.ran = true;
      if (file.control == kDataLine) {
        file.written = WriteDataLine(file.temporary, &file.reason);
      } else if (file.control == kLengths) {
        file.written = WriteLengths(file.temporary, &file.reason);
      } else {
        errno = 0;
        file.written = m_controls[static_cast<size_t>(file.control)]->Save(file.temporary.c_str());
        file.reason = file.written ? 0 : errno;
      }
      return file.written;
    });
  }
  const bool written = RunTasks(m_workThreads, tasks);
  std::vector<std::string> pending;
  for (const tFile& file : files) {
    if (file.written) pending.push_back(file.temporary);
  }
  if (!written) {
    for (const tFile& file : files) {
      if (!file.ran || file.written) continue;
      errno = file.reason;
      PrintWriteError(file.path);
      break;
    }
    RemoveAll(pending);
    return false;
  }
  std::printf("Save %s Success!\n", dataLinePath.c_str());
  std::printf("Begin Save %d Index!\n", m_indexCount);
  for (int k = 0; k < m_indexCount; ++k) {
    std::printf("Save %s Start!\n", IndexPath(base, static_cast<size_t>(k)).c_str());
    std::printf("Save %s Success!\n", IndexPath(base, static_cast<size_t>(k)).c_str());
  }
  return MovePending(base, suffix, pending);
}

bool CDataLineIndex::MovePending(const char* base, const std::string& suffix,
                                 const std::vector<std::string>& pending) {
  // Everything is written: move the whole data set into place (the data-line file first,
  // then the indexes in order, then the field lengths).
  const std::string dataLinePath = DataLinePath(base);
  std::vector<std::string> finals = {dataLinePath};
  for (size_t c = 0; c < m_controls.size(); ++c) finals.push_back(ControlPath(base, c));
  if (m_contains) finals.push_back(LengthsPath(base));
  bool moved = pending.size() == finals.size();
  for (size_t i = 0; moved && i < finals.size(); ++i) {
    moved = std::rename(pending[i].c_str(), (finals[i] + suffix).c_str()) == 0;
  }
  if (!moved) {
    PrintWriteError(dataLinePath);
    RemoveAll(pending);
    return false;
  }
  return true;
}

bool CDataLineIndex::WriteSpilledDataLine(std::FILE* file) {
  if (m_spillFailed) return false;
  // Record bases are r * Fl by construction; they are written without being kept.
  bool written = WriteI32(file, m_recordCount);
  std::vector<int32_t> bases;
  for (int64_t first = 0; written && first < m_recordCount; first += 65536) {
    int64_t last = std::min<int64_t>(first + 65536, m_recordCount);
    bases.clear();
    for (int64_t record = first; record < last; ++record) {
      bases.push_back(static_cast<int32_t>(record * m_filterCount));
    }
    written = WriteI32Array(file, bases.data(), bases.size());
  }
  const int32_t poolLength = static_cast<int32_t>(m_poolLength);
  const int32_t valueCount = static_cast<int32_t>(int64_t{m_recordCount} * m_filterCount);
  const size_t heldPool = m_poolLength - m_poolSpilled;
  // Each section: what a committed set holds (appending runs), what was spilled, what is held.
  auto base = [&](const int64_t* range) {
    return m_baseDataLine.empty() || CopyFileRange(m_baseDataLine, range[0], range[1], file);
  };
  return written && base(m_baseCells) && m_cellsFile->Flush() && m_cellsFile->CopyTo(file) &&
         WriteI32Array(file, m_cells.data(), m_cells.size()) && WriteI32(file, poolLength) &&
         base(m_basePool) && m_poolFile->Flush() && m_poolFile->CopyTo(file) &&
         (heldPool == 0 || std::fwrite(m_pool.data(), 1, heldPool, file) == heldPool) &&
         WriteI32(file, valueCount) && base(m_baseFilters) && m_filterFile->Flush() &&
         m_filterFile->CopyTo(file) &&
         WriteI32Array(file, m_filterValues.data(), m_filterValues.size());
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
  return false;
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
  return true;
}
