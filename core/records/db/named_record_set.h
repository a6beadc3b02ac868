// CNamedRecordSet: what the SQLite and ODBC record sets share. The current row is read by
// column name (matched without regard to ASCII case, CColumnNames); asking for a column that
// the result does not have, or for any column past the last row, is an error with a
// description, as the scan expects. An implementation fills m_names, fetches rows in Step
// and reads one column of the current row in ReadCurrent.
//
// Ownership: the row object points back at its record set, so a record set is neither copied
// nor moved (it lives behind a std::unique_ptr). Not thread-safe.
#pragma once

#include <string>

#include "core/records/db/column_names.h"
#include "core/records/db_source.h"

class CNamedRecordSet : public CDbRecordSet {
 public:
  CNamedRecordSet() : m_row(this) {}
  CNamedRecordSet(const CNamedRecordSet&) = delete;
  CNamedRecordSet& operator=(const CNamedRecordSet&) = delete;

  bool AtEnd() const override { return m_atEnd; }
  const CDbRow& GetRow() const override { return m_row; }
  bool MoveNext(std::string* error) override {
    if (m_atEnd) {
      *error = "No current row";
      return false;
    }
    return Step(error);
  }

 protected:
  // Fetches the next row; sets m_atEnd past the last one. False with *error on a failure.
  virtual bool Step(std::string* error) = 0;
  // Reads column `column` (0-based, below m_names.GetCount()) of the current row.
  virtual void ReadCurrent(int column, CDbValue* value) const = 0;

  CColumnNames m_names;
  bool m_atEnd = false;

 private:
  class CRow : public CDbRow {
   public:
    explicit CRow(const CNamedRecordSet* owner) : m_owner(owner) {}
    bool GetColumn(const char* name, CDbValue* value, std::string* error) const override {
      int column = m_owner->m_names.Find(name);
      if (column < 0) {
        *error = std::string("No column named ") + name;
        return false;
      }
      if (m_owner->m_atEnd) {
        *error = "No current row";
        return false;
      }
      m_owner->ReadCurrent(column, value);
      return true;
    }

   private:
    const CNamedRecordSet* m_owner;
  };

  CRow m_row;
};
