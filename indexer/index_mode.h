// Mode 4 with the knobs that tests and benchmarks need and operators never see. The
// command line runs RunIndexMode (indexer/modes.h), which is RunIndexModeWith with the
// defaults.
#pragma once

#include <cstdint>

#include "core/records/data_line_builder.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_writer.h"
#include "core/scan/scan_database.h"

struct tIndexModeOptions {
  CScanOptions scan;  // e.g. a shorter pause after a database that cannot be opened
  // Called at each step of saving and committing the data set, and of spilling and merging
  // in a bounded build (tests stop the run there).
  CDataSetWriter::FaultHook faultHook;
  // The memory bound in bytes instead of the configuration's IndexMemoryMB (-1: take the
  // configuration's; 0: no bound). Tests force hundreds of runs with small tables.
  int64_t memoryBytes = -1;
  tFORMAT_LIMITS limits;  // the limits of the file formats; tests lower them
  // Threads instead of the configuration's IndexThreads (0: take the configuration's).
  int threads = 0;
};

// A build that cannot be whole commits nothing: after a scan into `store`, a record past a
// limit of the formats (its line printed, kFormatLimit) or records that could not be written
// to disk ("Error Write" and "Save ... failed!", kOutput); kSuccess otherwise.
int IncompleteBuildStatus(const CDataLineIndex& store, const char* resultBase);

// Returns the exit status (indexer/exit_status.h).
int RunIndexModeWith(const char* dbConfig, const char* resultBase, const char* schemaText,
                     const char* trieFile, const char* wordListFile,
                     const tIndexModeOptions& options);
