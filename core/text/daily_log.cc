#include "core/text/daily_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

void WriteLog(const std::string& message) {
  // One clock reading serves both the file name and the time stamp, so a line written at
  // midnight lands in the file of the date it carries.
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);

  char fileName[100];
  std::strftime(fileName, sizeof fileName - 4, "%Y%m%d", &local);
  std::string path = std::string(fileName) + ".log";

  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string line;
  line.reserve(message.size() + 32);
  line.append("[").append(stamp).append("] ").append(message).append("\n");

  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fputs("Cannot write log file!\r\n", stdout);
    return;
  }
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) break;
    data += written;
    left -= static_cast<size_t>(written);
  }
  ::close(fd);
}
