// The daily log: one time-stamped line per call, appended to "YYYYMMDD.log" in the current
// working directory, or in the folder SetDailyLogDirectory names (local date). The lines are
// the callers' bytes (GBK), whatever the console's encoding. Every thread of the server writes to
// it. The file stays open from line to line (a new one is opened when the date changes), one mutex
// guards that descriptor, and each line goes out in a single write(2), so lines of concurrent
// callers never interleave and a line costs one system call.
#pragma once

#include <string>

// Appends "[YYYY-MM-DD HH:MM:SS] message\n". If the file cannot be opened, prints
// "Cannot write log file!\r\n" to standard output and drops the message.
void WriteLog(const std::string& message);

// The folder of the log files from the next line on; empty: the current working directory.
void SetDailyLogDirectory(const std::string& directory);

// Closes the open log file; the next line opens it again by name. For a process that changes
// its working directory, and for a file that was removed while open.
void CloseDailyLog();
