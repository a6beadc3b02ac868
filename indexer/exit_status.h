// The exit statuses of indexer, the same in every mode, so that a scheduler or a script
// (`indexer 4 ... && systemctl reload trindle-search`) can tell what happened. The console
// lines say which file or statement was at fault; the status says what kind of fault it was.
#pragma once

namespace exit_status {

// The mode did its job (an unknown mode, which does nothing, also exits with it).
constexpr int kSuccess = 0;
// An input could not be read or is invalid: a file named on the command line, the
// configuration, the schema text, the dictionary, the word list, a data set, the query.
constexpr int kBadInput = 1;
// The database failed: it could not be opened (after retrying), a statement failed, a row or
// a column could not be read, the connection was lost during the scan.
constexpr int kDatabase = 2;
// Writing or committing the output failed (a folder that cannot be written, a full disk,
// another run holding the data set's lock). The previous output stays as it was.
constexpr int kOutput = 3;
// The output would pass a limit of the file formats (a count or offset beyond 32 bits).
constexpr int kFormatLimit = 4;
// The usage line: missing arguments (255 as the shell sees it).
constexpr int kUsage = -1;

}  // namespace exit_status
