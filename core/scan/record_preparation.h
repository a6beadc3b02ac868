// Record preparation: a database row turned into the record the store's builder appends
// (tPREPARED_RECORD, data_line_builder.h). Every field that is indexed, filter or stored is
// fetched from the row as text by its type, trimmed of " \t\n\r", cleaned of markup (the
// stored form), normalised, then segmented into word numbers (indexed fields, and character
// units with contains indexes) and read as a filter value (atoi rules). The work is split in
// two so that a scan can spread it over threads: FetchRecord reads the row (the database
// layer, one thread), PrepareRecord does the rest and only reads the store, its schema and its
// trie, so any number of threads may run it at once, each on its own record.
#pragma once

#include <string>

#include "core/records/data_line_builder.h"
#include "core/scan/db_row.h"

class CDataLineIndex;
class CFieldInfo;

// A record of a scan: the prepared record and the column value FetchRecord reads through
// (kept with the record so that its text buffer is reused from row to row).
struct tSCANNED_RECORD {
  tPREPARED_RECORD prepared;
  CDbValue value;
};

// The value of field `fieldNumber`'s column in `row`, as text by the field's type (of
// `schema`), in *text. *scratch, the caller's, receives the column value on the way (reusing
// it keeps its text buffer from row to row). False with *error set on a database-layer error.
bool FetchFieldText(const CFieldInfo& schema, const CDbRow& row, int fieldNumber, CDbValue* scratch,
                    std::string* text, std::string* error);

// Reads the columns of `row` that `store`'s schema needs into record->prepared. False with
// *error on a database-layer error (missing column, failed conversion).
bool FetchRecord(const CDataLineIndex& store, const CDbRow& row, tSCANNED_RECORD* record,
                 std::string* error);

// Trims, cleans, normalises and segments the fetched texts of `record` for `store`.
void PrepareRecord(const CDataLineIndex& store, tPREPARED_RECORD* record);

// Frees the buffers of `record` above kKeptPreparedBytes, the column value's included.
void ReleaseLargeBuffers(tSCANNED_RECORD* record);

// Fetches, prepares and appends `row` as the next record of `store`. All columns are read
// before anything is changed: on a database-layer error the store is left as it was. False
// with *error where FetchRecord or CDataLineIndex::AppendRecord is false.
bool AddRecord(CDataLineIndex* store, const CDbRow& row, std::string* error);
