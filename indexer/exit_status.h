// Exit statuses of indexer, for scripts that run it.
#pragma once

constexpr int kExitSuccess = 0;
constexpr int kExitInputInvalid = 1;    // an input file is unreadable or invalid
constexpr int kExitDatabaseFailed = 2;  // the database could not be read
constexpr int kExitWriteFailed = 3;     // writing or committing failed (a full disk too)
constexpr int kExitFormatLimit = 4;     // a count would pass a limit of the file formats
constexpr int kExitUsage = -1;
