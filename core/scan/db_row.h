// CDbRow: the current row of a database scan as the data-line store sees it. A row answers
// one question: the value of a column, looked up by the column's name (matched without
// regard to ASCII case). The database layer has already turned the value into one of the
// kinds below: text is GBK, a date-time is written "YYYY-MM-DD HH:MM:SS", 64-bit and decimal
// numbers have been reduced to 32-bit integers (see core/scan/db/README.md).
//
// A row object belongs to its record set (or to the test table) and is valid until the
// record set moves on. Not thread-safe; a scan runs on one thread.
#pragma once

#include <cstdint>
#include <string>

// One column value. Only the member named by `kind` is meaningful: `text` for kText and
// kDateTime, `integer` for kInt32, `real` for kDouble; kNull carries nothing. Callers may
// reuse one CDbValue for many look-ups so that `text` keeps its capacity.
struct CDbValue {
  enum Kind { kNull, kText, kInt32, kDouble, kDateTime };
  Kind kind = kNull;
  std::string text;  // GBK bytes; date-time as "YYYY-MM-DD HH:MM:SS"
  int32_t integer = 0;
  double real = 0;
};

class CDbRow {
 public:
  virtual ~CDbRow() = default;

  // Stores the value of column `name` of the current row in *value and returns true.
  // Returns false with a description in *error when the row has no such column or the
  // database layer cannot convert the value; *value is then unspecified.
  virtual bool GetColumn(const char* name, CDbValue* value, std::string* error) const = 0;
};
