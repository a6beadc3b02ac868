// COdbcConnection: the database layer over the unixODBC driver manager. The connection
// string is handed whole to SQLDriverConnect (for example
// "Driver=PostgreSQL Unicode;Server=...;Port=...;Database=...;Uid=...;Pwd=..."), with the
// login time-out SetLoginTimeout gives and no query time-out. Statements (GBK) are sent wide
// (UTF-16).
//
// Values by the column's SQL type: 8/16/32-bit integers to 32-bit integers; BIGINT the same
// when it fits, else read like atoi of its decimal text (clamped); DECIMAL and NUMERIC like
// atoi of their decimal text; REAL, FLOAT and DOUBLE to doubles; DATE and TIMESTAMP to
// date-times "YYYY-MM-DD HH:MM:SS" (TIME as "HH:MM:SS"); binary types to their bytes decoded
// by the source encoding (UTF-8 unless the configuration says GBK); every other type is
// fetched wide (SQL_C_WCHAR) in pieces, each piece's length taken from where the driver put
// its terminator (text_pieces.h), and converted to GBK, which the source encoding does not
// touch. With MariaDB and MySQL, whose drivers cut long wide texts, character columns are
// fetched as the bytes of the connection's character set (utf8mb4 or gbk) instead.
// All columns of a row are read when the row is fetched, in column order, which every
// driver supports.
//
// Not thread-safe; record sets must not outlive the connection.
#pragma once

#include <memory>
#include <string>

#include "core/scan/db_source.h"

class COdbcConnection : public CDbConnection {
 public:
  // Null when the driver manager's environment cannot be created.
  static std::unique_ptr<COdbcConnection> Create();
  ~COdbcConnection() override;
  COdbcConnection(const COdbcConnection&) = delete;
  COdbcConnection& operator=(const COdbcConnection&) = delete;

  bool Open(const std::string& connectString, std::string* error) override;
  std::unique_ptr<CDbRecordSet> Execute(const std::string& statement, std::string* error) override;
  // Integers are bound as BIGINT, texts as wide (UTF-16) character data.
  std::unique_ptr<CDbRecordSet> ExecuteWith(const std::string& statement,
                                            const std::vector<tDbParameter>& parameters,
                                            std::string* error) override;
  void Close() override;
  void SetSourceEncoding(SourceEncoding encoding) override { m_encoding = encoding; }
  // Sets the driver's login time-out and, while connecting, its connection time-out: a
  // server that takes the connection and never answers fails the Open after that long.
  void SetLoginTimeout(int seconds) override { m_loginTimeoutSeconds = seconds; }

  // How character columns are fetched: UTF-16 (kWide, any driver), or as the bytes of the
  // server's character set (MariaDB and MySQL, see odbc_source.cc).
  enum class ServerText { kWide, kUtf8, kGbk };
  ServerText serverText() const { return m_serverText; }

 private:
  COdbcConnection() = default;

  // SQLHENV, shared with a login that did not finish in time (it frees its own handles).
  std::shared_ptr<void> m_environment;
  void* m_connection = nullptr;  // SQLHDBC, while connected
  SourceEncoding m_encoding = SourceEncoding::kUtf8;
  ServerText m_serverText = ServerText::kWide;
  int m_loginTimeoutSeconds = 0;
};
