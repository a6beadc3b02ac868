// SearchServer: reads "SearchServer.xml" from the working directory, listens, loads the data
// set and answers one query per connection until SIGINT or SIGTERM. SIGHUP loads the data set
// again from the same files and serves it once it is complete; a SIGHUP during the start-up
// load is served after it. With HttpPort set it also
// answers HTTP on that port over the same data set.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "core/util/file_util.h"
#include "core/util/mapped_file.h"
#include "net/socket_io.h"
#include "server/accept_loop.h"
#include "server/data_reloader.h"
#include "server/http/http_server.h"
#include "server/messages.h"
#include "server/metrics.h"
#include "server/search_data.h"
#include "server/server_config.h"

namespace {

int g_wakeFd = -1;  // the accept loop's wake pipe, written by the signal handler

void OnSignal(int signalNumber) {
  const int savedErrno = errno;
  const char byte = static_cast<char>(signalNumber);
  [[maybe_unused]] ssize_t written = ::write(g_wakeFd, &byte, 1);
  errno = savedErrno;
}

void InstallSignalHandlers(int wakeFd) {
  g_wakeFd = wakeFd;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Lines reach a terminal, a pipe or the journal as they are printed; into a regular file
// they are written in blocks.
void ChooseOutputBuffering() {
  struct stat status {};
  if (::fstat(STDOUT_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
  }
}

int Fail(const char* format, int error, const char* what) {
  std::printf(format, error, what);
  std::fflush(stdout);
  return 1;
}

// SIGHUP is held back from the start until the accept loop can take it: a SIGHUP that comes
// while the data set loads stays pending and is served as a reload once the handlers are in
// place, instead of ending the process (its default action).
void HoldReloadSignal(bool hold) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

}  // namespace

int main() {
  HoldReloadSignal(true);    // before anything slow, and before any thread starts
  InstallMappedFileGuard();  // a shortened index file fails queries, not the process
  ChooseOutputBuffering();
  std::string text;
  if (ReadWholeFile("SearchServer.xml", &text) == 0) {
    std::printf("Erro Read SearchServer.xml\n");
    return 0;
  }
  tServerConfig config;
  std::string error;
  if (!ParseServerConfig(text.c_str(), &config, &error)) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  StartSockets();

  tResolvedHost host;
  int code = 0;
  if (!ResolveServerName(config.serverIP, &host, &code)) {
    return Fail("Error %d: %s\n", code, "cannot resolve hostname");
  }
  in_addr bindAddress{};
  bindAddress.s_addr = htonl(INADDR_ANY);
  if (!config.bindAddress.empty() && !ResolveAddress(config.bindAddress, &bindAddress, &code)) {
    return Fail("Error %d: %s\n", code, "cannot resolve hostname");
  }
  CSocket listener;
  ListenStep step = ListenStep::kNone;
  if (!OpenListener(bindAddress, config.port, config.listenBacklog, &listener, &step, &code)) {
    if (step == ListenStep::kSocket) {
      std::printf("Error: out of socket resources\n");
      std::fflush(stdout);
      return 1;
    }
    return Fail(
        "Error %d: %s\n", code,
        step == ListenStep::kBind ? "Error: unable to bind socket\n" : "Error: listen failed\n");
  }

  // The HTTP listener starts before the data set loads, so that /health answers 503 while
  // it loads; /search takes the served set per request.
  CServerMetrics metrics;
  CServedData served(nullptr);
  std::unique_ptr<CHttpServer> http;
  if (config.httpPort >= 0) {
    in_addr httpAddress = bindAddress;
    if (!config.httpBindAddress.empty() &&
        !ResolveAddress(config.httpBindAddress, &httpAddress, &code)) {
      return Fail("Error %d: %s\n", code, "cannot resolve hostname");
    }
    tHttpOptions httpOptions;
    httpOptions.maxConnections = config.httpMaxConnections;
    httpOptions.timeout = config.httpTimeout;
    httpOptions.maxRequestBytes = config.httpMaxRequestBytes;
    httpOptions.keepAliveRequests = config.httpKeepAliveRequests;
    httpOptions.requestTimeout = config.httpRequestTimeout;
    httpOptions.search.maxPageCount = config.maxPageCount;
    httpOptions.search.query = {config.maxQueryWords, config.queryTimeoutMs};
    httpOptions.listenBacklog = config.listenBacklog;
    httpOptions.threads = config.httpThreads > 0
                              ? config.httpThreads
                              : std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
    http = std::make_unique<CHttpServer>(
        httpOptions, [&served] { return served.Get(); }, &metrics);
    std::string httpError;
    if (!http->Start(httpAddress, static_cast<uint16_t>(config.httpPort), &httpError)) {
      std::printf("Error: %s\n", httpError.c_str());
      std::fflush(stdout);
      return 1;
    }
  }

  const auto loadStarted = std::chrono::steady_clock::now();
  std::shared_ptr<const CSearchData> data =
      LoadSearchData(config.standard, config.fieldInfo, config.pdat, config.wordList);
  if (!data) {
    std::printf("%s", kInitFailed);
    return 0;
  }
  metrics.DataSetLoaded(
      false, true, data->store().GetRecordCount(),
      std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStarted).count());

  served.Set(std::move(data));
  CDataReloader reloader({config.standard, config.fieldInfo, config.pdat, config.wordList}, &served,
                         config.reloadCheckSeconds,
                         [&metrics](bool loaded, int records, double seconds) {
                           metrics.DataSetLoaded(true, loaded, records, seconds);
                         });
  tAcceptOptions options;
  options.maxConnections = config.maxConnections;
  options.limits.receiveTimeout = config.receiveTimeout;
  options.limits.maxRequestBytes = config.maxRequestBytes;
  options.limits.maxPageCount = config.maxPageCount;
  options.limits.maxQueryWords = config.maxQueryWords;
  options.limits.queryTimeoutMs = config.queryTimeoutMs;
  options.onWake = [&reloader](int signalNumber) {
    if (signalNumber == SIGHUP) reloader.Request();
    return signalNumber == SIGINT || signalNumber == SIGTERM;
  };
  options.currentData = [&served] { return served.Get(); };
  options.metrics = &metrics;
  CAcceptLoop loop(std::move(options));
  InstallSignalHandlers(loop.wakeFd());
  HoldReloadSignal(false);  // a SIGHUP of the load is delivered now

  std::printf("Listen port %d on Server %s......\n", config.port, host.officialName.c_str());
  if (http) std::printf("HTTP port %d......\n", http->port());
  std::fflush(stdout);
  loop.AcceptClients(listener.fd(), true);
  listener.Close();
  if (http) http->Stop();
  std::printf("Server is down\n");
  std::fflush(stdout);
  return 0;
}
