// The database layer of indexer mode 4, chosen by the connection string:
//   "sqlite:PATH"  an SQLite database file (CSqliteConnection);
//   anything else  an ODBC connection string for the unixODBC driver manager
//                  (COdbcConnection), e.g. PostgreSQL through its ODBC driver.
#pragma once

#include <memory>
#include <string>

#include "core/scan/db_source.h"

// A new, unopened connection for `connectString`; null when the layer cannot be set up.
std::unique_ptr<CDbConnection> CreateDbConnection(const std::string& connectString);
