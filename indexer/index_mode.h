// Mode 4 with the knobs that tests and benchmarks need and operators never see. The
// command line runs RunIndexMode (indexer/modes.h), which is RunIndexModeWith with the
// defaults.
#pragma once

#include "core/records/data_set_commit.h"
#include "core/records/scan_database.h"

struct CIndexModeOptions {
  CScanOptions scan;  // e.g. a shorter pause after a database that cannot be opened
  // Called at each step of saving and committing the data set (tests stop the run there).
  CDataSetWriter::FaultHook faultHook;
};

// Returns the exit status (indexer/exit_status.h).
int RunIndexModeWith(const char* dbConfig, const char* resultBase, const char* schemaText,
                     const char* trieFile, const char* wordListFile,
                     const CIndexModeOptions& options);
