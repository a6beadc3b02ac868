// In-memory tables standing in for the database in tests of the data-line store, the scan
// and the query engine. A CMemoryTable is a vector of rows, each a map from column name to
// CDbValue; column names are matched without regard to ASCII case, as the real clients do.
// CMemoryConnection serves the two statements the scan issues:
//   "select count(*) as num from <table>"  and  "select * from <table> order by <column>"
// (table and column taken exactly as written, blanks included, after the fixed prefix); the
// rows come in insertion order, so tests add them already sorted. Anything else, an unknown
// table or sort column, or an unopened connection fails with a description.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/scan/db_row.h"
#include "core/scan/db_source.h"

CDbValue NullValue();
CDbValue TextValue(const std::string& gbkText);
CDbValue IntValue(int32_t value);
CDbValue DoubleValue(double value);
CDbValue DateTimeValue(const std::string& text);

class CMemoryRow : public CDbRow {
 public:
  CMemoryRow() = default;
  CMemoryRow(std::initializer_list<std::pair<const std::string, CDbValue>> columns);

  void Set(const std::string& column, const CDbValue& value);
  // Makes GetColumn of `column` fail with `description` (a conversion error of the layer).
  void SetFailure(const std::string& column, const std::string& description);
  bool HasColumn(const std::string& column) const;

  bool GetColumn(const char* name, CDbValue* value, std::string* error) const override;

 private:
  std::map<std::string, CDbValue> m_columns;      // keys in lower case
  std::map<std::string, std::string> m_failures;  // keys in lower case
};

struct CMemoryTable {
  std::vector<CMemoryRow> rows;
  void Add(CMemoryRow row) { rows.push_back(std::move(row)); }
};

// A record set over a borrowed table (which must outlive it).
class CMemoryRecordSet : public CDbRecordSet {
 public:
  explicit CMemoryRecordSet(const std::vector<CMemoryRow>* rows) : m_rows(rows) {}
  bool AtEnd() const override { return m_position >= m_rows->size(); }
  const CDbRow& GetRow() const override { return (*m_rows)[m_position]; }
  bool MoveNext(std::string* error) override;

 private:
  const std::vector<CMemoryRow>* m_rows;
  size_t m_position = 0;
};

class CMemoryConnection : public CDbConnection {
 public:
  // `connectString` is what Open accepts; any other string fails to open.
  explicit CMemoryConnection(std::string connectString = "memory")
      : m_connectString(std::move(connectString)) {}

  // Tables are borrowed by name; they must outlive the connection's record sets.
  void AddTable(const std::string& name, const CMemoryTable* table) { m_tables[name] = table; }

  bool Open(const std::string& connectString, std::string* error) override;
  std::unique_ptr<CDbRecordSet> Execute(const std::string& statement, std::string* error) override;
  void Close() override { m_open = false; }

  const std::vector<std::string>& statements() const { return m_statements; }

  // The next `count` calls of Open fail as a server that is still starting would.
  void RefuseOpens(int count) { m_refusedOpens = count; }
  int openAttempts() const { return m_openAttempts; }

 private:
  int m_refusedOpens = 0;
  int m_openAttempts = 0;
  std::string m_connectString;
  bool m_open = false;
  std::map<std::string, const CMemoryTable*> m_tables;
  std::vector<std::string> m_statements;  // every statement seen, in order
  // Storage for the count statements' one-row results; each record set keeps its own.
  std::vector<std::unique_ptr<std::vector<CMemoryRow>>> m_countRows;
};
