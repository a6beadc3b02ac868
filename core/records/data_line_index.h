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
// counts do not fit the schema or its own size. Counts and offsets are int32, so AddRecord
// refuses a record that would take the pool past 2^31 - 1 bytes, or the records or filter
// values past 2^31 - 1; every file within these limits loads, 2 GiB or more included, and
// Load reads each section straight into its table, needing the file's size in memory once.
//
// Lifetime: the schema and trie are borrowed and must outlive the store. A store is either
// built (AddRecord ..., then Save) or loaded (Load, then read), never both.
// Thread safety: building is single-threaded. A loaded store is only read: GetCell,
// GetRecordCount, FilterResults, GetIndexControl and the controls' Lookup may run on many
// threads at once without a lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/records/db_row.h"
#include "core/util/file_util.h"
#include "core/util/large_buffer.h"

class CFieldInfo;
class CIndexerControl;
class CPDAT;
struct tINDEX_STRUCTURE;

class CDataLineIndex {
 public:
  // Creates one control per indexed position of `schema`, each with (trie, readOnly). Opens
  // the reference file "Dat/Standard.dataline" and keeps it open; when it is missing, writes
  // "Fail to read Dat/Standard.dataline" to the daily log.
  CDataLineIndex(const CFieldInfo& schema, const CPDAT* trie, bool readOnly);
  virtual ~CDataLineIndex();
  CDataLineIndex(const CDataLineIndex&) = delete;
  CDataLineIndex& operator=(const CDataLineIndex&) = delete;

  // Adds the next record from `row`: every field that is indexed, filter or stored is
  // fetched, trimmed of " \t\n\r", cleaned of markup, stored (if stored), normalised, then
  // indexed and/or turned into its filter value (atoi rules). All columns are read before
  // anything is changed: on a database-layer error (missing column, failed conversion) the
  // store is left as it was and false is returned with the description in *error.
  bool AddRecord(const CDbRow& row, std::string* error);

  // The value of field `fieldNumber`'s column in `row`, as text by the field's type, in
  // *text. *scratch, the caller's, receives the column value on the way (reusing it keeps
  // its text buffer from row to row). False with *error set on a database-layer error.
  bool FetchFieldText(const CDbRow& row, int fieldNumber, CDbValue* scratch, std::string* text,
                      std::string* error) const;

  // Appends `length` bytes of `text` to the pool and makes them cell (record, storedColumn).
  // REQUIRES: record < the record capacity reached through AddRecord (record <= R).
  void AddCell(int record, int storedColumn, const char* text, int length);

  // The text of cell (record, storedColumn), not NUL-terminated, its length in *length.
  // Out-of-range arguments give an empty text (length 0), never a read outside the store.
  const char* GetCell(int record, int storedColumn, int* length) const;

  // Filter value of `record` at filter position `filterColumn`; 0 when out of range.
  int32_t GetFilterValue(int record, int filterColumn) const;

  int GetRecordCount() const { return m_recordCount; }
  int GetIndexCount() const { return static_cast<int>(m_controls.size()); }
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
  // (mode 4 passes the pending suffix of a generation, see data_set_commit.h). Every file is
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
  void ReservePool(size_t capacity);
  void ProcessField(int record, int fieldNumber, std::string* text);

  const CFieldInfo& m_schema;
  const CPDAT* m_trie;
  int32_t m_indexCount;   // K
  int32_t m_filterCount;  // Fl
  int32_t m_storedCount;  // S
  std::vector<std::unique_ptr<CIndexerControl>> m_controls;

  int32_t m_recordCount = 0;
  std::vector<int32_t> m_recordBase;  // R entries
  std::vector<int32_t> m_cells;       // 2*R*S: offset, length per cell
  // The text pool: one block that grows by remapping its pages, never by copying them.
  CLargeBuffer m_pool;
  size_t m_poolLength = 0;              // P
  std::vector<int32_t> m_filterValues;  // R*Fl
  FilePtr m_keptFile;

  // Scratch of AddRecord, one text per field, reused from row to row.
  std::vector<std::string> m_fieldTexts;
  std::vector<int32_t> m_termIds;  // a field's word numbers: segmented once, fed to every index
  CDbValue m_value;                // FetchFieldText's scratch
};
