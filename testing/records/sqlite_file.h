// SQLite database files for the tests that index a real table: the statements that make and
// fill the table are run here, the rows then read through the engine's own SQLite source.
#pragma once

#include <string>

// Runs `sql` (one or more statements, UTF-8) on the database file `database`, created when
// missing. False when the file cannot be opened or a statement fails.
bool RunSql(const std::string& database, const std::string& sql);
