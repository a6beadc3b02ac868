// SearchServer: reads "SearchServer.xml" from the working directory, listens, loads the data
// set and answers one query per connection until SIGINT or SIGTERM (with HttpPort set, after
// DrainSeconds of "draining" on /health, so that balancers stop sending first; a second signal
// ends the drain). SIGHUP loads the data set again from the same files and serves it once it
// is complete; a SIGHUP during the start-up load is served after it. With HttpPort set it also
// answers HTTP on that port over the same data set. With Shards set it is a broker: it loads
// no data set and answers both ports by asking the shards listed. --help, -h and --version
// print and end before anything else; other arguments are not looked at.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "core/util/daily_log.h"
#include "core/util/file_util.h"
#include "core/util/mapped_file.h"
#include "net/socket_io.h"
#include "programs/command_line.h"
#include "programs/console.h"
#include "server/accept_loop.h"
#include "server/data_reloader.h"
#include "server/drain.h"
#include "server/exit_status.h"
#include "server/help_text.h"
#include "server/http/broker_answers.h"
#include "server/http/http_server.h"
#include "server/messages.h"
#include "server/metrics.h"
#include "server/search_data.h"
#include "server/server_config.h"
#include "server/shard_broker.h"

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

// LogDirectory: an existing folder the server may write in, else the start ends.
bool UseLogDirectory(const std::string& directory) {
  if (directory.empty()) return true;
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      ::access(directory.c_str(), W_OK | X_OK) != 0) {
    std::printf("Cannot write log directory %s\n", directory.c_str());
    return false;
  }
  SetDailyLogDirectory(directory);
  return true;
}

int Fail(const char* format, int error, const char* what) {
  std::printf(format, error, what);
  std::fflush(stdout);
  return server_exit::kStartFailed;
}

// A broker's start: the shard list, the schema they serve, and a check that every shard
// answers with pages of that schema's stored fields (tried until ShardTimeout has passed, so
// shards and broker may start together). False with the exit status in *status when the
// server cannot start, its line printed.
bool StartBroker(const tServerConfig& config, std::unique_ptr<CShardBroker>* broker,
                 tBrokerView* view, int* status) {
  std::vector<tShard> shards;
  std::string error;
  *status = server_exit::kStartFailed;
  if (!ParseShardList(config.shards, &shards, &error)) {
    std::printf("%s\n", error.c_str());
    return false;
  }
  auto loaded = std::make_shared<CFieldInfo>();
  CFieldInfo& schema = *loaded;
  *status = server_exit::kNothingToServe;
  if (!schema.LoadBinary(config.dataSet.schema.c_str())) {
    std::printf("%s", kInitFailed);
    return false;
  }
  if (!ComputeFieldNames(schema, &view->storedNames, &view->storedNamesUtf8,
                         &view->indexedNamesUtf8)) {
    std::printf("Load %s failed: a stored field's name cannot name an XML element\n%s",
                config.dataSet.schema.c_str(), kInitFailed);
    return false;
  }
  *status = server_exit::kStartFailed;
  *broker = std::make_unique<CShardBroker>(std::move(shards), schema.GetListSize(LIST_STORED),
                                           config.shardTimeout);
  (*broker)->SetQueryTimeoutMs(config.queryTimeoutMs);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(config.shardTimeout);
  while (!(*broker)->CheckShards(&error)) {
    if (std::chrono::steady_clock::now() >= until) {
      std::printf("%s\n", error.c_str());
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (!config.shardsHttp.empty() && !ParseShardList(config.shardsHttp, &view->httpShards, &error)) {
    std::printf("ShardsHttp: %s\n", error.c_str());
    return false;
  }
  view->shardTimeout = config.shardTimeout;
  view->broker = broker->get();
  view->schema = std::move(loaded);
  std::printf("Broker over %d shards: %s\n", static_cast<int>((*broker)->shards().size()),
              config.shards.c_str());
  return true;
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

int main(int argc, char** argv) {
  HoldReloadSignal(true);  // before anything slow, and before any thread starts
  SetUpConsole();
  if (argc >= 2 && AnswerInformationOption(argv[1], "SearchServer", kSearchServerHelp)) {
    return server_exit::kSuccess;
  }
  InstallMappedFileGuard();  // a shortened index file fails queries, not the process
  if (StdoutEncoding() == ConsoleEncoding::kGbk) ChooseOutputBuffering();  // UTF-8: unbuffered
  std::string text;
  if (ReadWholeFile("SearchServer.xml", &text) == 0) {
    std::printf("Erro Read SearchServer.xml\n");
    return server_exit::kNothingToServe;
  }
  tServerConfig config;
  std::string error;
  if (!ParseServerConfig(text.c_str(), &config, &error)) {
    std::printf("%s\n", error.c_str());
    return server_exit::kStartFailed;
  }
  if (!UseLogDirectory(config.logDirectory)) return server_exit::kStartFailed;
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
  ListenStep step = ListenStep::kNoFailure;
  if (!OpenListener(bindAddress, config.port, config.listenBacklog, &listener, &step, &code)) {
    if (step == ListenStep::kSocket) {
      std::printf("Error: out of socket resources\n");
      std::fflush(stdout);
      return server_exit::kStartFailed;
    }
    return Fail(
        "Error %d: %s\n", code,
        step == ListenStep::kBind ? "Error: unable to bind socket\n" : "Error: listen failed\n");
  }

  // A broker loads no data set: it asks the shards.
  CServerMetrics metrics;
  std::unique_ptr<CShardBroker> broker;
  tBrokerView brokerView;
  if (!config.shards.empty()) {
    int status = server_exit::kSuccess;
    if (!StartBroker(config, &broker, &brokerView, &status)) return status;
    metrics.SetExtraRenderer([&broker] { return broker->RenderMetrics(); });
  }

  // The HTTP listener starts before the data set loads, so that /health answers 503 while
  // it loads; /search takes the served set per request.
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
    httpOptions.search.containsMatch = config.matchContains;
    httpOptions.search.fieldWeights = config.fieldWeights;
    httpOptions.listenBacklog = config.listenBacklog;
    httpOptions.threads = config.httpThreads > 0
                              ? config.httpThreads
                              : std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
    http = std::make_unique<CHttpServer>(
        httpOptions, [&served] { return served.Get(); }, &metrics);
    if (broker) http->SetBroker(&brokerView);
    std::string httpError;
    if (!http->Start(httpAddress, static_cast<uint16_t>(config.httpPort), &httpError)) {
      std::printf("Error: %s\n", httpError.c_str());
      std::fflush(stdout);
      return server_exit::kStartFailed;
    }
  }

  std::unique_ptr<CDataReloader> reloader;
  if (!broker) {
    const auto loadStarted = std::chrono::steady_clock::now();
    std::shared_ptr<const CSearchData> data = LoadSearchData(config.dataSet);
    if (!data) {
      std::printf("%s", kInitFailed);
      return server_exit::kNothingToServe;
    }
    metrics.DataSetLoaded(
        false, true, data->store().GetLiveRecordCount(),
        std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStarted).count());

    served.Set(std::move(data));
    reloader =
        std::make_unique<CDataReloader>(config.dataSet, &served, config.reloadCheckSeconds,
                                        [&metrics](bool loaded, int records, double seconds) {
                                          metrics.DataSetLoaded(true, loaded, records, seconds);
                                        });
  }
  int wakeFd = -1;
  CDrain drain(http.get(), config.drainSeconds, [&wakeFd] {
    const char byte = SIGTERM;
    [[maybe_unused]] ssize_t written = ::write(wakeFd, &byte, 1);
  });
  tAcceptOptions options;
  options.maxConnections = config.maxConnections;
  options.limits.receiveTimeout = config.receiveTimeout;
  options.limits.maxRequestBytes = config.maxRequestBytes;
  options.limits.maxPageCount = config.maxPageCount;
  options.limits.maxQueryWords = config.maxQueryWords;
  options.limits.queryTimeoutMs = config.queryTimeoutMs;
  options.limits.containsMatch = config.matchContains;
  options.onWake = [&reloader, &drain](int signalNumber) {
    if (signalNumber == SIGHUP && reloader) reloader->Request();
    return (signalNumber == SIGINT || signalNumber == SIGTERM) && drain.EndRequested();
  };
  options.onStopAccepting = [&listener, &http] {
    listener.Close();
    if (http) http->StopAccepting();
  };
  options.currentData = [&served] { return served.Get(); };
  options.metrics = &metrics;
  if (broker) {
    options.serve = [&broker, &metrics, limits = options.limits](CSocket socket) {
      ServeBrokerClient(std::move(socket), *broker, limits, &metrics);
    };
  }
  CAcceptLoop loop(std::move(options));
  if (!loop.ready()) {
    std::printf("Error %d: %s\n", loop.pipeError(), "cannot create the wake pipe");
    std::fflush(stdout);
    return server_exit::kStartFailed;
  }
  wakeFd = loop.wakeFd();
  InstallSignalHandlers(loop.wakeFd());
  HoldReloadSignal(false);  // a SIGHUP of the load is delivered now

  std::printf("Listen port %d on Server %s......\n", config.port, host.officialName.c_str());
  if (http) std::printf("HTTP port %d......\n", http->port());
  std::fflush(stdout);
  loop.AcceptClients(listener.fd(), true);
  drain.Stop();  // before the loop's wake pipe goes
  listener.Close();
  if (http) {
    // Requests in progress finish; connections idle between requests are closed.
    http->WaitForRequests(std::max(config.httpTimeout, 1));
    http->Stop();
  }
  std::printf("Server is down\n");
  std::fflush(stdout);
  return server_exit::kSuccess;
}
