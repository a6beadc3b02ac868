#include "testing/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace {

// In the child: the environment and the working directory, then the program. Never returns.
[[noreturn]] void ExecChild(const std::vector<std::string>& arguments,
                            const tProgramOptions& options) {
  for (const char* name : {"LANG", "LC_ALL", "LC_CTYPE", "COLUMNS", "TRINDLE_CONSOLE"}) {
    ::unsetenv(name);
  }
  for (const auto& variable : options.environment) {
    ::setenv(variable.first.c_str(), variable.second.c_str(), 1);
  }
  if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
    ::_exit(126);
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// Reads `fd` until end of file (or EIO, a terminal whose other side closed) or the deadline.
// False at the deadline.
bool ReadUntilEnd(int fd, int timeoutSeconds, std::string* output) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  char buffer[4096];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd poll{fd, POLLIN, 0};
    const int ready = ::poll(&poll, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    output->append(buffer, static_cast<size_t>(got));
  }
}

int WaitFor(pid_t child, bool ended) {
  if (!ended) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

tProgramRun RunProgram(const std::vector<std::string>& arguments, const tProgramOptions& options) {
  tProgramRun run;
  if (options.terminal) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(options.columns);
    size.ws_row = 24;
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
    if (child < 0) return run;
    if (child == 0) ExecChild(arguments, options);
    const bool ended = ReadUntilEnd(master, options.timeoutSeconds, &run.output);
    ::close(master);
    run.status = WaitFor(child, ended);
    return run;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  const pid_t child = ::fork();
  if (child < 0) return run;
  if (child == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(options.standardErrorToo ? pipeFds[1] : null, STDERR_FILENO);
    ::dup2(null, STDIN_FILENO);
    ExecChild(arguments, options);
  }
  ::close(pipeFds[1]);
  const bool ended = ReadUntilEnd(pipeFds[0], options.timeoutSeconds, &run.output);
  ::close(pipeFds[0]);
  run.status = WaitFor(child, ended);
  return run;
}

std::string WithoutCarriageReturns(const std::string& text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  return plain;
}
