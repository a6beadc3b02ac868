// CNamedRecordSet: what the SQLite and ODBC record sets share. The current row is read by
// column name (matched without regard to ASCII case, CColumnNames); asking for a column that
// the result does not have, or for any column past the last row, is an error with a
// description, as the scan expects. An implementation adds its columns with AddColumn,
// fetches rows in Step and reads one column of the current row in ReadCurrent.
//
// Text and binary values arrive as bytes in the connection's source encoding and are decoded
// to GBK by DecodeBytes, the same way in every row. A value holding bytes that are no
// character of the encoding keeps a "?" for each such byte and is reported, once, with its
// row (counted from 1 in the result's order) and column: the first kListedInvalid such
// values are printed and written to the daily log one by one; when the record set is
// destroyed, a larger total is reported in one line.
//
// Ownership: the row object points back at its record set, so a record set is neither copied
// nor moved (it lives behind a std::unique_ptr). Not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/scan/db/column_names.h"
#include "core/scan/db_source.h"
#include "core/scan/source_encoding.h"

class CNamedRecordSet : public CDbRecordSet {
 public:
  static constexpr int64_t kListedInvalid = 20;

  explicit CNamedRecordSet(SourceEncoding encoding) : m_encoding(encoding), m_row(this) {}
  ~CNamedRecordSet() override;
  CNamedRecordSet(const CNamedRecordSet&) = delete;
  CNamedRecordSet& operator=(const CNamedRecordSet&) = delete;

  bool AtEnd() const override { return m_atEnd; }
  const CDbRow& GetRow() const override { return m_row; }
  bool MoveNext(std::string* error) override {
    if (m_atEnd) {
      *error = "No current row";
      return false;
    }
    ++m_rowNumber;
    return Step(error);
  }

 protected:
  // Fetches the next row; sets m_atEnd past the last one. False with *error on a failure.
  virtual bool Step(std::string* error) = 0;
  // Reads column `column` (0-based, below m_names.GetCount()) of the current row.
  virtual void ReadCurrent(int column, CDbValue* value) const = 0;

  // Adds the next column of the result under its GBK name.
  void AddColumn(const std::string& gbkName);

  // The GBK form of `size` bytes of a value of `column` in the row being read.
  void DecodeBytes(int column, const char* bytes, size_t size, std::string* gbk) const;

  CColumnNames m_names;
  bool m_atEnd = false;
  const SourceEncoding m_encoding;

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
  int64_t m_rowNumber = 1;                  // the row Step fetches or has fetched
  std::vector<std::string> m_columnNames;   // as the result names them, for reports
  mutable std::vector<int64_t> m_reported;  // per column: the last row reported
  mutable int64_t m_invalidCount = 0;
};
