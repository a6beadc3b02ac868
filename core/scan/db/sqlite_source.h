// CSqliteConnection: the database layer over an SQLite file, chosen by a connection string
// "sqlite:PATH". The file is opened read-only and must exist and be a database. Values map
// by SQLite's storage class: INTEGER to a 32-bit integer (a value beyond 32 bits is read
// like atoi of its decimal text, clamped), REAL to a double, TEXT and BLOB to GBK text
// decoded by the source encoding, NULL to null; TEXT in a column declared DATE, DATETIME or
// TIMESTAMP is a date-time, passed as written. With the source encoding UTF-8 (the default)
// statements (GBK) are handed to SQLite as UTF-8 and column names converted back; with GBK
// the database's text is GBK throughout, statements and names included, and passes as it is.
//
// Not thread-safe; record sets must not outlive the connection.
#pragma once

#include <memory>
#include <string>

#include "core/scan/db_source.h"

struct sqlite3;

class CSqliteConnection : public CDbConnection {
 public:
  static constexpr const char* kPrefix = "sqlite:";

  CSqliteConnection();
  ~CSqliteConnection() override;
  CSqliteConnection(const CSqliteConnection&) = delete;
  CSqliteConnection& operator=(const CSqliteConnection&) = delete;

  // `connectString` must be "sqlite:" followed by the path of an existing database file.
  bool Open(const std::string& connectString, std::string* error) override;
  std::unique_ptr<CDbRecordSet> Execute(const std::string& statement, std::string* error) override;
  // Integers are bound as 64-bit integers, texts as SQLite text in the source encoding.
  std::unique_ptr<CDbRecordSet> ExecuteWith(const std::string& statement,
                                            const std::vector<tDbParameter>& parameters,
                                            std::string* error) override;
  void Close() override;
  void SetSourceEncoding(SourceEncoding encoding) override { m_encoding = encoding; }

 private:
  sqlite3* m_database = nullptr;
  SourceEncoding m_encoding = SourceEncoding::kUtf8;
};
