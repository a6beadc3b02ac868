// The database as the scan needs it: a connection that opens from one connection string and
// runs a statement, and the record set a statement yields, walked row by row. The real
// clients (SQLite, ODBC) live in core/scan/db; tests use the in-memory table of
// testing/records. Every failure comes back as false or null plus a description text, which
// the scan writes to the daily log.
//
// Ownership: a record set must not outlive the connection that made it. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/scan/db_row.h"
#include "core/scan/source_encoding.h"

class CDbRecordSet {
 public:
  virtual ~CDbRecordSet() = default;

  // True when there is no current row (empty result, or moved past the last row).
  virtual bool AtEnd() const = 0;

  // The current row; valid until MoveNext. REQUIRES: !AtEnd().
  virtual const CDbRow& GetRow() const = 0;

  // Moves to the next row (possibly the end). False with *error when the database fails.
  virtual bool MoveNext(std::string* error) = 0;
};

// A value bound to one "?" of a statement: an integer, or a GBK text that the layer hands
// over in the form its statements take (so it is never read as SQL).
struct tDbParameter {
  bool isText = false;
  int64_t integer = 0;
  std::string text;  // GBK bytes, NUL bytes included
};

class CDbConnection {
 public:
  virtual ~CDbConnection() = default;

  // Opens the database named by `connectString`, whose meaning belongs to the
  // implementation. False with *error when it cannot be opened; the connection then stays
  // closed and Execute fails.
  virtual bool Open(const std::string& connectString, std::string* error) = 0;

  // Runs `statement` (GBK text) and returns its record set positioned on the first row, or
  // null with *error set (closed connection, bad statement, ...).
  virtual std::unique_ptr<CDbRecordSet> Execute(const std::string& statement,
                                                std::string* error) = 0;

  // Runs `statement` with parameters[i] bound to its (i+1)-th "?". A layer that binds no
  // parameters runs a statement without any and refuses one with some.
  virtual std::unique_ptr<CDbRecordSet> ExecuteWith(const std::string& statement,
                                                    const std::vector<tDbParameter>& parameters,
                                                    std::string* error) {
    if (parameters.empty()) return Execute(statement, error);
    *error = "This database layer binds no statement parameters";
    return nullptr;
  }

  // Closes the connection; harmless when it is not open.
  virtual void Close() = 0;

  // How long the next Open may wait for the database to answer, in seconds (0: no limit, the
  // default). A layer that opens without waiting on a server ignores it.
  virtual void SetLoginTimeout(int seconds) { static_cast<void>(seconds); }

  // The encoding of the text bytes the database hands over (the configuration's
  // SourceEncoding, UTF-8 unless set), for the statements run afterwards. A layer whose
  // text arrives in a known form keeps the default, which ignores it.
  virtual void SetSourceEncoding(SourceEncoding encoding) { static_cast<void>(encoding); }
};
