// The exit statuses of SearchServer. A start that finds nothing to serve (no configuration
// file, a data set or a broker's schema that does not load) ends with 0, as a stop does: the
// console line says why. A start refused by a setting or a system call ends with 1.
#pragma once

namespace server_exit {

// Stopped by SIGINT or SIGTERM, or answered --help or --version.
constexpr int kSuccess = 0;
// SearchServer.xml cannot be read, or the data set (a broker: its schema) cannot be loaded.
constexpr int kNothingToServe = 0;
// A key holds an invalid value, LogDirectory cannot be written, a name does not resolve, a
// socket step fails, a shard does not answer with the schema's pages.
constexpr int kStartFailed = 1;

}  // namespace server_exit
