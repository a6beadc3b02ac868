// The exit statuses of trindle-query. The library reports every failure as -1; the tool
// finds the kind by checking the configuration first and, after a failed call, the server's
// address and port. Each failure also prints one line to standard error.
#pragma once

namespace query_exit {

constexpr int kSuccess = 0;
constexpr int kUsage = 1;        // bad arguments, or a query not valid in its encoding
constexpr int kConfig = 2;       // the configuration cannot be read or is invalid
constexpr int kUnreachable = 3;  // the server's name does not resolve or it refuses
constexpr int kResponse = 4;     // the answer is missing, malformed or of another schema
constexpr int kOutput = 5;       // the document cannot be written

}  // namespace query_exit
