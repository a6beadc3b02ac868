// Two SearchServer replicas behind Debian's HAProxy, configured by examples/haproxy/haproxy.cfg
// with its ports moved to free ones on 127.0.0.1: a replica that is still loading is held back
// by its 503 while the other answers; under load on both ports, SIGHUP to one replica and then
// SIGTERM to it lose no query, with HAProxy retrying only failed connections.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/query/query.h"
#include "core/records/manifest.h"
#include "core/text/encoding.h"
#include "core/text/word_list.h"
#include "core/util/byte_io.h"
#include "core/util/crc32c.h"
#include "net/input_output.h"
#include "net/socket_io.h"
#include "server/http/http_answers.h"
#include "server/search_data.h"
#include "testing/net/wire_client.h"
#include "testing/records/query_fixture.h"
#include "testing/trie_test_files.h"

namespace {

using std::chrono::milliseconds;

const char kHaproxy[] = "/usr/sbin/haproxy";
const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学"};
const char kSchema[] = "1 TITLE title T 1 0 1 1 标题\n";
const char kQuery[] = "[FIELD] title [AND] 中国";
const char kQueryUrl[] = "/search?q=%5BFIELD%5D+title+%5BAND%5D+%E4%B8%AD%E5%9B%BD&count=5";

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A program started in `folder` with its output in `output`; killed if still running at the end.
class CProcess {
 public:
  CProcess() = default;
  ~CProcess() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
  }
  void Start(const std::vector<std::string>& arguments, const std::string& folder,
             const std::string& output) {
    m_output = output;
    m_pid = ::fork();
    if (m_pid == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(126);
      int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
      std::vector<char*> argv;
      for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  void Signal(int number) const { ::kill(m_pid, number); }
  // The exit status, or -1 when it is still running after `seconds`.
  int Wait(int seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return -1;
  }
  std::string Output() const { return ReadFileBytes(m_output); }
  bool WaitForOutput(const std::string& text, int count = 1, int seconds = 15) const {
    for (int i = 0; i < seconds * 100; ++i) {
      if (CountOf(Output(), text) >= count) return true;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }

 private:
  pid_t m_pid = -1;
  std::string m_output;
};

// One query over the binary protocol; the response frame, or "" when none came whole.
std::string BinaryQuery(uint16_t port) {
  CSocket socket = ConnectLoopback(port, 5);
  if (!socket.valid()) return "";
  std::string request;
  const std::string query = kQuery;
  PutI32(&request, 12 + static_cast<int32_t>(query.size()));
  PutI32(&request, 0);
  PutI32(&request, 5);
  PutI32(&request, static_cast<int32_t>(query.size()));
  request += query;
  if (SendFully(socket.fd(), request.data(), static_cast<int>(request.size()), DeadlineAfter(10)) !=
      static_cast<int>(request.size())) {
    return "";
  }
  int32_t length = 0;
  if (RecvFully(socket.fd(), reinterpret_cast<char*>(&length), 4, DeadlineAfter(10)) != 4 ||
      length < 0 || length > (1 << 20)) {
    return "";
  }
  std::string frame(4 + static_cast<size_t>(length), '\0');
  std::memcpy(&frame[0], &length, 4);
  if (RecvFully(socket.fd(), &frame[4], length, DeadlineAfter(10)) != length) return "";
  return frame;
}

// An HTTP/1.1 client on one kept-alive connection that it opens again when the server closes
// it after an answer.
class CHttpClient {
 public:
  explicit CHttpClient(uint16_t port) : m_port(port) {}
  // The status line and body of one GET, or "" when no whole answer came.
  std::string Get(const std::string& target, bool* closed) {
    *closed = false;
    if (!m_socket.valid()) m_socket = ConnectLoopback(m_port, 5);
    if (!m_socket.valid()) return "";
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (SendFully(m_socket.fd(), request.data(), static_cast<int>(request.size()),
                  DeadlineAfter(10)) != static_cast<int>(request.size())) {
      m_socket.Close();
      return "";
    }
    std::string response;
    char chunk[4096];
    const Deadline deadline = DeadlineAfter(10);
    size_t wanted = std::string::npos;
    while (wanted == std::string::npos || response.size() < wanted) {
      if (RecvFully(m_socket.fd(), chunk, 1, deadline) != 1) {
        m_socket.Close();
        return "";
      }
      response += chunk[0];
      const ssize_t more = ::recv(m_socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (more > 0) response.append(chunk, static_cast<size_t>(more));
      const size_t headerEnd = response.find("\r\n\r\n");
      if (wanted == std::string::npos && headerEnd != std::string::npos) {
        const size_t at = response.find("\r\ncontent-length: ");
        const size_t atUpper = response.find("\r\nContent-Length: ");
        const size_t found = at != std::string::npos ? at : atUpper;
        if (found == std::string::npos || found > headerEnd) {
          m_socket.Close();
          return "";
        }
        wanted = headerEnd + 4 + std::stoul(response.substr(found + 18));
      }
    }
    const size_t headerEnd = response.find("\r\n\r\n");
    const std::string headers = response.substr(0, headerEnd);
    if (headers.find("onnection: close") != std::string::npos) {
      *closed = true;
      m_socket.Close();
    }
    return response.substr(0, response.find("\r\n")) + "\n" + response.substr(headerEnd + 4);
  }

 private:
  uint16_t m_port;
  CSocket m_socket;
};

// Clients that query through both frontends until stopped, counting answers that are not
// the expected ones.
class CLoad {
 public:
  CLoad(uint16_t binaryPort, uint16_t httpPort, std::string binaryAnswer, std::string httpAnswer)
      : m_binaryAnswer(std::move(binaryAnswer)), m_httpAnswer(std::move(httpAnswer)) {
    for (int i = 0; i < 2; ++i) {
      m_threads.emplace_back([this, binaryPort] {
        while (!m_stop.load()) {
          Count(BinaryQuery(binaryPort) == m_binaryAnswer, "binary");
          std::this_thread::sleep_for(milliseconds(4));
        }
      });
      m_threads.emplace_back([this, httpPort] {
        CHttpClient client(httpPort);
        while (!m_stop.load()) {
          bool closed = false;
          const std::string answer = client.Get(kQueryUrl, &closed);
          Count(answer == m_httpAnswer, answer.empty() ? "http: no answer" : answer.c_str());
          std::this_thread::sleep_for(milliseconds(2));
        }
      });
    }
  }
  ~CLoad() { Stop(); }
  void Stop() {
    m_stop.store(true);
    for (std::thread& thread : m_threads) {
      if (thread.joinable()) thread.join();
    }
  }
  int answered() const { return m_answered.load(); }
  int failed() const { return m_failed.load(); }
  std::string firstFailure() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_firstFailure;
  }

 private:
  void Count(bool ok, const char* what) {
    if (ok) {
      ++m_answered;
      return;
    }
    if (m_failed++ == 0) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_firstFailure = what;
    }
  }
  std::string m_binaryAnswer;
  std::string m_httpAnswer;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_answered{0};
  std::atomic<int> m_failed{0};
  std::mutex m_lock;
  std::string m_firstFailure;
  std::vector<std::thread> m_threads;
};

// Writes `text` into the named pipe each time a reader opens it (one whole text per open), on
// a thread of its own, until destroyed.
class CManifestFeeder {
 public:
  CManifestFeeder(std::string fifo, std::string text)
      : m_fifo(std::move(fifo)), m_text(std::move(text)), m_thread([this] { Run(); }) {}
  ~CManifestFeeder() {
    m_stop.store(true);
    const int fd = ::open(m_fifo.c_str(), O_RDONLY | O_NONBLOCK);  // frees a blocked open
    m_thread.join();
    if (fd >= 0) ::close(fd);
  }

 private:
  void Run() {
    while (!m_stop.load()) {
      const int fd = ::open(m_fifo.c_str(), O_WRONLY);
      if (fd < 0) return;
      if (!m_stop.load()) {
        [[maybe_unused]] ssize_t written = ::write(fd, m_text.data(), m_text.size());
      }
      ::close(fd);
      // The reader reads to the end before it opens the pipe again.
      std::this_thread::sleep_for(milliseconds(200));
    }
  }
  std::string m_fifo;
  std::string m_text;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

std::string MetricLine(const std::string& metrics, const std::string& name) {
  const size_t at = metrics.find(name + " ");
  if (at == std::string::npos) return "";
  return metrics.substr(at + name.size() + 1, metrics.find('\n', at) - at - name.size() - 1);
}

std::string OneShotGet(uint16_t port, const std::string& target) {
  CHttpClient client(port);
  bool closed = false;
  return client.Get(target, &closed);
}

TEST(HaproxyTest, ReplicasBehindHaproxyLoseNoQueryWhileLoadingReloadingAndEnding) {
  if (::access(kHaproxy, X_OK) != 0) GTEST_SKIP() << "haproxy is not installed";
  CQueryFixture fixture(kWords, kSchema);
  ASSERT_TRUE(fixture.ok());
  for (int record = 0; record < 30; ++record) {
    ASSERT_TRUE(fixture.AddRow(
        CMemoryRow{{"TITLE", TextValue(record % 3 == 0 ? "中国人民" : "北京大学")}}));
  }
  ASSERT_TRUE(fixture.SaveAndLoad("set"));
  auto path = [&](const std::string& name) { return fixture.directory().Path(name); };
  {
    CWordList words;
    ASSERT_GT(words.BuildFromText(path("dict.txt").c_str(), fixture.trie()), 0);
    ASSERT_TRUE(words.Save(path("set.words").c_str()));
  }
  std::shared_ptr<const CSearchData> data =
      LoadSearchData({path("set"), path("set.schema"), path("set.trie"), path("set.words")});
  ASSERT_TRUE(data);
  std::string binaryAnswer;
  {
    CQuery engine(data->schema(), data->store());
    engine.Execute(kQuery);
    CInputOutput io;
    int32_t length = 0;
    const char* packed = io.PackResult(engine.GetPage(0, 5), &length);
    PutI32(&binaryAnswer, length);
    binaryAnswer.append(packed, static_cast<size_t>(length));
  }
  std::string httpAnswer;
  {
    // The HTTP interface takes the query in UTF-8; the source's literal is GBK.
    tSearchParameters parameters;
    parameters.q = GbkToUtf8(kQuery);
    parameters.count = "5";
    httpAnswer = "HTTP/1.1 200 OK\n" + AnswerJsonSearch(parameters, data.get()).body;
  }

  // Replica a serves the set as it is; replica b has its own copy, whose manifest is a pipe
  // that holds b's load until the test writes the manifest into it.
  struct tReplica {
    std::string folder;
    uint16_t port;
    uint16_t httpPort;
    CProcess process;
  } replicas[2];
  const char* names[2] = {"a", "b"};
  for (int i = 0; i < 2; ++i) {
    replicas[i].folder = path(names[i]);
    ASSERT_EQ(::mkdir(replicas[i].folder.c_str(), 0755), 0);
    replicas[i].port = FreeLoopbackPort();
    replicas[i].httpPort = FreeLoopbackPort();
  }
  const int indexCount = data->store().GetIndexCount();
  std::vector<std::string> files = {"set.dataline"};
  for (int index = 0; index < indexCount; ++index) {
    files.push_back("set.index_" + std::to_string(index));
  }
  for (const std::string& file : files) {
    ASSERT_TRUE(WriteTextFile(path("b/" + file), ReadBinaryFile(path(file))));
  }
  std::string manifestText;
  {
    CManifest manifest;
    manifest.generation = 4;
    manifest.recordCount = 30;
    manifest.schemaPath = path("set.schema");
    std::string error;
    ASSERT_TRUE(IdentifyFile(path("set.trie"), &manifest.trie, &error) &&
                IdentifyFile(path("set.words"), &manifest.wordList, &error) &&
                IdentifyFile(path("set.schema"), &manifest.schema, &error) &&
                IdentifyFile(path("b/set.dataline"), &manifest.dataLine, &error));
    manifest.indexes.resize(static_cast<size_t>(indexCount));
    for (int index = 0; index < indexCount; ++index) {
      ASSERT_TRUE(IdentifyFile(path("b/set.index_" + std::to_string(index)),
                               &manifest.indexes[static_cast<size_t>(index)], &error));
    }
    manifestText = manifest.Format();
  }
  ASSERT_EQ(::mkfifo(path("b/hold.fifo").c_str(), 0644), 0);
  ASSERT_EQ(::link(path("b/hold.fifo").c_str(), path("b/set.manifest").c_str()), 0);

  for (int i = 0; i < 2; ++i) {
    const std::string stem = i == 0 ? path("set") : path("b/set");
    ASSERT_TRUE(WriteTextFile(
        replicas[i].folder + "/SearchServer.xml",
        "<ServerIP>127.0.0.1</ServerIP>\n<Port>" + std::to_string(replicas[i].port) +
            "</Port>\n<Standard>" + stem + "</Standard>\n<FieldInfo>" + path("set.schema") +
            "</FieldInfo>\n<PDAT>" + path("set.trie") + "</PDAT>\n<WordList>" + path("set.words") +
            "</WordList>\n<BindAddress>127.0.0.1</BindAddress>\n<HttpPort>" +
            std::to_string(replicas[i].httpPort) + "</HttpPort>\n"));
    replicas[i].process.Start({SEARCH_SERVER_PATH}, replicas[i].folder,
                              replicas[i].folder + "/out.txt");
  }
  ASSERT_TRUE(replicas[0].process.WaitForOutput(" on Server ")) << replicas[0].process.Output();

  // HAProxy with the example's configuration, ports moved.
  const uint16_t binaryFront = FreeLoopbackPort();
  const uint16_t httpFront = FreeLoopbackPort();
  std::string config = ReadFileBytes(HAPROXY_EXAMPLE);
  ASSERT_FALSE(config.empty());
  auto replace = [&](const std::string& from, const std::string& to) {
    ASSERT_NE(config.find(from), std::string::npos) << from;
    for (size_t at = config.find(from); at != std::string::npos; at = config.find(from, at)) {
      config.replace(at, from.size(), to);
      at += to.size();
    }
  };
  replace("bind :9999", "bind 127.0.0.1:" + std::to_string(binaryFront));
  replace("bind :9998", "bind 127.0.0.1:" + std::to_string(httpFront));
  for (int i = 0; i < 2; ++i) {
    const std::string host = i == 0 ? "10.0.0.11" : "10.0.0.12";
    const std::string port = std::to_string(replicas[i].port);
    const std::string httpPort = std::to_string(replicas[i].httpPort);
    replace(host + ":9999 check port 9998", "127.0.0.1:" + port + " check port " + httpPort);
    replace(host + ":9998 check", "127.0.0.1:" + httpPort + " check");
  }
  ASSERT_TRUE(WriteTextFile(path("haproxy.cfg"), config));
  CProcess haproxy;
  haproxy.Start({kHaproxy, "-db", "-f", path("haproxy.cfg")}, path(""), path("haproxy.out"));

  // b answers /health with 503 "loading": held back on both backends while a answers all.
  ASSERT_TRUE(haproxy.WaitForOutput("replicas_binary/search-b is DOWN")) << haproxy.Output();
  ASSERT_TRUE(haproxy.WaitForOutput("replicas_http/search-b is DOWN")) << haproxy.Output();
  EXPECT_NE(OneShotGet(replicas[1].httpPort, "/health").find("503"), std::string::npos);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(BinaryQuery(binaryFront), binaryAnswer);
    EXPECT_EQ(OneShotGet(httpFront, kQueryUrl), httpAnswer);
  }
  EXPECT_EQ(MetricLine(OneShotGet(replicas[1].httpPort, "/metrics"),
                       "trindle_queries_total{interface=\"binary\",outcome=\"ok\"}"),
            "0");

  // b loads: the manifest goes into the pipe each time b opens it, until it is a file.
  {
    CManifestFeeder feeder(path("b/hold.fifo"), manifestText);
    ASSERT_TRUE(replicas[1].process.WaitForOutput(" on Server ")) << replicas[1].process.Output();
    ASSERT_TRUE(WriteTextFile(path("b/manifest.tmp"), manifestText));
    ASSERT_EQ(::rename(path("b/manifest.tmp").c_str(), path("b/set.manifest").c_str()), 0);
  }
  ASSERT_TRUE(haproxy.WaitForOutput("replicas_binary/search-b is UP"));
  ASSERT_TRUE(haproxy.WaitForOutput("replicas_http/search-b is UP")) << haproxy.Output();

  // SIGHUP to a under load.
  {
    CLoad load(binaryFront, httpFront, binaryAnswer, httpAnswer);
    std::this_thread::sleep_for(milliseconds(500));
    replicas[0].process.Signal(SIGHUP);
    ASSERT_TRUE(replicas[0].process.WaitForOutput("Reloaded data set"))
        << replicas[0].process.Output();
    std::this_thread::sleep_for(milliseconds(1000));
    load.Stop();
    EXPECT_EQ(load.failed(), 0) << load.firstFailure();
    EXPECT_GT(load.answered(), 100);
  }
  const std::string bMetrics = OneShotGet(replicas[1].httpPort, "/metrics");
  EXPECT_NE(MetricLine(bMetrics, "trindle_queries_total{interface=\"binary\",outcome=\"ok\"}"),
            "0");
  EXPECT_NE(MetricLine(bMetrics, "trindle_queries_total{interface=\"http\",outcome=\"ok\"}"), "0");

  // SIGTERM to a under load: it drains, HAProxy takes it out, b answers everything after.
  {
    CLoad load(binaryFront, httpFront, binaryAnswer, httpAnswer);
    std::this_thread::sleep_for(milliseconds(500));
    replicas[0].process.Signal(SIGTERM);
    EXPECT_EQ(replicas[0].process.Wait(20), 0);
    const int beforeEnd = load.answered();
    std::this_thread::sleep_for(milliseconds(1000));
    load.Stop();
    EXPECT_EQ(load.failed(), 0) << load.firstFailure();
    EXPECT_GT(load.answered(), beforeEnd);
  }
  EXPECT_NE(haproxy.Output().find("replicas_binary/search-a is DOWN"), std::string::npos)
      << haproxy.Output();
  haproxy.Signal(SIGTERM);
  haproxy.Wait(10);
  replicas[1].process.Signal(SIGTERM);
  EXPECT_EQ(replicas[1].process.Wait(20), 0);
}

}  // namespace
