// CDataLineIndex: the per-record store of the indexed table. Record numbers are 0, 1, 2, ...
// in scan order. For every record the store keeps the texts of the stored fields (cells, in
// one text pool, addressed by offset and length) and the 32-bit values of the filter fields;
// it owns one CIndexerControl per indexed position (0 = the all-fields index) and feeds the
// indexed fields' texts to them.
//
// Files: <base>.dataline (R, R record bases, R*S cells of offset and length, P, the pool of P
// bytes, V = R*Fl, V filter values; little-endian int32, no header) and <base>.index_<k>
// for k = 0 .. K-1, written and read by the controls. S, Fl and K come from the schema, so a
// data set can only be read with the schema it was written with; Load refuses a file whose
// counts do not fit the schema or its own size. Counts and offsets are int32, so AppendRecord
// refuses a record that would take the pool past 2^31 - 1 bytes, or the records or filter
// values past 2^31 - 1; every file within these limits loads, 2 GiB or more included, and
// Load reads each section straight into its table, needing the file's size in memory once.
//
// The reader (Load and the accessors) is data_line_index.cc; the build (AppendRecord, the
// limits, Save) is data_line_builder.cc and the spills of a bounded build with the append to a
// committed set (StartFrom) data_line_spill.cc, their types in data_line_builder.h. Records
// are made from database rows in core/scan.
//
// Lifetime: the schema and trie are borrowed and must outlive the store. A store is either
// built (AppendRecord ..., then Save) or loaded (Load, then read), never both.
// Thread safety: building is single-threaded. A loaded store is only read: GetCell,
// GetRecordCount, FilterResults, GetIndexControl and the controls' Lookup may run on many
// threads at once without a lock.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/index/indexer.h"
#include "core/records/record_list.h"
#include "core/util/file_util.h"
#include "core/util/large_buffer.h"

class CFieldInfo;
class CIndexerControl;
class CPDAT;
// The builder's types (data_line_builder.h).
struct tFORMAT_LIMITS;
struct tPREPARED_RECORD;

class CDataLineIndex {
 public:
  // Creates one control per indexed position of `schema`, each with (trie, readOnly). Opens
  // the reference file "Dat/Standard.dataline" and keeps it open; when it is missing, writes
  // "Fail to read Dat/Standard.dataline" to the daily log.
  CDataLineIndex(const CFieldInfo& schema, const CPDAT* trie, bool readOnly);
  virtual ~CDataLineIndex();
  CDataLineIndex(const CDataLineIndex&) = delete;
  CDataLineIndex& operator=(const CDataLineIndex&) = delete;

  // Adds `record` (prepared from a row, core/scan/record_preparation.h) as the next record
  // number: stores its stored fields, indexes its indexed fields and keeps its filter values.
  // Records come one at a time, in scan order, on one thread.
  //
  // A record that would take a count of the files past its limit (tFORMAT_LIMITS) is refused
  // with false and the reason in *error, and GetLimitMessage then names the limit and the
  // record; the build cannot go on (the record may be half added) and must not be saved.
  // With a memory bound set, a record after which the store holds more than the bound spills
  // everything held to disk (see SetMemoryBound); a spill that fails (full disk) refuses the
  // record with the reason in *error, and the store cannot be saved.
  bool AppendRecord(const tPREPARED_RECORD& record, std::string* error);

  // Bounded build (before the first AppendRecord): at most about `bytes` of records and postings
  // are held in memory (0: no bound). Past it the stored texts, cells and filter values
  // move to section files and every index writes a sorted run, all named `spillPrefix`
  // followed by ".cells", ".pool", ".filters" and ".index_<k>.run<n>". Save merges them into
  // files byte-identical to those of an unbounded build. The files are removed by Save and by
  // the destructor. `hook` (may be empty) is called with "spill" and "spilled" around each
  // spill, with "run" before an index writes a run and with "merge" before an index's runs
  // are merged.
  void SetMemoryBound(int64_t bytes, const std::string& spillPrefix,
                      std::function<void(const char*)> hook = {});

  // Builds or loads, beside every field's word index, its contains index (character units,
  // char_units.h) and the records' field lengths: <base>.chars_<k> for indexed positions
  // k >= 1 and <base>.lengths (R, C = K - 1, then R*C int32: the units of each indexed field
  // of each record). Call before the first record, SetMemoryBound, StartFrom and Load.
  void EnableContains();
  bool HasContains() const { return m_contains; }
  // The schema the store was made with (borrowed).
  const CFieldInfo& GetSchema() const { return m_schema; }
  // The trie the store segments with (borrowed; may be null for a store that only parses).
  const CPDAT* GetTrie() const { return m_trie; }
  // The contains index of indexed position `indexedPosition` (1 .. K-1); null without
  // contains indexes or for another position.
  const CIndexerControl* GetCharControl(int indexedPosition) const;
  // The length in character units of indexed field `indexedPosition` (1 .. K-1) of
  // `record`; 0 outside the store or without contains indexes.
  int32_t GetFieldLength(int record, int indexedPosition) const {
    if (m_delta != nullptr && IsDeltaRecord(record)) {
      return m_delta->GetFieldLength(DeltaRecord(record), indexedPosition);
    }
    if (!m_contains || record < 0 || record >= m_recordCount || indexedPosition < 1 ||
        indexedPosition >= m_indexCount) {
      return 0;
    }
    return m_lengths[static_cast<size_t>(record) * static_cast<size_t>(m_indexCount - 1) +
                     static_cast<size_t>(indexedPosition - 1)];
  }
  // The mean of GetFieldLength over the records (computed at load); 0 without records.
  double GetAverageFieldLength(int indexedPosition) const;

  // Loads, with the data set, its deletion list <base>.deleted (record_list.h): the records
  // that no longer answer. Call before Load, for a set whose manifest lists one (or, without
  // a manifest, when the file exists).
  void EnableDeletions() { m_deletions = true; }
  // The records of the store's own files that no longer answer from them: deleted, or
  // answered by the delta with their new content.
  const CRecordList& deletions() const { return m_deleted; }
  // True for a record that does not answer at all (deleted, and not answered by the delta).
  bool IsDeleted(int32_t record) const {
    return m_deleted.IsDeleted(record) && !IsDeltaRecord(record);
  }
  // The records that answer: all record numbers less the deleted ones.
  int32_t GetLiveRecordCount() const {
    return m_liveCount >= 0 ? m_liveCount : m_recordCount - m_deleted.size();
  }

  // The delta of a loaded data set: a store of its own (same schema and trie) holding the
  // rows changed or added since the store's files were built, and for each of its records
  // the record number it answers as (`globals`, ascending): a record of the store's own,
  // which the deletion list then hides from the own files, or one past them (the records
  // added at the end, numbered on from GetOwnRecordCount()). After it, GetRecordCount counts
  // both, GetCell, GetFilterValue, FilterResults and GetFieldLength answer for the delta's
  // records from the delta, and the averages of the field lengths are those of the records
  // that answer. False with the reason in *error when `globals` does not fit.
  bool AttachDelta(std::unique_ptr<CDataLineIndex> delta, std::vector<int32_t> globals,
                   std::string* error);
  const CDataLineIndex* delta() const { return m_delta.get(); }
  // True when the delta answers as record `record`: one bit per record, so that the pages,
  // filters and lookups of a set with a delta read little beside what they read without one.
  bool IsDeltaRecord(int32_t record) const {
    return record >= 0 && static_cast<size_t>(record) / 64 < m_deltaBits.size() &&
           (m_deltaBits[static_cast<size_t>(record) / 64] >> (record % 64) & 1) != 0;
  }
  // The delta's record that answers as record `record`, or -1 (the own files answer).
  int32_t DeltaRecord(int32_t record) const {
    if (!IsDeltaRecord(record)) return -1;
    return static_cast<int32_t>(
        std::lower_bound(m_deltaGlobals.begin(), m_deltaGlobals.end(), record) -
        m_deltaGlobals.begin());
  }
  // The record number the delta's record `local` answers as.
  int32_t DeltaGlobal(int32_t local) const { return m_deltaGlobals[static_cast<size_t>(local)]; }
  // The records of the store's own files.
  int GetOwnRecordCount() const { return m_recordCount; }
  // How many records that the deletion list hides hold word `term` in the own word index of
  // indexed position `position`: counted from its postings at the first call, then kept.
  // Thread-safe; -1 for a term or position outside the index.
  int32_t HiddenHolding(int position, int32_t term) const;

  // Threads that the spills of a bounded build and Save may use (default 1). With more than
  // one, a spill is written on a thread of its own while records go on being added: it
  // starts at half the bound, so that what it writes and what is added meanwhile stay within
  // the bound together, and the next spill first waits for it; and Save writes its files on
  // that many threads at once. The hook may then be called on those threads ("run" and
  // "spilled" on the spill's, "merge" on the save's), never on two at the same time for
  // spills.
  void SetWorkThreads(int threads);
  void SetFormatLimits(const tFORMAT_LIMITS& limits);

  // Continues the committed data set <base> (an appending run): its records and postings
  // come first, read from its files at the save (which must stay in place until then), and
  // the records added afterwards follow them. REQUIRES: SetMemoryBound was called (its prefix
  // names the files of the build) and no record was added. False with *error when a file
  // of the set cannot be read or does not fit the schema and trie.
  bool StartFrom(const std::string& base, std::string* error);

  // Memory the build holds for its records and postings (what the bound is compared with).
  int64_t GetBuildBytes() const;
  // Spills everything held to disk now (with several work threads, starts writing it). False
  // with *error when a file cannot be written or an earlier spill failed.
  bool Spill(std::string* error);
  // Waits for a spill being written on its own thread. False with *error when it, or any
  // earlier spill, failed. A scan calls it once the last record is added.
  bool FinishSpills(std::string* error);
  int GetSpillCount() const;
  bool HasSpillFailed() const;

  // Empty, or the one line saying which limit of the files AppendRecord reached, and where.
  const std::string& GetLimitMessage() const;

  // Appends `length` bytes of `text` to the pool and makes them cell (record, storedColumn).
  // REQUIRES: record < the record capacity reached through AppendRecord (record <= R), and the
  // record not spilled.
  void AddCell(int record, int storedColumn, const char* text, int length);

  // The text of cell (record, storedColumn), not NUL-terminated, its length in *length.
  // Out-of-range arguments give an empty text (length 0), never a read outside the store; so
  // do records a bounded build has spilled to disk.
  const char* GetCell(int record, int storedColumn, int* length) const;

  // Filter value of `record` at filter position `filterColumn`; 0 when out of range.
  int32_t GetFilterValue(int record, int filterColumn) const;

  int GetRecordCount() const { return m_delta != nullptr ? m_globalCount : m_recordCount; }
  int GetIndexCount() const { return m_indexCount; }
  // True when one of the loaded index files was shortened under a query (CIndexer::IsDamaged).
  bool AnyIndexDamaged() const;

  // The control of indexed position `indexedPosition`. REQUIRES: 0 <= it < GetIndexCount().
  const CIndexerControl& GetIndexControl(int indexedPosition) const;

  // For each of the `count` results whose record is not -1: if the record's value of filter
  // field `fieldNumber` is none of `values` (each read with atoi rules), the record becomes
  // -1. Returns how many were set to -1 by this call; results keep their places. A record
  // number outside the store is eliminated too. A field that is not a filter field leaves
  // the results alone (returns 0).
  int FilterResults(int fieldNumber, const std::vector<std::string>& values,
                    tINDEX_STRUCTURE* results, int count) const;

  // Writes <base>.dataline and <base>.index_0 .. index_<K-1>, each name followed by `suffix`
  // (mode 4 passes the pending suffix of a generation, see data_set_writer.h). Every file is
  // first written beside its name and all are renamed onto it only when all were written, so
  // a failed save leaves the previous data set whole. Prints "Save %s Success!\n",
  // "Begin Save %d Index!\n" and per index "Save %s Start!\n" / "Save %s Success!\n" with the
  // names without the suffix; on failure "Error Write %s\n" and false.
  bool Save(const char* base, const std::string& suffix = std::string());

  // Reads <base>.dataline and has control k load <base>.index_<k>. A missing, damaged or
  // mismatched data-line file is refused ("Fail to read <path>" in the daily log, false) and
  // the store keeps what it had. An index file that cannot be loaded (missing, damaged, not
  // mappable) is logged the same way and fails the load too; the store is then partly loaded
  // and its callers discard it.
  bool Load(const char* base);

 private:
  bool LoadDataLine(const std::string& path);
  // Reserves the tables' first room for a store that is built.
  void ReserveForBuild();
  void ReservePool(size_t capacity);
  bool CheckLimits(int64_t storedBytes);
  bool WriteSpilledDataLine(std::FILE* file);
  bool CreateSectionFiles(std::string* error);
  bool WriteDataLine(const std::string& path, int* reason);
  bool SaveInParallel(const char* base, const std::string& suffix);
  // Renames the data-line file and the index files written under the names `pending` (in
  // that order) onto their names with `suffix`.
  bool MovePending(const char* base, const std::string& suffix,
                   const std::vector<std::string>& pending);

  // What one spill writes (data_line_builder.h).
  struct tSpill;
  void WriteSpill(tSpill* spill);
  // Takes back what a written spill leaves reusable (the pool's pages).
  void Reuse(std::unique_ptr<tSpill> spill);

  const CFieldInfo& m_schema;
  const CPDAT* m_trie;
  int32_t m_indexCount;   // K
  int32_t m_filterCount;  // Fl
  int32_t m_storedCount;  // S
  // The word indexes 0 .. K-1, then, with contains indexes, those of positions 1 .. K-1.
  std::vector<std::unique_ptr<CIndexerControl>> m_controls;
  bool m_contains = false;
  std::vector<int32_t> m_lengths;       // K-1 per record (all records, never spilled)
  std::vector<double> m_averageLength;  // per indexed position over the live records
  bool m_deletions = false;
  CRecordList m_deleted;
  // The delta (AttachDelta): its store, the record number of each of its records (ascending),
  // and one bit per record number, set where the delta answers.
  std::unique_ptr<CDataLineIndex> m_delta;
  std::vector<int32_t> m_deltaGlobals;
  std::vector<uint64_t> m_deltaBits;
  int32_t m_globalCount = 0;
  // HiddenHolding's kept counts per word index and term (-1 until counted); made at the load
  // of a deletion list.
  std::vector<std::unique_ptr<std::atomic<int32_t>[]>> m_hiddenCounts;
  int32_t m_liveCount = -1;
  // The file of control c (a word index or a contains index) of the data set <base>.
  std::string ControlPath(const std::string& base, size_t c) const;
  bool WriteLengths(const std::string& path, int* reason) const;
  bool LoadLengths(const std::string& path);

  int32_t m_recordCount = 0;
  // The tables hold records m_recordsSpilled .. R-1; a bounded build has moved the records
  // before them to the section files (none otherwise).
  std::vector<int32_t> m_recordBase;  // one entry per record held
  std::vector<int32_t> m_cells;       // 2*S per record held: offset, length per cell
  // The text pool: one block that grows by remapping its pages, never by copying them. It
  // holds the bytes from m_poolSpilled on; cell offsets count from the start of all texts.
  CLargeBuffer m_pool;
  size_t m_poolLength = 0;              // P
  std::vector<int32_t> m_filterValues;  // Fl per record held
  int32_t m_recordsSpilled = 0;
  size_t m_poolSpilled = 0;

  // What only a build uses: its limits, memory bound and spills (data_line_builder.h); made
  // for every store, so that no build function needs to ask whether it is there.
  struct tBuild;
  std::unique_ptr<tBuild> m_build;
  FilePtr m_keptFile;
};
