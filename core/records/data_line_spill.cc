// The store's bounded build: spilling what it holds to section files and sorted runs, writing
// the data-line file from them at the save, and continuing a committed data set (StartFrom).
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/index/indexer.h"
#include "core/index/indexer_control.h"
#include "core/records/data_line_builder.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_files.h"
#include "core/text/char_units.h"
#include "core/util/byte_io.h"
#include "core/util/file_util.h"
#include "core/util/spill_file.h"

namespace {

// The names of the runs of the index whose spilled files are named after `stem`.
std::function<std::string(int)> RunNames(const std::string& stem) {
  return [stem](int run) { return RunPath(stem, run); };
}

}  // namespace

CDataLineIndex::~CDataLineIndex() {
  if (m_build->spillThread.joinable()) m_build->spillThread.join();
}

void CDataLineIndex::EnableContains() {
  if (m_contains || m_recordCount != 0) return;
  m_contains = true;
  const bool readOnly = m_indexCount > 0 && m_controls[0]->GetIndexer().IsReadOnly();
  for (int k = 1; k < m_indexCount; ++k) {
    m_controls.push_back(std::make_unique<CIndexerControl>(kCharUnitCount, readOnly));
    CIndexer& index = m_controls.back()->GetIndexer();
    index.SetPostingLimit(m_build->limits.postingsPerIndex);
    if (!m_build->spillPrefix.empty()) {
      index.SetRunNames(RunNames(ControlPath(m_build->spillPrefix, m_controls.size() - 1)));
      index.SetFaultHook(m_build->hook);
    }
  }
}

void CDataLineIndex::SetMemoryBound(int64_t bytes, const std::string& spillPrefix,
                                    std::function<void(const char*)> hook) {
  m_build->memoryBound = bytes > 0 ? bytes : 0;
  m_build->spillPrefix = spillPrefix;
  m_build->hook = std::move(hook);
  for (size_t c = 0; c < m_controls.size(); ++c) {
    CIndexer& index = m_controls[c]->GetIndexer();
    index.SetRunNames(RunNames(ControlPath(spillPrefix, c)));
    index.SetFaultHook(m_build->hook);
  }
}

int CDataLineIndex::GetSpillCount() const { return m_build->spillCount; }

bool CDataLineIndex::HasSpillFailed() const {
  return m_build->spillFailed || m_build->spillThreadFailed.load();
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
  if (m_build->spillPrefix.empty()) {
    *error = "no place for the spilled records";
    return false;
  }
  if (m_build->hook) m_build->hook("spill");
  m_build->spillFailed = true;  // until everything below succeeded
  if (!m_build->cellsFile && !CreateSectionFiles(error)) return false;
  // Everything held moves to the spill; the store goes on with empty tables and the pool
  // of the spill before (its pages are reused, not faulted in anew).
  auto spill = std::make_unique<tSpill>();
  spill->cells.swap(m_cells);
  spill->filterValues.swap(m_filterValues);
  spill->poolBytes = m_poolLength - m_poolSpilled;
  spill->pool = std::move(m_pool);
  m_pool = std::move(m_build->sparePool);
  for (auto& control : m_controls) spill->logs.push_back(control->GetIndexer().DetachLog());
  m_recordsSpilled = m_recordCount;
  m_poolSpilled = m_poolLength;
  m_recordBase.clear();
  ++m_build->spillCount;
  if (m_build->workThreads > 1) {
    m_build->spill = std::move(spill);
    try {
      m_build->spillThread = std::thread([this] {
        WriteSpill(m_build->spill.get());
        if (!m_build->spill->ok) m_build->spillThreadFailed.store(true);
      });
      m_build->spillFailed = false;
      return true;
    } catch (const std::system_error&) {
      spill = std::move(m_build->spill);  // no thread to be had: written here instead
    }
  }
  WriteSpill(spill.get());
  const bool ok = spill->ok;
  if (!ok) *error = spill->error;
  Reuse(std::move(spill));
  m_build->spillFailed = !ok;
  return ok;
}

void CDataLineIndex::WriteSpill(tSpill* spill) {
  struct {
    CSpillFile* file;
    const void* data;
    size_t size;
  } const sections[] = {
      {m_build->cellsFile.get(), spill->cells.data(), spill->cells.size() * sizeof(int32_t)},
      {m_build->poolFile.get(), spill->pool.data(), spill->poolBytes},
      {m_build->filterFile.get(), spill->filterValues.data(),
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
  if (m_build->hook) m_build->hook("spilled");
}

void CDataLineIndex::Reuse(std::unique_ptr<tSpill> spill) {
  // The larger pool stays with the store, whose own may still be empty.
  if (m_poolLength == m_poolSpilled && spill->pool.capacity() > m_pool.capacity()) {
    std::swap(spill->pool, m_pool);
  }
  m_build->sparePool = std::move(spill->pool);
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
  if (m_build->spillThread.joinable()) m_build->spillThread.join();
  if (m_build->spill != nullptr) {
    if (!m_build->spill->ok) {
      m_build->spillFailed = true;
      *error = m_build->spill->error;
      m_build->spill.reset();
      return false;
    }
    Reuse(std::move(m_build->spill));
  }
  if (m_build->spillFailed) {
    *error = "an earlier spill failed";
    return false;
  }
  return true;
}

bool CDataLineIndex::CreateSectionFiles(std::string* error) {
  m_build->cellsFile = std::make_unique<CSpillFile>(SpillCellsPath(m_build->spillPrefix));
  m_build->poolFile = std::make_unique<CSpillFile>(SpillPoolPath(m_build->spillPrefix));
  m_build->filterFile = std::make_unique<CSpillFile>(SpillFiltersPath(m_build->spillPrefix));
  for (CSpillFile* file :
       {m_build->cellsFile.get(), m_build->poolFile.get(), m_build->filterFile.get()}) {
    if (!file->Create()) {
      *error = "cannot create " + file->path();
      return false;
    }
  }
  return true;
}

bool CDataLineIndex::StartFrom(const std::string& base, std::string* error) {
  const std::string path = DataLinePath(base);
  if (m_recordCount != 0 || m_build->spillPrefix.empty()) {
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
  m_build->baseDataLine = path;
  m_build->baseCells[0] = cellsOffset;
  m_build->baseCells[1] = cellsBytes;
  m_build->basePool[0] = poolOffset;
  m_build->basePool[1] = poolBytes;
  m_build->baseFilters[0] = poolOffset + poolBytes + 4;
  m_build->baseFilters[1] = 4 * int64_t{values};
  m_recordCount = records;
  m_recordsSpilled = records;
  m_poolLength = static_cast<size_t>(poolBytes);
  m_poolSpilled = m_poolLength;
  return true;
}

bool CDataLineIndex::WriteSpilledDataLine(std::FILE* file) {
  if (m_build->spillFailed) return false;
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
    return m_build->baseDataLine.empty() ||
           CopyFileRange(m_build->baseDataLine, range[0], range[1], file);
  };
  return written && base(m_build->baseCells) && m_build->cellsFile->Flush() &&
         m_build->cellsFile->CopyTo(file) && WriteI32Array(file, m_cells.data(), m_cells.size()) &&
         WriteI32(file, poolLength) && base(m_build->basePool) && m_build->poolFile->Flush() &&
         m_build->poolFile->CopyTo(file) &&
         (heldPool == 0 || std::fwrite(m_pool.data(), 1, heldPool, file) == heldPool) &&
         WriteI32(file, valueCount) && base(m_build->baseFilters) && m_build->filterFile->Flush() &&
         m_build->filterFile->CopyTo(file) &&
         WriteI32Array(file, m_filterValues.data(), m_filterValues.size());
}
