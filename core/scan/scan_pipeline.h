// The row walk of a database scan: every row of a record set into a data-line store, in
// order, printing the progress. With more than one thread it runs as a pipeline: the calling
// thread fetches the rows (the database layer's reads and conversions) in batches, worker
// threads clean, normalise and segment them (PrepareRecord, record_preparation.h), and the records
// are appended to the store strictly in scan order (each worker appends its batch when the
// batch before it is in), so the store, and every file it saves, is the same whatever the
// number of threads.
//
// Progress: on a terminal one line, rewritten in place, with the records done, the rows per
// second and (when the total is known) the expected remaining time; otherwise the line
// "已完成%d条结果!" every 100 records, and every 10 seconds a line with the rate and the
// remaining time.
//
// Thread safety: the store is used only from the walk while it runs; the record set only by
// the calling thread.
#pragma once

#include <string>

#include "core/scan/db_row.h"
#include "core/scan/db_source.h"

class CDataLineIndex;
class CDbRecordSet;

// The sort column's values as a walk reads them, for appending runs (see CManifest::lastKey
// for the encoding). A value is a number (32-bit integer) or a text (text or date-time,
// compared byte by byte); NULL, a double or a change of kind breaks the order.
struct tSORT_KEYS {
  std::string column;  // the sort column's name; empty: values not followed
  std::string before;  // encoded key the first value must be above; empty: none
  // Stop the walk at the first value that is not above the one before (an appending run,
  // which then builds in full); otherwise only note it.
  bool stopWhenNotIncreasing = false;
  // When set, receives every key read, each followed by "\n" (record_keys.h), while the
  // values increase.
  std::string* lines = nullptr;
  // Results.
  bool increasing = true;  // every value was above the one before it (and above `before`)
  std::string last;        // encoded last value read; empty when no row was read or unusable
  std::string reason;      // why the order broke, when it did
};

// Encodes a value as a key; empty for NULL and doubles.
std::string EncodeSortKey(const CDbValue& value);
// The key as it is shown to the operator: the number, or the GBK bytes quoted with ' doubled.
// Statements never hold it: they take the key as a parameter (SortKeyParameter).
std::string SortKeyLiteral(const std::string& key);
// The key as a statement parameter: the number, or the GBK bytes.
tDbParameter SortKeyParameter(const std::string& key);
// True when key `a` stands before key `b` (numbers numerically, texts byte by byte); false
// for keys of different kinds.
bool SortKeyLess(const std::string& a, const std::string& b);

struct tROW_WALK {
  int threads = 1;                 // threads that prepare records (1: everything on the caller's)
  int expectedTotal = -1;          // rows the count statement reported; -1 when unknown
  bool terminal = false;           // progress as one line updated in place
  tSORT_KEYS* sortKeys = nullptr;  // followed when set and its column is not empty
};

// Walks every row into the store. False with *error on the first failure: a row that cannot
// be read or moved past, or a record the store refuses (a limit of the formats, a failed
// spill); the walk then stops, and the records appended until then stay in the store.
bool WalkRows(CDataLineIndex* store, CDbRecordSet* rows, const tROW_WALK& walk, std::string* error);
