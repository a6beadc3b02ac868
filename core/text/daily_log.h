// The daily log: one time-stamped line per call, appended to "YYYYMMDD.log" in the current
// working directory (local date). Every thread of the server writes to it without a lock:
// each call opens the file in append mode and writes its whole line with a single write(2),
// so lines of concurrent callers never interleave.
#pragma once

#include <string>

// Appends "[YYYY-MM-DD HH:MM:SS] message\n". If the file cannot be opened, prints
// "Cannot write log file!\r\n" to standard output and drops the message.
void WriteLog(const std::string& message);
