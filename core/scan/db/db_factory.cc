#include "core/scan/db/db_factory.h"

#include "core/scan/db/odbc_source.h"
#include "core/scan/db/sqlite_source.h"

std::unique_ptr<CDbConnection> CreateDbConnection(const std::string& connectString) {
  if (connectString.rfind(CSqliteConnection::kPrefix, 0) == 0) {
    return std::make_unique<CSqliteConnection>();
  }
  return COdbcConnection::Create();
}
