#include "testing/records/sqlite_file.h"

#include <sqlite3.h>

bool RunSql(const std::string& database, const std::string& sql) {
  sqlite3* handle = nullptr;
  const bool ok = sqlite3_open(database.c_str(), &handle) == SQLITE_OK &&
                  sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(handle);
  return ok;
}
