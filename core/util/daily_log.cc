#include "core/util/daily_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

std::mutex g_logLock;
int g_logFd = -1;            // guarded by g_logLock
std::string g_logPath;       // the name g_logFd was opened by
std::string g_logDirectory;  // guarded by g_logLock; empty: the working directory

bool WriteAll(int fd, const std::string& line) {
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written <= 0) return false;
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

void WriteLog(const std::string& message) {
  // One clock reading serves both the file name and the time stamp, so a line written at
  // midnight lands in the file of the date it carries.
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);

  char fileName[100];
  std::strftime(fileName, sizeof fileName - 4, "%Y%m%d", &local);
  const std::string name = std::string(fileName) + ".log";

  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string line;
  line.reserve(message.size() + 32);
  line.append("[").append(stamp).append("] ").append(message).append("\n");

  std::lock_guard<std::mutex> lock(g_logLock);
  const std::string path = g_logDirectory.empty() ? name : g_logDirectory + "/" + name;
  if (g_logFd < 0 || path != g_logPath) {
    if (g_logFd >= 0) ::close(g_logFd);
    g_logFd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    g_logPath = path;
  }
  if (g_logFd < 0) {
    std::fputs("Cannot write log file!\r\n", stdout);
    return;
  }
  if (!WriteAll(g_logFd, line)) {
    ::close(g_logFd);  // the next line tries a fresh descriptor
    g_logFd = -1;
  }
}

void SetDailyLogDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> lock(g_logLock);
  g_logDirectory = directory;
}

void CloseDailyLog() {
  std::lock_guard<std::mutex> lock(g_logLock);
  if (g_logFd >= 0) ::close(g_logFd);
  g_logFd = -1;
}
