// ScanDatabase: reads every row of the configured table, in the order of the configured sort
// column, into a data-line store being built. It runs two statements, pasted together from
// the configuration as written:
//   "select count(*) as num from " + Table             (the row count, printed only)
//   "select * from " + Table + " order by " + SortField  (the rows)
// and hands each row to CDataLineIndex::AddRecord, printing a progress line every 100
// records and a summary at the end.
//
// The connection is created by the caller (core/records/db's factory in indexer, an
// in-memory table in tests) and lent for the call; the scan opens it with the configuration's
// DBConnectString (and its SourceEncoding) and closes it. Single-threaded.
#pragma once

class CDataLineIndex;
class CDBConfig;
class CDbConnection;

struct CScanOptions {
  // How long a database that cannot be opened is tried again (a server that is restarting
  // under a scheduled run gets its chance), and the pause between two attempts. Tests
  // shorten them.
  int notRunningPauseMilliseconds = 20000;
  int retryIntervalMilliseconds = 1000;
};

// Returns true when every row was read and the connection closed. A null `connection`
// prints "Create Instance failed!" and returns false. A database that cannot be opened
// prints "Database is not running!\n" and is tried again until the retry time has passed;
// then, and on every failing statement, row read, column conversion, move to the next row or
// lost connection, the scan ends: the database's own description goes to the console as
// "Database error: <description>\n" and to the daily log, and the result is false. The rows
// read until then stay in the store, which the caller must then not save as a data set.
bool ScanDatabase(CDataLineIndex* store, const CDBConfig& config, CDbConnection* connection,
                  const CScanOptions& options = CScanOptions());
