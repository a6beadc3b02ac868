#include "core/scan/db/sqlite_source.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "core/records/decimal_text.h"
#include "core/scan/db/column_names.h"
#include "core/scan/db/named_record_set.h"
#include "core/text/encoding.h"

namespace {

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// True for the declared types whose text values are date-times.
bool IsDateType(const char* declared) {
  if (declared == nullptr) return false;
  std::string type = CColumnNames::Fold(declared);
  return type.rfind("date", 0) == 0 || type.rfind("timestamp", 0) == 0;
}

// SQLite's message for the last failure on `database` with its (extended) result code, e.g.
// "no such table: docs (SQLite error 1)", converted from `utf8` or copied as GBK.
std::string ErrorText(sqlite3* database, bool gbk) {
  const char* message = sqlite3_errmsg(database);
  std::string text;
  if (gbk) {
    CopyGbk(message, std::strlen(message), &text);
  } else {
    text = Utf8AsGbk(message);
  }
  return text + " (SQLite error " + std::to_string(sqlite3_extended_errcode(database)) + ")";
}

int32_t ReduceInteger(sqlite3_int64 value) {
  if (value >= INT32_MIN && value <= INT32_MAX) return static_cast<int32_t>(value);
  char text[32];
  std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  return ReadDecimalLikeAtoi(text);
}

class CSqliteRecordSet : public CNamedRecordSet {
 public:
  CSqliteRecordSet(sqlite3* database, StatementPtr statement, SourceEncoding encoding)
      : CNamedRecordSet(encoding), m_database(database), m_statement(std::move(statement)) {
    int count = sqlite3_column_count(m_statement.get());
    for (int column = 0; column < count; ++column) {
      const char* name = sqlite3_column_name(m_statement.get(), column);
      std::string gbk;
      if (name != nullptr) DecodeName(name, &gbk);
      AddColumn(gbk);
      m_isDate.push_back(IsDateType(sqlite3_column_decltype(m_statement.get(), column)));
    }
  }

  // Steps to the first row; false with *error when SQLite fails.
  bool Start(std::string* error) { return Step(error); }

 private:
  void ReadCurrent(int column, CDbValue* value) const override {
    sqlite3_stmt* statement = m_statement.get();
    switch (sqlite3_column_type(statement, column)) {
      case SQLITE_INTEGER:
        value->kind = CDbValue::kInt32;
        value->integer = ReduceInteger(sqlite3_column_int64(statement, column));
        break;
      case SQLITE_FLOAT:
        value->kind = CDbValue::kDouble;
        value->real = sqlite3_column_double(statement, column);
        break;
      case SQLITE_TEXT: {
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        int size = sqlite3_column_bytes(statement, column);
        value->kind = m_isDate[static_cast<size_t>(column)] ? CDbValue::kDateTime : CDbValue::kText;
        DecodeBytes(column, text == nullptr ? "" : text, static_cast<size_t>(size), &value->text);
        break;
      }
      case SQLITE_BLOB: {
        const char* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
        int size = sqlite3_column_bytes(statement, column);
        value->kind = CDbValue::kText;
        DecodeBytes(column, bytes == nullptr ? "" : bytes, static_cast<size_t>(size), &value->text);
        break;
      }
      default:
        value->kind = CDbValue::kNull;
        break;
    }
  }

  bool Step(std::string* error) override {
    int result = sqlite3_step(m_statement.get());
    if (result == SQLITE_ROW) return true;
    m_atEnd = true;
    if (result == SQLITE_DONE) return true;
    *error = ErrorText(m_database, m_encoding == SourceEncoding::kGbk);
    return false;
  }

  // A name or message of the database, which is in the source encoding too.
  void DecodeName(const char* text, std::string* gbk) const {
    if (m_encoding == SourceEncoding::kGbk) {
      CopyGbk(text, std::strlen(text), gbk);
    } else {
      Utf8ToGbk(text, std::strlen(text), gbk, ToGbk::kQuestionMark);
    }
  }

  sqlite3* m_database;
  StatementPtr m_statement;
  std::vector<bool> m_isDate;
};

}  // namespace

CSqliteConnection::CSqliteConnection() = default;

CSqliteConnection::~CSqliteConnection() { Close(); }

bool CSqliteConnection::Open(const std::string& connectString, std::string* error) {
  Close();
  const size_t prefix = std::strlen(kPrefix);
  if (connectString.compare(0, prefix, kPrefix) != 0 || connectString.size() == prefix) {
    *error = "Not an SQLite connection string (sqlite:PATH): " + connectString;
    return false;
  }
  std::string path = connectString.substr(prefix);
  sqlite3* database = nullptr;
  int result = sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
  if (result != SQLITE_OK) {
    *error = database != nullptr ? ErrorText(database, false) : std::string("out of memory");
    *error += ": " + path;
    sqlite3_close(database);
    return false;
  }
  // SQLite opens lazily: read the schema now so that a file that is no database fails here.
  result = sqlite3_exec(database, "select count(*) from sqlite_master", nullptr, nullptr, nullptr);
  if (result != SQLITE_OK) {
    *error = ErrorText(database, false) + ": " + path;
    sqlite3_close(database);
    return false;
  }
  m_database = database;
  return true;
}

std::unique_ptr<CDbRecordSet> CSqliteConnection::Execute(const std::string& statement,
                                                         std::string* error) {
  return ExecuteWith(statement, {}, error);
}

std::unique_ptr<CDbRecordSet> CSqliteConnection::ExecuteWith(
    const std::string& statement, const std::vector<tDbParameter>& parameters, std::string* error) {
  if (m_database == nullptr) {
    *error = "The database connection is not open";
    return nullptr;
  }
  std::string text = statement;  // GBK source: the database takes the statement as it is
  if (m_encoding == SourceEncoding::kUtf8) {
    text.clear();
    AppendGbkAsUtf8(statement.data(), statement.size(), &text, FromGbk::kQuestionMark);
  }
  sqlite3_stmt* prepared = nullptr;
  const char* tail = nullptr;
  int result =
      sqlite3_prepare_v2(m_database, text.c_str(), static_cast<int>(text.size()), &prepared, &tail);
  StatementPtr owned(prepared);
  if (result != SQLITE_OK || prepared == nullptr) {
    if (result == SQLITE_OK) {
      *error = "Empty statement";
    } else {
      *error = ErrorText(m_database, m_encoding == SourceEncoding::kGbk);
    }
    return nullptr;
  }
  if (static_cast<size_t>(sqlite3_bind_parameter_count(prepared)) != parameters.size()) {
    *error = "The statement takes " + std::to_string(sqlite3_bind_parameter_count(prepared)) +
             " parameters, " + std::to_string(parameters.size()) + " were given";
    return nullptr;
  }
  for (size_t i = 0; i < parameters.size(); ++i) {
    const tDbParameter& parameter = parameters[i];
    const int position = static_cast<int>(i) + 1;
    if (!parameter.isText) {
      result = sqlite3_bind_int64(prepared, position, parameter.integer);
    } else {
      std::string bound = parameter.text;
      if (m_encoding == SourceEncoding::kUtf8) {
        bound.clear();
        AppendGbkAsUtf8(parameter.text.data(), parameter.text.size(), &bound,
                        FromGbk::kQuestionMark);
      }
      result = sqlite3_bind_text(prepared, position, bound.data(), static_cast<int>(bound.size()),
                                 SQLITE_TRANSIENT);
    }
    if (result != SQLITE_OK) {
      *error = ErrorText(m_database, m_encoding == SourceEncoding::kGbk);
      return nullptr;
    }
  }
  auto recordSet = std::make_unique<CSqliteRecordSet>(m_database, std::move(owned), m_encoding);
  if (!recordSet->Start(error)) return nullptr;
  return recordSet;
}

void CSqliteConnection::Close() {
  if (m_database != nullptr) sqlite3_close_v2(m_database);
  m_database = nullptr;
}
