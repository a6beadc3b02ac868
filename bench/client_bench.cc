// client_bench: calls per second of the client library (trindle_query_client: exchange,
// response checks, document written to a file) beside the bare wire exchange (connect, send
// the request frame, receive the response frame, close; no document), from 1 and 4 threads
// of one process against a server on loopback.
//
//   client_bench [--config=<client configuration>] [--query=<GBK text>] [--calls=<per thread>]
//                [--runs=<rounds>] [--page=<page count>] [--results=<folder>]
//
// Without --config an in-process server answers every request with a fixed page of 20
// records x 3 stored fields of about 300 bytes of GBK text each (one worker thread per
// connection in progress, like the real server). With --config the configuration's server
// is used, e.g. a SearchServer on the 100,000-record bench data set. Prints the median of
// the rounds for each mode and thread count: calls per second, wall time per call of one
// thread, and the CPU time per call of the calling threads (which a shared machine disturbs
// less than the wall time).
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TrindleAgentAPI.h"
#include "client/client_config.h"
#include "core/records/field_info.h"
#include "net/frame.h"
#include "net/input_output.h"
#include "net/socket_io.h"

namespace {

using Clock = std::chrono::steady_clock;

struct tOptions {
  std::string config;
  std::string query = "title=中国";
  int calls = 2000;
  int runs = 5;
  int pageCount = 20;
  std::string results;  // folder of the result documents (default: a scratch folder in /tmp)
};

// The fixed page of the in-process server: 20 records x 3 fields of ~300 bytes.
std::string FixedPageBody() {
  const std::string phrase = "全文检索服务器返回的结果页，每个字段约三百字节的中文文本 GBK 123 ";
  ResultPage page;
  page.total = 12345;
  page.returned = 20;
  page.fieldCount = 3;
  for (int record = 0; record < page.returned; ++record) {
    for (int field = 0; field < page.fieldCount; ++field) {
      std::string value;
      while (value.size() < 290) value += phrase;
      value += std::to_string(record * 3 + field);
      page.valueLengths.push_back(static_cast<int32_t>(value.size()));
      page.text += value;
    }
  }
  CInputOutput io;
  int32_t length = 0;
  const char* body = io.PackResult(page, &length);
  return MakeFrame(std::string(body, static_cast<size_t>(length)));
}

// Worker threads that each accept one connection at a time, read the request frame and send
// the fixed page. They run until the process ends.
uint16_t StartFixedServer(int workers) {
  static const std::string frame = FixedPageBody();
  static CSocket listener;
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  ListenStep step;
  int error = 0;
  if (!OpenListener(loopback, 0, 256, &listener, &step, &error)) {
    std::fprintf(stderr, "cannot listen: %s\n", std::strerror(error));
    std::exit(1);
  }
  for (int i = 0; i < workers; ++i) {
    std::thread([] {
      std::string body;
      for (;;) {
        CSocket client(::accept(listener.fd(), nullptr, nullptr));
        if (!client.valid()) continue;
        SetNoDelay(client.fd());
        if (ReceiveFrame(client.fd(), 0, INT32_MAX, Deadline::max(), &body).status !=
            FrameStatus::kOk) {
          continue;
        }
        SendFully(client.fd(), frame.data(), static_cast<int>(frame.size()), 0);
      }
    }).detach();
  }
  return LocalPort(listener.fd());
}

std::string WriteFixedConfig(const std::string& folder, uint16_t port) {
  const std::string schemaText = folder + "/schema.txt";
  std::ofstream(schemaText) << "seq name index type i f s w note\n"
                               "1 title title T 1 0 1 0 x\n"
                               "2 body body T 1 0 1 0 x\n"
                               "3 source source T 0 0 1 0 x\n";
  CFieldInfo schema;
  const std::string schemaPath = schemaText + ".dat";
  if (!schema.ImportText(schemaText.c_str()) || !schema.SaveBinary(schemaPath.c_str())) {
    std::exit(1);
  }
  const std::string config = folder + "/client.xml";
  std::ofstream(config) << "<ServerIP>127.0.0.1</ServerIP><Port>" << port << "</Port><FieldInfo>"
                        << schemaPath << "</FieldInfo>";
  return config;
}

// One bare exchange; false when it fails.
bool RawExchange(in_addr address, uint16_t port, const std::string& request,
                 std::string* response) {
  const Deadline deadline = DeadlineAfter(30);
  CSocket socket;
  int error = 0;
  if (!ConnectTcp(address, port, deadline, &socket, &error)) return false;
  const int size = static_cast<int>(request.size());
  if (SendFully(socket.fd(), request.data(), size, deadline) != size) return false;
  return ReceiveFrame(socket.fd(), 0, INT32_MAX, deadline, response).status == FrameStatus::kOk;
}

double ThreadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct tRound {
  double callsPerSecond = 0;
  double cpuMicrosPerCall = 0;  // CPU time of the calling threads (user + kernel)
};

// `threads` threads making `calls` calls each.
template <typename Call>
tRound Measure(int threads, int calls, Call call) {
  std::atomic<int> failures{0};
  std::vector<double> cpu(static_cast<size_t>(threads));
  const auto begin = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      const double start = ThreadCpuSeconds();
      for (int i = 0; i < calls; ++i) {
        if (!call(t)) failures.fetch_add(1);
      }
      cpu[static_cast<size_t>(t)] = ThreadCpuSeconds() - start;
    });
  }
  for (std::thread& thread : pool) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  if (failures.load() > 0) std::fprintf(stderr, "%d calls failed\n", failures.load());
  double cpuSeconds = 0;
  for (double c : cpu) cpuSeconds += c;
  return {threads * calls / seconds, cpuSeconds * 1e6 / (threads * calls)};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  tOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    auto value = [&](const char* name) -> const char* {
      const size_t length = std::strlen(name);
      return argument.compare(0, length, name) == 0 ? argv[i] + length : nullptr;
    };
    if (const char* v = value("--config=")) {
      options.config = v;
    } else if (const char* q = value("--query=")) {
      options.query = q;
    } else if (const char* c = value("--calls=")) {
      options.calls = std::max(1, std::atoi(c));
    } else if (const char* r = value("--runs=")) {
      options.runs = std::max(1, std::atoi(r));
    } else if (const char* d = value("--results=")) {
      options.results = d;
    } else if (const char* p = value("--page=")) {
      options.pageCount = std::atoi(p);
    } else {
      std::fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  char folderPattern[] = "/tmp/client_bench.XXXXXX";
  const std::string folder = ::mkdtemp(folderPattern);
  if (options.config.empty()) options.config = WriteFixedConfig(folder, StartFixedServer(8));
  if (options.results.empty()) options.results = folder;

  tClientConfig config;
  std::string problem;
  if (!ReadClientConfig(options.config.c_str(), &config, &problem)) {
    std::fprintf(stderr, "bad configuration: %s\n", problem.c_str());
    return 1;
  }
  in_addr address{};
  int error = 0;
  if (!ResolveAddress(config.serverName, &address, &error)) return 1;
  CInputOutput io;
  QueryRequest request;
  request.SetText(options.query.c_str());
  request.pageCount = options.pageCount;
  int32_t length = 0;
  const char* body = io.PackRequest(request, &length);
  const std::string frame = MakeFrame(std::string(body, static_cast<size_t>(length)));
  std::string sample;
  if (!RawExchange(address, config.port, frame, &sample)) return 1;
  std::printf("server %s:%u, query [%s], response %zu bytes, %d calls per thread, median of %d\n",
              config.serverName.c_str(), config.port, options.query.c_str(), sample.size(),
              options.calls, options.runs);

  for (int threads : {1, 4}) {
    std::vector<double> raw, library, rawCpu, libraryCpu;
    std::vector<std::string> responses(static_cast<size_t>(threads));
    for (int run = 0; run < options.runs; ++run) {
      tRound round = Measure(threads, options.calls, [&](int t) {
        return RawExchange(address, config.port, frame, &responses[static_cast<size_t>(t)]);
      });
      raw.push_back(round.callsPerSecond);
      rawCpu.push_back(round.cpuMicrosPerCall);
      round = Measure(threads, options.calls, [&](int t) {
        const std::string path = options.results + "/result" + std::to_string(t) + ".xml";
        return trindle_query_client(options.config.c_str(), options.query.c_str(), 0,
                                    options.pageCount, path.c_str()) == 0;
      });
      library.push_back(round.callsPerSecond);
      libraryCpu.push_back(round.cpuMicrosPerCall);
    }
    const double rawRate = Median(raw), libraryRate = Median(library);
    std::printf(
        "%d thread%s: raw exchange %7.0f calls/s (%6.1f us/call, CPU %5.1f us)   library "
        "%7.0f calls/s (%6.1f us/call, CPU %5.1f us)   library adds %+.1f%% per call\n",
        threads, threads == 1 ? " " : "s", rawRate, 1e6 / rawRate * threads, Median(rawCpu),
        libraryRate, 1e6 / libraryRate * threads, Median(libraryCpu),
        (rawRate / libraryRate - 1) * 100);
  }
  std::string command = "rm -rf '" + folder + "'";
  return std::system(command.c_str()) == 0 ? 0 : 1;
}
