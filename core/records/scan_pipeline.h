// The row walk of a database scan: every row of a record set into a data-line store, in
// order, printing the progress. With more than one thread it runs as a pipeline: the calling
// thread fetches the rows (the database layer's reads and conversions) in batches, worker
// threads clean, normalise and segment them (CDataLineIndex::PrepareRecord), and the records
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

class CDataLineIndex;
class CDbRecordSet;

struct tROW_WALK {
  int threads = 1;         // threads that prepare records (1: everything on the caller's)
  int expectedTotal = -1;  // rows the count statement reported; -1 when unknown
  bool terminal = false;   // progress as one line updated in place
};

// Walks every row into the store. False with *error on the first failure: a row that cannot
// be read or moved past, or a record the store refuses (a limit of the formats, a failed
// spill); the walk then stops, and the records appended until then stay in the store.
bool WalkRows(CDataLineIndex* store, CDbRecordSet* rows, const tROW_WALK& walk, std::string* error);
