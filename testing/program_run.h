// RunProgram: runs a built program the way a person or a script would, on a pseudo-terminal
// or with its output into a pipe, and hands back every byte it wrote and its exit status.
// The child starts from a clean console environment (LANG, LC_ALL, LC_CTYPE, COLUMNS and
// TRINDLE_CONSOLE removed) plus the variables given, so a test does not depend on the locale
// of whoever runs it. On a terminal standard output and standard error share the terminal
// (whose line discipline writes "\r\n" for "\n"); with a pipe standard error is discarded
// unless asked for.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct tProgramRun {
  std::string output;  // the bytes of standard output (and of standard error on a terminal)
  int status = -1;     // exit status; -1 when the program did not end within the time limit
};

struct tProgramOptions {
  bool terminal = false;  // a pseudo-terminal of `columns` x 24, else a pipe
  int columns = 80;
  std::vector<std::pair<std::string, std::string>> environment;  // set in the child
  std::string workingDirectory;                                  // empty: the test's own
  int timeoutSeconds = 20;                                       // then the child is killed
  bool standardErrorToo = false;  // with a pipe: standard error into it too, else discarded
};

// `arguments[0]` is the program's path.
tProgramRun RunProgram(const std::vector<std::string>& arguments, const tProgramOptions& options);

// Text with every "\r\n" turned back into "\n" (what a terminal's line discipline added).
std::string WithoutCarriageReturns(const std::string& text);
