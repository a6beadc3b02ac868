#include "core/records/data_line_builder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/index/indexer.h"
#include "core/index/indexer_control.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_files.h"
#include "core/records/field_info.h"
#include "core/util/byte_io.h"
#include "core/util/daily_log.h"
#include "core/util/file_util.h"
#include "core/util/parallel_tasks.h"

namespace {

constexpr const char* kReferenceFile = "Dat/Standard.dataline";
// Initial room of a store being built; afterwards the tables grow geometrically.
constexpr size_t kInitialRecords = 40000;
constexpr size_t kInitialPoolBytes = 4096000;
constexpr size_t kPoolMargin = 10240;
// The data-line file is written through a buffer of this size (sections come in pieces).
constexpr size_t kWriteBuffer = size_t{1} << 20;

constexpr int32_t kUntaggedField = 255;

// Removes the temporaries of an unfinished save.
void RemoveAll(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) std::remove(path.c_str());
}

// "Error Write <path>", and the system's reason on a line of its own when a call of the
// system failed (a full disk, a read-only folder), read from errno as the failure left it.
void PrintWriteError(const std::string& path) {
  int reason = errno;
  std::printf("Error Write %s\n", path.c_str());
  if (reason != 0) std::printf("%s: %s\n", path.c_str(), std::strerror(reason));
}

}  // namespace

CDataLineIndex::CDataLineIndex(const CFieldInfo& schema, const CPDAT* trie, bool readOnly)
    : m_schema(schema),
      m_trie(trie),
      m_indexCount(schema.GetListSize(LIST_INDEXED)),
      m_filterCount(schema.GetListSize(LIST_FILTER)),
      m_storedCount(schema.GetListSize(LIST_STORED)),
      m_build(std::make_unique<tBuild>()) {
  m_controls.reserve(static_cast<size_t>(m_indexCount));
  for (int k = 0; k < m_indexCount; ++k) {
    m_controls.push_back(std::make_unique<CIndexerControl>(trie, readOnly));
  }
  if (!readOnly) ReserveForBuild();
  m_keptFile = OpenFile(kReferenceFile, "rb");
  if (!m_keptFile) WriteLog(std::string("Fail to read ") + kReferenceFile);
}

void CDataLineIndex::ReserveForBuild() {
  m_recordBase.reserve(kInitialRecords);
  m_cells.reserve(kInitialRecords * 2 * static_cast<size_t>(m_storedCount));
  ReservePool(kInitialPoolBytes);
  m_filterValues.reserve(kInitialRecords * static_cast<size_t>(m_filterCount));
}

void CDataLineIndex::SetFormatLimits(const tFORMAT_LIMITS& limits) {
  m_build->limits = limits;
  for (auto& control : m_controls) control->GetIndexer().SetPostingLimit(limits.postingsPerIndex);
}

void CDataLineIndex::SetWorkThreads(int threads) {
  m_build->workThreads = threads > 1 ? threads : 1;
}

const std::string& CDataLineIndex::GetLimitMessage() const { return m_build->limitMessage; }

bool CDataLineIndex::CheckLimits(int64_t storedBytes) {
  const int64_t records = int64_t{m_recordCount} + 1;
  const char* limit = nullptr;
  int64_t value = 0;
  if (records > m_build->limits.records) {
    limit = "records";
    value = m_build->limits.records;
  } else if (records * m_storedCount > m_build->limits.cells) {
    limit = "cells of the data-line file";
    value = m_build->limits.cells;
  } else if (static_cast<int64_t>(m_poolLength) + storedBytes > m_build->limits.poolBytes) {
    limit = "bytes of stored text";
    value = m_build->limits.poolBytes;
  } else if (records * m_filterCount > m_build->limits.filterValues) {
    limit = "filter values";
    value = m_build->limits.filterValues;
  }
  if (limit == nullptr) return true;
  m_build->limitMessage = "Record " + std::to_string(m_recordCount) + " would take the " + limit +
                          " past the limit of the file formats (" + std::to_string(value) + ")";
  return false;
}

void CDataLineIndex::ReservePool(size_t capacity) { m_pool.Reserve(capacity); }

void ReleaseLargeBuffers(tPREPARED_RECORD* record) {
  auto release = [](auto* buffer) {
    using Buffer = std::remove_pointer_t<decltype(buffer)>;
    if (buffer->capacity() * sizeof((*buffer)[0]) > kKeptPreparedBytes) Buffer().swap(*buffer);
  };
  for (tPREPARED_FIELD& field : record->fields) {
    release(&field.text);
    release(&field.ids);
  }
  release(&record->scratch);
}

bool CDataLineIndex::AppendRecord(const tPREPARED_RECORD& prepared, std::string* error) {
  if (!m_build->limitMessage.empty()) {
    *error = m_build->limitMessage;
    return false;
  }
  if (m_build->spillFailed || m_build->spillThreadFailed.load(std::memory_order_relaxed)) {
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
    *error = m_build->limitMessage;
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
          m_build->limitMessage = "Record " + std::to_string(record) +
                                  " would take the postings of " + which +
                                  " past the limit of the file formats (" +
                                  std::to_string(m_build->limits.postingsPerIndex) + ")";
          *error = m_build->limitMessage;
          return false;
        }
      }
    }
    if (entry.isFilter) m_filterValues.push_back(field.filter);
  }
  ++m_recordCount;
  // A spill written on its own thread starts at half the bound: the records added while it is
  // written take the other half.
  const int64_t spillAt =
      m_build->workThreads > 1 ? m_build->memoryBound / 2 : m_build->memoryBound;
  if (m_build->memoryBound > 0 && GetBuildBytes() > spillAt && !Spill(error)) return false;
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
      m_build->cellsFile
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

bool CDataLineIndex::Save(const char* base, const std::string& suffix) {
  std::string spillError;
  if (!FinishSpills(&spillError)) {
    std::printf("Error Write %s.dataline: %s\n", base, spillError.c_str());
    return false;
  }
  if (m_build->workThreads > 1) return SaveInParallel(base, suffix);
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
  const bool written = RunTasks(m_build->workThreads, tasks);
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
