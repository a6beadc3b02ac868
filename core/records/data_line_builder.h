// The builder's side of CDataLineIndex (data_line_index.h): the limits of the file formats,
// the records on their way into the store, and the state of a build, bounded or not. Only the
// code that builds a store (mode 4, the scan, tests) includes this header; a loader needs only
// data_line_index.h. The store's build functions are defined in data_line_builder.cc (records,
// limits, Save) and data_line_spill.cc (the spills of a bounded build and the append of a
// committed data set, StartFrom).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/index/indexer.h"
#include "core/records/data_line_index.h"
#include "core/util/large_buffer.h"
#include "core/util/spill_file.h"

// The counts the saved files keep in 32 bits. A build stops (AppendRecord fails, see
// GetLimitMessage) before one would pass its limit; tests lower them.
struct tFORMAT_LIMITS {
  int64_t records = INT32_MAX;           // R
  int64_t cells = INT32_MAX;             // R * S cells of the data-line file
  int64_t poolBytes = INT32_MAX;         // P, stored text bytes
  int64_t filterValues = INT32_MAX;      // V = R * Fl
  int64_t postingsPerIndex = INT32_MAX;  // postings of one index file
};

// One record on its way into the store (AppendRecord), per field number: the text as it is
// stored (cleaned), the word numbers of its normalised form (indexed fields), its character
// units (contains indexes) and its filter value (filter fields). Fields the store does not read
// stay empty. Filled by the scan (core/scan/record_preparation.h); reused from row to row to
// keep buffers.
struct tPREPARED_FIELD {
  std::string text;
  std::vector<int32_t> ids;
  std::vector<int32_t> units;  // character units of the normalised text (contains indexes)
  int32_t filter = 0;
};
struct tPREPARED_RECORD {
  std::vector<tPREPARED_FIELD> fields;
  std::string scratch;  // the preparation's scratch
};

// A prepared record's buffer larger than this is freed once the record is appended, so that
// one very long field does not leave a record reused for the rest of a scan holding its size.
constexpr size_t kKeptPreparedBytes = size_t{1} << 20;
// Frees every buffer of `record` whose capacity is above kKeptPreparedBytes (its content is
// then gone: call it after AppendRecord).
void ReleaseLargeBuffers(tPREPARED_RECORD* record);

// What one spill writes: the records' sections and every index's log, taken from the
// store (the section files and the indexes' runs are written one spill at a time).
struct CDataLineIndex::tSpill {
  std::vector<int32_t> cells;
  CLargeBuffer pool;
  size_t poolBytes = 0;
  std::vector<int32_t> filterValues;
  std::vector<CIndexer::tLog> logs;
  bool ok = true;
  std::string error;
};

struct CDataLineIndex::tBuild {
  int64_t memoryBound = 0;
  std::string spillPrefix;
  std::function<void(const char*)> hook;
  std::unique_ptr<CSpillFile> cellsFile;
  std::unique_ptr<CSpillFile> poolFile;
  std::unique_ptr<CSpillFile> filterFile;
  int spillCount = 0;
  bool spillFailed = false;
  int workThreads = 1;
  // The spill being written on spillThread (several work threads), and whether it failed.
  std::unique_ptr<tSpill> spill;
  std::thread spillThread;
  std::atomic<bool> spillThreadFailed{false};
  CLargeBuffer sparePool;  // a written spill's pool, for the next one to take over
  // The committed data-line file whose sections precede the spilled ones (StartFrom).
  std::string baseDataLine;
  int64_t baseCells[2] = {0, 0};    // offset and bytes of its cells
  int64_t basePool[2] = {0, 0};     // of its text pool
  int64_t baseFilters[2] = {0, 0};  // of its filter values

  tFORMAT_LIMITS limits;
  std::string limitMessage;
};
