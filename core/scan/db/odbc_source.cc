#include "core/scan/db/odbc_source.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/records/decimal_text.h"
#include "core/scan/db/column_names.h"
#include "core/scan/db/named_record_set.h"
#include "core/scan/db/text_pieces.h"
#include "core/text/encoding.h"

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager must use UTF-16");

namespace {

bool Succeeded(SQLRETURN result) {
  return result == SQL_SUCCESS || result == SQL_SUCCESS_WITH_INFO;
}

// Every diagnostic record of `handle` as one GBK text, "SQLSTATE message" joined by "; "
// (read wide, as the driver wrote them; a message longer than the buffer is read again
// whole). `fallback` when there is none.
std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle, const char* fallback) {
  constexpr SQLSMALLINT kMaxRecords = 64;  // a driver that never says "no more"
  std::string text;
  std::vector<SQLWCHAR> message(1024);
  for (SQLSMALLINT record = 1; record <= kMaxRecords; ++record) {
    SQLWCHAR state[8] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLRETURN result = SQLGetDiagRecW(type, handle, record, state, &native, message.data(),
                                      static_cast<SQLSMALLINT>(message.size()), &length);
    if (!Succeeded(result)) break;
    if (length >= static_cast<SQLSMALLINT>(message.size()) && length < 32000) {
      message.resize(static_cast<size_t>(length) + 1);
      result = SQLGetDiagRecW(type, handle, record, state, &native, message.data(),
                              static_cast<SQLSMALLINT>(message.size()), &length);
      if (!Succeeded(result)) break;
    }
    std::string stateText, messageText;
    Utf16ToGbk(reinterpret_cast<const char16_t*>(state), 5, &stateText);
    size_t units =
        std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), message.size() - 1);
    Utf16ToGbk(reinterpret_cast<const char16_t*>(message.data()), units, &messageText);
    if (!text.empty()) text += "; ";
    text += stateText + " " + messageText;
  }
  return text.empty() ? std::string(fallback) : text;
}

struct StatementFreer {
  void operator()(void* statement) const { SQLFreeHandle(SQL_HANDLE_STMT, statement); }
};
using StatementPtr = std::unique_ptr<void, StatementFreer>;

enum class Fetch {
  kInteger,
  kBigInteger,
  kDecimal,
  kDouble,
  kTimestamp,
  kTime,
  kBinary,
  kWide,
  kServerText
};

// `serverText`: character columns are read as the bytes of the server's character set.
Fetch FetchFor(SQLSMALLINT type, bool serverText) {
  switch (type) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
      return serverText ? Fetch::kServerText : Fetch::kWide;
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIT:
      return Fetch::kInteger;
    case SQL_BIGINT:
      return Fetch::kBigInteger;
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return Fetch::kDecimal;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return Fetch::kDouble;
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATE:
    case SQL_TIMESTAMP:
      return Fetch::kTimestamp;
    case SQL_TYPE_TIME:
    case SQL_TIME:
      return Fetch::kTime;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return Fetch::kBinary;
    default:
      return Fetch::kWide;
  }
}

class COdbcRecordSet : public CNamedRecordSet {
 public:
  COdbcRecordSet(StatementPtr statement, SourceEncoding encoding,
                 COdbcConnection::ServerText serverText)
      : CNamedRecordSet(encoding), m_statement(std::move(statement)), m_serverText(serverText) {}

  // Reads the column descriptions and fetches the first row.
  bool Start(std::string* error) {
    SQLSMALLINT count = 0;
    if (!Succeeded(SQLNumResultCols(m_statement.get(), &count))) return Fail(error);
    for (SQLSMALLINT column = 1; column <= count; ++column) {
      SQLWCHAR name[256] = {0};
      SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (!Succeeded(SQLDescribeColW(m_statement.get(), column, name, 256, &nameLength, &type,
                                     &size, &digits, &nullable))) {
        return Fail(error);
      }
      std::string gbk;
      size_t units =
          std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(nameLength, 0)), 255);
      Utf16ToGbk(reinterpret_cast<const char16_t*>(name), units, &gbk);
      AddColumn(gbk);
      m_fetch.push_back(FetchFor(type, m_serverText != COdbcConnection::ServerText::kWide));
    }
    m_values.resize(static_cast<size_t>(count));
    if (count == 0) {  // a statement without a result (DDL, insert): nothing to fetch
      m_atEnd = true;
      return true;
    }
    return Step(error);
  }

 private:
  void ReadCurrent(int column, CDbValue* value) const override {
    *value = m_values[static_cast<size_t>(column)];
  }

  bool Fail(std::string* error) {
    *error = Diagnostics(SQL_HANDLE_STMT, m_statement.get(), "ODBC statement failed");
    m_atEnd = true;
    return false;
  }

  bool Step(std::string* error) override {
    SQLRETURN result = SQLFetch(m_statement.get());
    if (result == SQL_NO_DATA) {
      m_atEnd = true;
      return true;
    }
    if (!Succeeded(result)) return Fail(error);
    for (size_t column = 0; column < m_values.size(); ++column) {
      if (!ReadValue(static_cast<SQLUSMALLINT>(column + 1), m_fetch[column], &m_values[column])) {
        return Fail(error);
      }
    }
    return true;
  }

  bool ReadValue(SQLUSMALLINT column, Fetch fetch, CDbValue* value) {
    SQLHSTMT statement = m_statement.get();
    SQLLEN indicator = 0;
    value->kind = CDbValue::kNull;
    switch (fetch) {
      case Fetch::kInteger: {
        SQLINTEGER number = 0;
        if (!Succeeded(SQLGetData(statement, column, SQL_C_SLONG, &number, 0, &indicator))) {
          return false;
        }
        if (indicator == SQL_NULL_DATA) return true;
        value->kind = CDbValue::kInt32;
        value->integer = number;
        return true;
      }
      case Fetch::kBigInteger: {
        SQLBIGINT number = 0;
        if (!Succeeded(SQLGetData(statement, column, SQL_C_SBIGINT, &number, 0, &indicator))) {
          return false;
        }
        if (indicator == SQL_NULL_DATA) return true;
        value->kind = CDbValue::kInt32;
        if (number >= INT32_MIN && number <= INT32_MAX) {
          value->integer = static_cast<int32_t>(number);
        } else {
          char text[32];
          std::snprintf(text, sizeof text, "%lld", static_cast<long long>(number));
          value->integer = ReadDecimalLikeAtoi(text);
        }
        return true;
      }
      case Fetch::kDecimal: {
        char text[128] = {0};
        if (!Succeeded(SQLGetData(statement, column, SQL_C_CHAR, text, sizeof text, &indicator))) {
          return false;
        }
        if (indicator == SQL_NULL_DATA) return true;
        value->kind = CDbValue::kInt32;
        value->integer = ReadDecimalLikeAtoi(text);
        return true;
      }
      case Fetch::kDouble: {
        double number = 0;
        if (!Succeeded(SQLGetData(statement, column, SQL_C_DOUBLE, &number, 0, &indicator))) {
          return false;
        }
        if (indicator == SQL_NULL_DATA) return true;
        value->kind = CDbValue::kDouble;
        value->real = number;
        return true;
      }
      case Fetch::kTimestamp: {
        SQL_TIMESTAMP_STRUCT stamp{};
        if (!Succeeded(SQLGetData(statement, column, SQL_C_TYPE_TIMESTAMP, &stamp, sizeof stamp,
                                  &indicator))) {
          return false;
        }
        if (indicator == SQL_NULL_DATA) return true;
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u", stamp.year, stamp.month,
                      stamp.day, stamp.hour, stamp.minute, stamp.second);
        value->kind = CDbValue::kDateTime;
        value->text = text;
        return true;
      }
      case Fetch::kTime: {
        SQL_TIME_STRUCT time{};
        if (!Succeeded(
                SQLGetData(statement, column, SQL_C_TYPE_TIME, &time, sizeof time, &indicator))) {
          return false;
        }
        if (indicator == SQL_NULL_DATA) return true;
        char text[32];
        std::snprintf(text, sizeof text, "%02u:%02u:%02u", time.hour, time.minute, time.second);
        value->kind = CDbValue::kDateTime;
        value->text = text;
        return true;
      }
      case Fetch::kBinary:
        // Bytes as the driver returns them: decoded by the source encoding like any text.
        if (!ReadBinary(column, &m_bytes, value)) return false;
        if (value->kind == CDbValue::kNull) return true;
        DecodeBytes(column - 1, m_bytes.data(), m_bytes.size(), &value->text);
        return true;
      case Fetch::kServerText:
        // The server's own bytes, exactly as many as it sent; converted like SQLite's text.
        if (!ReadBinary(column, &m_bytes, value)) return false;
        if (value->kind == CDbValue::kNull) return true;
        if (m_serverText == COdbcConnection::ServerText::kGbk) {
          CopyGbk(m_bytes.data(), m_bytes.size(), &value->text);
        } else {
          Utf8ToGbk(m_bytes.data(), m_bytes.size(), &value->text, ToGbk::kQuestionMark);
        }
        return true;
      case Fetch::kWide: {
        if (!ReadWide(column, &m_wide, value)) return false;
        if (value->kind == CDbValue::kNull) return true;
        Utf16ToGbk(m_wide.data(), m_wide.size(), &value->text);
        return true;
      }
    }
    return false;
  }

  // Reads a binary value of any length in pieces into *bytes; kind kText or kNull. Binary
  // pieces carry no terminator: each holds the reported length, at most the buffer.
  bool ReadBinary(SQLUSMALLINT column, std::string* bytes, CDbValue* value) {
    bytes->clear();
    char chunk[16384];
    for (;;) {
      SQLLEN indicator = 0;
      SQLRETURN result =
          SQLGetData(m_statement.get(), column, SQL_C_BINARY, chunk, sizeof chunk, &indicator);
      if (result == SQL_NO_DATA) break;
      if (!Succeeded(result)) return false;
      if (indicator == SQL_NULL_DATA) {
        value->kind = CDbValue::kNull;
        return true;
      }
      size_t got = (indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) > sizeof chunk)
                       ? sizeof chunk
                       : static_cast<size_t>(indicator);
      bytes->append(chunk, got);
      if (result == SQL_SUCCESS) break;
    }
    value->kind = CDbValue::kText;
    return true;
  }

  // Reads a character value of any length as UTF-16 into *wide, in pieces until the driver
  // says there is no more; kind kText or kNull. A piece the driver marks as cut off fills the
  // buffer; the length of the last piece is where the driver put the terminator, checked
  // against the length it reported (text_pieces.h).
  bool ReadWide(SQLUSMALLINT column, std::u16string* wide, CDbValue* value) {
    wide->clear();
    const size_t capacity = m_piece.size();
    for (;;) {
      SQLLEN indicator = 0;
      SQLRETURN result = SQLGetData(m_statement.get(), column, SQL_C_WCHAR, &m_piece[0],
                                    static_cast<SQLLEN>(capacity * sizeof(char16_t)), &indicator);
      if (result == SQL_NO_DATA) break;
      if (!Succeeded(result)) return false;
      if (indicator == SQL_NULL_DATA) {
        value->kind = CDbValue::kNull;
        return true;
      }
      const int64_t reported = indicator == SQL_NO_TOTAL ? -1 : static_cast<int64_t>(indicator) / 2;
      // Cut off: the driver filled the buffer and more follows.
      const bool cut = result == SQL_SUCCESS_WITH_INFO &&
                       (reported < 0 || static_cast<size_t>(reported) > capacity - 1) &&
                       m_piece[capacity - 1] == 0;
      size_t units = cut ? capacity - 1 : WrittenTextUnits(m_piece.data(), capacity, reported);
      wide->append(m_piece.data(), units);
      // Back to the sentinel wherever the driver wrote, for the next piece's check.
      std::fill(m_piece.begin(),
                m_piece.begin() + static_cast<std::ptrdiff_t>(std::min(units + 1, capacity)),
                kPieceSentinel);
      if (result == SQL_SUCCESS) break;
    }
    value->kind = CDbValue::kText;
    return true;
  }

  StatementPtr m_statement;
  COdbcConnection::ServerText m_serverText;
  std::vector<Fetch> m_fetch;
  std::vector<CDbValue> m_values;  // the current row, read when it is fetched
  std::u16string m_wide;           // UTF-16 text of the value being read
  // The piece buffer of ReadWide: 8,192 units, kPieceSentinel wherever the driver has not
  // written.
  std::vector<char16_t> m_piece = std::vector<char16_t>(8192, kPieceSentinel);
  std::string m_bytes;  // bytes of the binary value being read
};

// MariaDB's and MySQL's drivers lose characters of long texts fetched as UTF-16 (the length
// they compute for the conversion is a few characters short, and what they write follows
// it), while the bytes of the connection's character set arrive whole. With these servers
// character columns are read as those bytes when the character set is one the layer decodes
// (utf8, utf8mb3, utf8mb4, gbk); every other server keeps the UTF-16 fetch.
COdbcConnection::ServerText DetectServerText(SQLHDBC connection) {
  char dbms[64] = {0};
  SQLSMALLINT length = 0;
  if (!Succeeded(SQLGetInfo(connection, SQL_DBMS_NAME, dbms, sizeof dbms, &length))) {
    return COdbcConnection::ServerText::kWide;
  }
  std::string name = CColumnNames::Fold(dbms);
  if (name.find("mariadb") == std::string::npos && name.find("mysql") == std::string::npos) {
    return COdbcConnection::ServerText::kWide;
  }
  SQLHSTMT handle = SQL_NULL_HSTMT;
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, connection, &handle))) {
    return COdbcConnection::ServerText::kWide;
  }
  StatementPtr statement(handle);
  char charset[64] = {0};
  SQLLEN indicator = 0;
  SQLCHAR query[] = "select @@character_set_results";
  if (!Succeeded(SQLExecDirect(handle, query, SQL_NTS)) || !Succeeded(SQLFetch(handle)) ||
      !Succeeded(SQLGetData(handle, 1, SQL_C_CHAR, charset, sizeof charset, &indicator)) ||
      indicator == SQL_NULL_DATA) {
    return COdbcConnection::ServerText::kWide;
  }
  std::string set = CColumnNames::Fold(charset);
  if (set == "utf8mb4" || set == "utf8" || set == "utf8mb3") {
    return COdbcConnection::ServerText::kUtf8;
  }
  if (set == "gbk") return COdbcConnection::ServerText::kGbk;
  return COdbcConnection::ServerText::kWide;
}

}  // namespace

std::unique_ptr<COdbcConnection> COdbcConnection::Create() {
  std::unique_ptr<COdbcConnection> connection(new COdbcConnection());
  SQLHENV environment = SQL_NULL_HENV;
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment))) return nullptr;
  connection->m_environment.reset(environment,
                                  [](void* handle) { SQLFreeHandle(SQL_HANDLE_ENV, handle); });
  if (!Succeeded(SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION,
                               reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
    return nullptr;
  }
  return connection;
}

COdbcConnection::~COdbcConnection() { Close(); }

namespace {

// One SQLDriverConnect on a thread of its own, so that the caller can stop waiting: some
// drivers bound only the TCP connect by the login time-out, not the wait for the server's
// first answer. A login the caller gave up on frees its handle when the driver returns.
struct tLogin {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  SQLRETURN result = SQL_ERROR;
  SQLHDBC connection = SQL_NULL_HDBC;
  std::shared_ptr<void> environment;  // outlives the connection handle
  std::vector<SQLCHAR> text;
};

void RunLogin(const std::shared_ptr<tLogin>& login) {
  const SQLRETURN result = SQLDriverConnect(login->connection, nullptr, login->text.data(), SQL_NTS,
                                            nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  std::lock_guard<std::mutex> hold(login->lock);
  login->result = result;
  login->done = true;
  if (login->abandoned) {
    if (Succeeded(result)) SQLDisconnect(login->connection);
    SQLFreeHandle(SQL_HANDLE_DBC, login->connection);
  }
  login->finished.notify_all();
}

}  // namespace

bool COdbcConnection::Open(const std::string& connectString, std::string* error) {
  Close();
  SQLHDBC connection = SQL_NULL_HDBC;
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, m_environment.get(), &connection))) {
    *error = Diagnostics(SQL_HANDLE_ENV, m_environment.get(), "Cannot create an ODBC connection");
    return false;
  }
  // The login is bounded (a server that takes the connection and never answers would hold
  // the run for ever); once connected nothing is: a long scan must not be cut off.
  const auto timeout = static_cast<SQLULEN>(std::max(m_loginTimeoutSeconds, 0));
  SQLSetConnectAttr(connection, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(timeout), 0);
  SQLSetConnectAttr(connection, SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(timeout),
                    0);
  auto login = std::make_shared<tLogin>();
  login->connection = connection;
  login->environment = m_environment;
  login->text.assign(connectString.begin(), connectString.end());
  login->text.push_back(0);
  SQLRETURN result = SQL_ERROR;
  std::thread thread;
  if (timeout > 0) {
    try {
      thread = std::thread(RunLogin, login);
    } catch (const std::system_error&) {
      // No thread to be had: the login runs here, bounded by the driver alone.
    }
  }
  if (!thread.joinable()) {
    RunLogin(login);
    result = login->result;
  } else {
    // The driver's own time-out, and a few seconds more for a driver that keeps waiting.
    std::unique_lock<std::mutex> hold(login->lock);
    if (!login->finished.wait_for(hold, std::chrono::seconds(timeout + 2),
                                  [&login] { return login->done; })) {
      login->abandoned = true;
      hold.unlock();
      thread.detach();
      *error = "The database server took the connection but did not answer the login within " +
               std::to_string(timeout) + " s";
      return false;
    }
    result = login->result;
    hold.unlock();
    thread.join();
  }
  if (!Succeeded(result)) {
    *error = Diagnostics(SQL_HANDLE_DBC, connection, "Cannot open the ODBC connection");
    SQLFreeHandle(SQL_HANDLE_DBC, connection);
    return false;
  }
  SQLSetConnectAttr(connection, SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(0), 0);
  m_connection = connection;
  m_serverText = DetectServerText(connection);
  return true;
}

std::unique_ptr<CDbRecordSet> COdbcConnection::Execute(const std::string& statement,
                                                       std::string* error) {
  return ExecuteWith(statement, {}, error);
}

std::unique_ptr<CDbRecordSet> COdbcConnection::ExecuteWith(
    const std::string& statement, const std::vector<tDbParameter>& parameters, std::string* error) {
  if (m_connection == nullptr) {
    *error = "The database connection is not open";
    return nullptr;
  }
  SQLHSTMT handle = SQL_NULL_HSTMT;
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, m_connection, &handle))) {
    *error = Diagnostics(SQL_HANDLE_DBC, m_connection, "Cannot create an ODBC statement");
    return nullptr;
  }
  StatementPtr owned(handle);
  SQLSetStmtAttr(handle, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(0), 0);
  // The bound values stay in place until the statement has run.
  std::vector<SQLBIGINT> integers(parameters.size());
  std::vector<std::u16string> texts(parameters.size());
  std::vector<SQLLEN> lengths(parameters.size());
  for (size_t i = 0; i < parameters.size(); ++i) {
    const tDbParameter& parameter = parameters[i];
    const auto position = static_cast<SQLUSMALLINT>(i + 1);
    SQLRETURN bound;
    if (!parameter.isText) {
      integers[i] = static_cast<SQLBIGINT>(parameter.integer);
      bound = SQLBindParameter(handle, position, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                               &integers[i], 0, nullptr);
    } else {
      GbkToUtf16(parameter.text, &texts[i]);
      lengths[i] = static_cast<SQLLEN>(texts[i].size() * sizeof(char16_t));
      texts[i].push_back(u'\0');  // a buffer for the empty text too
      bound = SQLBindParameter(handle, position, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                               std::max<SQLULEN>(texts[i].size() - 1, 1), 0, &texts[i][0],
                               lengths[i], &lengths[i]);
    }
    if (!Succeeded(bound)) {
      *error = Diagnostics(SQL_HANDLE_STMT, handle, "ODBC parameter could not be bound");
      return nullptr;
    }
  }
  std::u16string wide;
  GbkToUtf16(statement, &wide);
  wide.push_back(u'\0');
  SQLRETURN result = SQLExecDirectW(handle, reinterpret_cast<SQLWCHAR*>(&wide[0]), SQL_NTS);
  if (!Succeeded(result) && result != SQL_NO_DATA) {
    *error = Diagnostics(SQL_HANDLE_STMT, handle, "ODBC statement failed");
    return nullptr;
  }
  SQLFreeStmt(handle, SQL_RESET_PARAMS);
  auto recordSet = std::make_unique<COdbcRecordSet>(std::move(owned), m_encoding, m_serverText);
  if (!recordSet->Start(error)) return nullptr;
  return recordSet;
}

void COdbcConnection::Close() {
  if (m_connection == nullptr) return;
  SQLDisconnect(m_connection);
  SQLFreeHandle(SQL_HANDLE_DBC, m_connection);
  m_connection = nullptr;
}
