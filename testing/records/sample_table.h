// One table of 240 rows, written as SQL for SQLite, PostgreSQL and MariaDB, so that the
// integration tests can fill each database with the same rows and compare the data sets the
// scan makes of them. The rows hold what a driver most easily gets wrong: Chinese text,
// markup, characters outside GBK (also 4-byte UTF-8), empty strings, NULLs, values over
// 64 KB, date-times, doubles and integers beyond 32 bits. Also a bulk table of many rows for
// the tests that stop a server during a scan.
#pragma once

#include <string>

class CDbConnection;

enum class SqlDialect { kSqlite, kPostgres, kMariaDb };

// The schema text (GBK) that matches table docs.
extern const char kSampleSchema[];

// "create table docs (...)" and one insert per row, statements separated by ";\n". The text
// is GBK except for the characters outside GBK, which the statements make with the
// dialect's functions.
std::string SampleTableStatements(SqlDialect dialect);

// Statements that create table `name` with the columns of docs and fill it with `rows`
// generated rows (ids 1 .. rows) inside the database.
std::string BulkTableStatements(SqlDialect dialect, const std::string& name, int rows);

// Runs statements that return no rows, separated by ";\n"; false with the description of the
// first failure.
bool RunStatements(CDbConnection* connection, const std::string& statements, std::string* error);
