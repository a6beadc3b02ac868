// ScanDatabase: reads every row of the configured table, in the order of the configured sort
// column, into a data-line store being built. It runs two statements, pasted together from
// the configuration as written:
//   "select count(*) as num from " + Table             (the row count, printed only)
//   "select * from " + Table + " order by " + SortField  (the rows)
// and hands each row to the store (record_preparation.h), printing a progress line every 100
// records and a summary at the end.
//
// The connection is created by the caller (core/scan/db's factory in indexer, an
// in-memory table in tests) and lent for the call; the scan opens it with the configuration's
// DBConnectString (and its SourceEncoding) and closes it. Single-threaded.
#pragma once

#include <string>
#include <vector>

#include "core/scan/db_source.h"
#include "core/scan/scan_pipeline.h"

class CDataLineIndex;
class CDBConfig;
class CDbConnection;

struct CScanOptions {
  // How long a database that cannot be opened is tried again (a server that is restarting
  // under a scheduled run gets its chance), and the pause between two attempts. Tests
  // shorten them.
  int notRunningPauseMilliseconds = 20000;
  int retryIntervalMilliseconds = 1000;
  // Threads that clean, normalise and segment the rows while the caller's thread fetches
  // them (scan_pipeline.h); 1 does everything on the caller's thread. The store is the same.
  int threads = 1;
  // Progress as one line rewritten in place (standard output is a terminal).
  bool terminalProgress = false;
  // Conditions (SQL, pasted as written) that restrict the count statement and the scan
  // statement: "... from T where <countCondition>" and "... from T where <scanCondition>
  // order by S", or, when Table holds a where clause of its own, "... where (<Table's
  // condition>) and (<condition>)" (RestrictTable). Empty: no condition. Their "?" take the
  // parameters in order. An appending run counts the rows up to its last key and reads the
  // rows after it.
  std::string countCondition;
  std::string scanCondition;
  std::vector<tDbParameter> countParameters;
  std::vector<tDbParameter> scanParameters;
  // When set, receives the count statement's value (-1 when it was not read) and follows the
  // sort column's values (scan_pipeline.h).
  int* count = nullptr;
  tSORT_KEYS* sortKeys = nullptr;
};

// The text after "from" of a statement that reads the rows of `table` (the configuration's
// Table, a table name possibly followed by a where clause) which also meet `condition`:
// "<table> where <condition>", or "<name> where (<table's condition>) and (<condition>)".
// False with the reason in *why when `table` holds what a condition cannot be added to
// (grouping, ordering, a limit, a union, a comment, a semicolon, unbalanced quotes).
bool RestrictTable(const std::string& table, const std::string& condition, std::string* from,
                   std::string* why);

// Returns true when every row was read and the connection closed. A null `connection`
// prints "Create Instance failed!" and returns false. A database that cannot be opened
// prints "Database is not running!\n" and is tried again until the retry time has passed
// (each attempt may wait for the server's answer for the rest of that time, at least 1 s);
// then, and on every failing statement, row read, column conversion, move to the next row or
// lost connection, the scan ends: the database's own description goes to the console as
// "Database error: <description>\n" and to the daily log, and the result is false. The rows
// read until then stay in the store, which the caller must then not save as a data set.
bool ScanDatabase(CDataLineIndex* store, const CDBConfig& config, CDbConnection* connection,
                  const CScanOptions& options = CScanOptions());

// What a change run asks the table: how many rows stand up to and including the last indexed
// key (NULL keys counted with them), the greatest value of the change column, and the sort
// keys of the deleted rows, which `deletedStatement` returns in a column named as the sort
// column (encoded as CManifest::lastKey; NULL and fractions are skipped). Each part is asked
// only when its input is given.
struct tCHANGE_QUERY {
  std::string lastKey;           // the committed set's last key; empty: no count
  std::string changedColumn;     // the configuration's ChangedColumn; empty: no mark
  std::string deletedStatement;  // the configuration's DeletedKeys; empty: none asked
  // Results.
  int rowsUpToKey = -1;
  std::string mark;  // encoded greatest value of the change column (empty: none or NULL)
  std::vector<std::string> deletedKeys;
};

// Opens the connection as ScanDatabase does, runs the statements and closes it. False (the
// database's description printed and logged) when one fails.
bool QueryChanges(const CDBConfig& config, CDbConnection* connection, const CScanOptions& options,
                  tCHANGE_QUERY* changes);
