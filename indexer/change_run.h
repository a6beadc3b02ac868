// Change runs: an appending run with DeletedKeys or ChangedColumn in the database
// configuration. The committed set's own files (data-line file, word and contains indexes,
// field lengths, sort keys) are kept as they are; the run reads only the rows changed or
// added since they were built and commits a generation with:
//  - a delta: the rows whose change column passed the change mark of the own files, and the
//    rows after their last sort key, built anew from the table at every run into files of
//    their own (<base>.delta.*). An edited row answers as its own record did, in its place
//    in the sort order; an added row as the next record after the own ones;
//  - the deletion list: the own records of rows that DeletedKeys reports, and those that the
//    delta answers for.
// Every answer then equals a full rebuild of the table. The run builds in full instead, with
// one line saying why, when the changes cannot be applied to the own files: a changed row
// whose key they do not hold (inserted before the end, or its key changed), a change column
// that went back, row counts that do not add up (deletions not reported, a table truncated
// and refilled), or deleted, changed and added rows past MergeShare of the set.
#pragma once

#include <string>

#include "indexer/index_mode.h"

class CDBConfig;
class CFieldInfo;
class CPDAT;

struct tChangeRunInput {
  const char* resultBase = nullptr;
  const CFieldInfo* schema = nullptr;
  const CPDAT* trie = nullptr;
  const CDBConfig* config = nullptr;
  CScanOptions scan;  // threads and progress as for a build
  int64_t memoryBytes = 0;
  const tIndexModeOptions* options = nullptr;
};

enum class ChangeOutcome {
  kCommitted,    // the generation is committed
  kBuildInFull,  // nothing written; *why says why the run must build in full
  kFailed,       // the run failed; *exitStatus holds its status (its lines are printed)
};

// REQUIRES: `writer` began, holds a committed generation that an appending run can continue
// (same inputs, plain sort column, a last key), and the schema is written.
ChangeOutcome RunChanges(CDataSetWriter* writer, const tChangeRunInput& input, int* exitStatus,
                         std::string* why);

// The change mark a full build records before it reads the table: the greatest value of the
// change column now (empty when there is none). False when the database fails (printed).
bool ReadChangeMark(const CDBConfig& config, const CScanOptions& scan, std::string* mark);
