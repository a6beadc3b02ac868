// Start-up of SearchServer over a data set: the time from launch until the first query is
// answered (the data set is loaded before the port accepts queries), the peak resident memory
// at that point, and the size of the data set's files, for a load rate in GB/s.
//
//   server_start_bench SERVER_BINARY DIRECTORY [runs=5]
//
// DIRECTORY holds "SearchServer.xml" (whose Port must be free) and the files it names. The
// page cache is left warm on purpose: the figure is the load's own cost, not the disk's.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/records/data_set_files.h"
#include "core/util/byte_io.h"
#include "core/util/tag_value.h"
#include "net/frame.h"
#include "net/socket_io.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

long FileSize(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : 0;
}

// An empty query answered with a whole frame.
bool Answers(uint16_t port) {
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket socket;
  int error = 0;
  if (!ConnectTcp(loopback, port, DeadlineAfter(1), &socket, &error)) return false;
  std::string request;
  PutI32(&request, 0);
  PutI32(&request, 20);
  PutI32(&request, 0);
  const Deadline deadline = DeadlineAfter(60);
  if (SendFrame(socket.fd(), request.data(), 12, deadline) != 16) return false;
  std::string body;
  const tFrameReceipt receipt = ReceiveFrame(socket.fd(), 0, INT32_MAX, deadline, &body);
  return receipt.status == FrameStatus::kOk && receipt.length == 20;
}

long PeakResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SERVER_BINARY DIRECTORY [runs=5]\n", argv[0]);
    return 2;
  }
  char binary[PATH_MAX];
  if (::realpath(argv[1], binary) == nullptr) {
    std::fprintf(stderr, "no such program: %s\n", argv[1]);
    return 2;
  }
  const std::string directory = argv[2];
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  const std::string config = ReadText(directory + "/SearchServer.xml");
  std::string value, stem, port;
  GetTagValue(config.c_str(), "Port", &port);
  GetTagValue(config.c_str(), "Standard", &stem);
  long bytes = 0;
  for (const char* key : {"FieldInfo", "PDAT", "WordList"}) {
    GetTagValue(config.c_str(), key, &value);
    bytes += FileSize(value[0] == '/' ? value : directory + "/" + value);
  }
  const std::string base = stem[0] == '/' ? stem : directory + "/" + stem;
  bytes += FileSize(DataLinePath(base));
  for (int index = 0; FileSize(IndexPath(base, index)) > 0; ++index) {
    bytes += FileSize(IndexPath(base, index));
  }

  std::vector<double> seconds;
  std::vector<long> peaks;
  for (int run = 0; run < runs; ++run) {
    const auto started = Clock::now();
    pid_t child = ::fork();
    if (child == 0) {
      if (::chdir(directory.c_str()) != 0) ::_exit(127);
      std::freopen("/dev/null", "w", stdout);
      ::execl(binary, binary, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    bool up = false;
    while (!up && Clock::now() - started < std::chrono::seconds(120)) {
      up = Answers(static_cast<uint16_t>(std::atoi(port.c_str())));
      if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    seconds.push_back(std::chrono::duration<double>(Clock::now() - started).count());
    peaks.push_back(PeakResidentKb(child));
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    if (!up) {
      std::printf("the server did not answer within 120 s\n");
      return 1;
    }
  }
  std::sort(seconds.begin(), seconds.end());
  std::sort(peaks.begin(), peaks.end());
  const double median = seconds[seconds.size() / 2];
  std::printf("data set files: %.1f MB\n", static_cast<double>(bytes) / 1e6);
  std::printf("launch to first answer: median %.3f s (min %.3f, max %.3f) over %d runs\n", median,
              seconds.front(), seconds.back(), runs);
  std::printf("load rate: %.2f GB/s of data set files\n",
              static_cast<double>(bytes) / 1e9 / median);
  std::printf("peak resident memory: %.1f MB (%.2f x the files)\n",
              static_cast<double>(peaks[peaks.size() / 2]) / 1024,
              static_cast<double>(peaks[peaks.size() / 2]) * 1024 / static_cast<double>(bytes));
  return 0;
}
