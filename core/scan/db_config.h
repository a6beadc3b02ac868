// CDBConfig: the database configuration of indexer mode 4, read from a tag-value text file
// ("<Key>value</Key>", keys Host, Database, Username, Password, Table, SortField,
// DBConnectString and SourceEncoding, case-sensitive). Values are taken exactly as written,
// blanks included; a missing key gives the empty value. Only DBConnectString, Table,
// SortField and SourceEncoding are used: the connection is made from DBConnectString alone
// (see core/scan/db/README.md for its forms), Table and SortField are pasted into the
// scan's statements unquoted, and SourceEncoding (UTF-8 when missing or empty, or GBK) says
// how the database's text bytes are decoded.
//
// Four keys set how mode 4 builds (written as decimal digits; missing or empty gives the
// default):
//  - IndexMemoryMB: the memory, in MiB, the build may hold for records and postings before
//    it spills them to files beside the data set and merges them at the save (0: no bound).
//    Default 1024, so tables up to a few hundred thousand articles never touch the disk.
//  - IndexThreads: the threads that clean and segment the rows (0 or missing: one per core).
//  - Append: 1 to add only the rows past the last indexed sort key to the committed data
//    set (see indexer/index_mode.h for the rule), 0 or missing for a full build.
//  - ContainsIndex: 1 (the default) to build the contains indexes and field lengths beside
//    the word indexes (what contains matching and relevance order read), 0 not to.
//  - MergeShare: for change runs, the share of the data set's records, in percent (1 to 100,
//    default 10), that the deleted, changed and added rows together may reach; a run that
//    would pass it builds in full, which merges them into one set of files.
//
// Two keys make an appending run a change run (indexer/change_run.h), which also takes
// deletions and edits without rewriting the data files:
//  - DeletedKeys: a statement that returns the sort-column values of rows deleted from the
//    table, in a column named as the sort column (rows the data set does not hold are passed
//    over);
//  - ChangedColumn: a column whose value grows whenever a row changes (a version number or a
//    time of change), compared by the database.
//
// Loaded once, read afterwards; not thread-safe while loading.
#pragma once

#include <string>

#include "core/scan/source_encoding.h"

class CDBConfig {
 public:
  // Every value longer than this (in bytes, terminator not counted) is refused.
  static constexpr size_t kMaxValueLength = 255;

  CDBConfig() = default;
  virtual ~CDBConfig() = default;

  // Reads the file at `path`. False when it is missing or empty (nothing printed; the caller
  // reports it), when a value has 256 bytes or more, when SourceEncoding names no known
  // encoding, or when IndexMemoryMB, IndexThreads, Append or ContainsIndex is not a number in its
  // range (a line naming the key and the file is printed). On false the configuration is unchanged.
  bool Load(const char* path);

  const char* GetHost() const { return m_host.c_str(); }
  const char* GetDatabase() const { return m_database.c_str(); }
  const char* GetUsername() const { return m_username.c_str(); }
  const char* GetPassword() const { return m_password.c_str(); }
  const char* GetTable() const { return m_table.c_str(); }
  const char* GetSortField() const { return m_sortField.c_str(); }
  const char* GetConnectString() const { return m_connectString.c_str(); }
  SourceEncoding GetSourceEncoding() const { return m_sourceEncoding; }
  int GetIndexMemoryMB() const { return m_indexMemoryMB; }
  int GetIndexThreads() const { return m_indexThreads; }
  bool GetAppend() const { return m_append; }
  bool GetContainsIndex() const { return m_containsIndex; }
  const std::string& GetDeletedKeys() const { return m_deletedKeys; }
  const std::string& GetChangedColumn() const { return m_changedColumn; }
  int GetMergeShare() const { return m_mergeShare; }

  static constexpr int kDefaultIndexMemoryMB = 1024;

 private:
  std::string m_host;
  std::string m_database;
  std::string m_username;
  std::string m_password;
  std::string m_table;
  std::string m_sortField;
  std::string m_connectString;
  SourceEncoding m_sourceEncoding = SourceEncoding::kUtf8;
  int m_indexMemoryMB = kDefaultIndexMemoryMB;
  int m_indexThreads = 0;
  bool m_append = false;
  bool m_containsIndex = true;
  std::string m_deletedKeys;
  std::string m_changedColumn;
  int m_mergeShare = 10;
};
