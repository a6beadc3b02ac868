// Tests of the SearchServer program itself: the start-up sequence with its messages and exit
// statuses, and the end on SIGTERM with a connection in progress.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "core/records/manifest.h"
#include "core/text/word_list.h"
#include "core/util/byte_io.h"
#include "core/util/crc32c.h"
#include "net/socket_io.h"
#include "testing/net/wire_client.h"
#include "testing/records/query_fixture.h"
#include "testing/trie_test_files.h"

namespace {

// Moves the calling process into a network namespace of its own whose only interface is
// loopback, so that name lookups the test provokes never leave the machine. False when the
// process may not do that (not root).
bool IsolateNetwork() {
  if (::unshare(CLONE_NEWNET) != 0) return false;
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  request.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
  bool up = fd >= 0 && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  if (fd >= 0) ::close(fd);
  return up;
}

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学"};
const char kSchema[] = "1 TITLE title T 1 0 1 1 标题\n";

// A free port on 127.0.0.1 (bound and released; the kernel does not hand it out again at once).
class SearchServerProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fixture = std::make_unique<CQueryFixture>(kWords, kSchema);
    ASSERT_TRUE(m_fixture->ok());
    ASSERT_TRUE(m_fixture->AddRow(CMemoryRow{{"TITLE", TextValue("中国人民")}}));
    ASSERT_TRUE(m_fixture->AddRow(CMemoryRow{{"TITLE", TextValue("北京大学")}}));
    ASSERT_TRUE(m_fixture->SaveAndLoad("set"));
    CWordList words;
    ASSERT_GT(words.BuildFromText(Path("dict.txt").c_str(), m_fixture->trie()), 0);
    ASSERT_TRUE(words.Save(Path("set.words").c_str()));
    m_port = FreeLoopbackPort();
  }
  void TearDown() override {
    if (m_child > 0) {
      ::kill(m_child, SIGKILL);
      ::waitpid(m_child, nullptr, 0);
    }
  }
  std::string Path(const std::string& name) const { return m_fixture->directory().Path(name); }

  std::string Config(const std::string& extra = "", const std::string& serverIP = "127.0.0.1") {
    return "<ServerIP>" + serverIP + "</ServerIP>\n<Port>" + std::to_string(m_port) +
           "</Port>\n<Standard>set</Standard>\n<FieldInfo>set.schema</FieldInfo>\n"
           "<PDAT>set.trie</PDAT>\n<WordList>set.words</WordList>\n"
           "<BindAddress>127.0.0.1</BindAddress>\n" +
           extra;
  }
  void WriteConfig(const std::string& text) {
    std::ofstream(Path("SearchServer.xml"), std::ios::binary) << text;
  }

  // Starts the program in the scratch directory with its output going to "out.txt"; when
  // `isolated`, in a network namespace of its own (exit status 126 when that is refused).
  // With `maxFiles`, the program may hold at most that many descriptors.
  void Start(bool isolated = false, rlim_t maxFiles = 0) {
    m_child = ::fork();
    if (m_child == 0) {
      if (isolated && !IsolateNetwork()) ::_exit(126);
      if (maxFiles > 0) {
        rlimit limit{maxFiles, maxFiles};
        ::setrlimit(RLIMIT_NOFILE, &limit);
      }
      int out = ::open(Path("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
      ::execl(SEARCH_SERVER_PATH, SEARCH_SERVER_PATH, static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  // Waits for the program to end; its exit status, or -1 when it is still running after 10 s.
  int Wait() {
    for (int i = 0; i < 1000; ++i) {
      int status = 0;
      if (::waitpid(m_child, &status, WNOHANG) == m_child) {
        m_child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  std::string Output() { return ReadFileBytes(Path("out.txt")); }
  bool WaitForOutput(const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
      if (Output().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::unique_ptr<CQueryFixture> m_fixture;
  uint16_t m_port = 0;
  pid_t m_child = -1;
};

TEST_F(SearchServerProgramTest, StartUpFailuresPrintTheirLineAndExitStatus) {
  const std::string initFailed = "初始化失败！\n";
  struct Case {
    std::string config;  // "" leaves no configuration file
    std::string output;
    int status;
  } cases[] = {
      {"", "Erro Read SearchServer.xml\n", 0},
      {[&] {
         std::string text = Config();
         text.replace(text.find("set.schema"), 10, "missing.schema");
         return text;
       }(),
       "Error Read missing.schema\n" + initFailed, 0},
      {[&] {
         std::string text = Config();
         text.replace(text.find("set.trie"), 8, "missing.trie");
         return text;
       }(),
       "Load missing.trie failed!\n" + initFailed, 0},
      {[&] {
         std::string text = Config();
         text.replace(text.find("set.words"), 9, "missing.words");
         return text;
       }(),
       "Load\tmissing.words failed!\n" + initFailed, 0},
      {[&] {
         std::string text = Config();
         text.replace(text.find("<Standard>set<"), 14, "<Standard>missing<");
         return text;
       }(),
       "Load missing failed!\n" + initFailed, 0},
      {Config("", "no-such-host.invalid"), "cannot resolve hostname\n", 1},
      {Config("", "999.1.1.1"), "cannot resolve hostname\n", 1},
      {Config("<MaxConnections>0</MaxConnections>"), "Invalid value of MaxConnections: 0\n", 1},
      {"<ServerIP>" + std::string(1024, 'a') + "</ServerIP>",
       "Value of ServerIP is longer than 1023 bytes\n", 1},
  };
  for (const Case& c : cases) {
    if (c.config.empty()) {
      ::unlink(Path("SearchServer.xml").c_str());
    } else {
      WriteConfig(c.config);
    }
    Start(/*isolated=*/true);
    const int status = Wait();
    if (status == 126) GTEST_SKIP() << "no network namespace for the lookups";
    EXPECT_EQ(status, c.status) << c.output;
    EXPECT_NE(Output().find(c.output), std::string::npos) << Output();
  }
}

TEST_F(SearchServerProgramTest, ADottedAddressWithoutReverseNameStartsAndShowsTheAddress) {
  WriteConfig(Config("", "127.0.0.77"));
  Start(/*isolated=*/true);
  if (!WaitForOutput(" on Server ")) {
    if (Wait() == 126) GTEST_SKIP() << "no network namespace for the lookups";
    FAIL() << Output();
  }
  EXPECT_NE(Output().find(" on Server 127.0.0.77......\n"), std::string::npos) << Output();
  ::kill(m_child, SIGTERM);
  EXPECT_EQ(Wait(), 0);
}

TEST_F(SearchServerProgramTest, RunningOutOfDescriptorsPausesAcceptingButDoesNotEndTheServer) {
  WriteConfig(Config());
  Start(false, 16);
  ASSERT_TRUE(WaitForOutput(" on Server ")) << Output();
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<CSocket> idle(30);
  int error = 0;
  for (CSocket& socket : idle)
    ASSERT_TRUE(ConnectTcp(loopback, m_port, DeadlineAfter(5), &socket, &error));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  idle.clear();
  CSocket socket;
  ASSERT_TRUE(ConnectTcp(loopback, m_port, DeadlineAfter(5), &socket, &error));
  const std::string query = "[FIELD] title [AND] 北京";
  std::string request;
  PutI32(&request, 12 + static_cast<int32_t>(query.size()));
  PutI32(&request, 0);
  PutI32(&request, 10);
  PutI32(&request, static_cast<int32_t>(query.size()));
  request += query;
  ASSERT_EQ(SendFully(socket.fd(), request.data(), static_cast<int>(request.size()), 0),
            static_cast<int>(request.size()));
  int32_t length = 0;
  ASSERT_EQ(RecvFully(socket.fd(), reinterpret_cast<char*>(&length), 4, DeadlineAfter(10)), 4);
  EXPECT_GE(length, 20);
  ::kill(m_child, SIGTERM);
  EXPECT_EQ(Wait(), 0);
  EXPECT_NE(Output().find("Error 24: Error: accept failed\n"), std::string::npos);
}

TEST_F(SearchServerProgramTest, SighupReloadsTheDataSet) {
  WriteConfig(Config());
  Start();
  ASSERT_TRUE(WaitForOutput(" on Server ")) << Output();
  ::kill(m_child, SIGHUP);
  ASSERT_TRUE(WaitForOutput("Reloaded data set set: generation 0, 2 records in ")) << Output();
  ::unlink(Path("set.dataline").c_str());
  ::kill(m_child, SIGHUP);
  ASSERT_TRUE(WaitForOutput("still serving the previous one")) << Output();
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket socket;
  int error = 0;
  ASSERT_TRUE(ConnectTcp(loopback, m_port, DeadlineAfter(5), &socket, &error));
  std::string request;
  PutI32(&request, 12);
  PutI32(&request, 0);
  PutI32(&request, 10);
  PutI32(&request, 0);
  ASSERT_EQ(SendFully(socket.fd(), request.data(), 16, 0), 16);
  int32_t length = 0;
  ASSERT_EQ(RecvFully(socket.fd(), reinterpret_cast<char*>(&length), 4, DeadlineAfter(5)), 4);
  EXPECT_EQ(length, 20);
  ::kill(m_child, SIGTERM);
  EXPECT_EQ(Wait(), 0);
}

TEST_F(SearchServerProgramTest, APortInUseEndsWithStatusOne) {
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket holder;
  ListenStep step;
  int error = 0;
  ASSERT_TRUE(OpenListener(loopback, 0, 1, &holder, &step, &error));
  m_port = LocalPort(holder.fd());
  WriteConfig(Config());
  Start();
  EXPECT_EQ(Wait(), 1);
  EXPECT_NE(Output().find(": Error: unable to bind socket\n\n"), std::string::npos) << Output();
}

TEST_F(SearchServerProgramTest, ServesUntilSigtermThenFinishesTheConnectionInProgress) {
  WriteConfig(Config("", "127.0.0.1"));
  Start();
  ASSERT_TRUE(WaitForOutput(" on Server ")) << Output();
  EXPECT_NE(Output().find("Listen port " + std::to_string(m_port)), std::string::npos);

  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket socket;
  int error = 0;
  ASSERT_TRUE(ConnectTcp(loopback, m_port, DeadlineAfter(5), &socket, &error));
  const std::string query = "[FIELD] title [AND] 中国";
  std::string request;
  PutI32(&request, 12 + static_cast<int32_t>(query.size()));
  PutI32(&request, 0);
  PutI32(&request, 10);
  PutI32(&request, static_cast<int32_t>(query.size()));
  request += query;
  ASSERT_EQ(SendFully(socket.fd(), request.data(), 8, 0), 8);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // accepted and receiving
  ::kill(m_child, SIGTERM);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(SendFully(socket.fd(), request.data() + 8, static_cast<int>(request.size()) - 8, 0),
            static_cast<int>(request.size()) - 8);
  int32_t length = 0;
  ASSERT_EQ(RecvFully(socket.fd(), reinterpret_cast<char*>(&length), 4, DeadlineAfter(5)), 4);
  std::string body(static_cast<size_t>(length), '\0');
  ASSERT_EQ(RecvFully(socket.fd(), &body[0], length, DeadlineAfter(5)), length);
  int32_t total = 0;
  std::memcpy(&total, body.data(), 4);
  EXPECT_EQ(total, 1);
  EXPECT_EQ(Wait(), 0);
  const std::string output = Output();
  EXPECT_NE(output.find("result count 1 \n"), std::string::npos);
  EXPECT_NE(output.find("Last thread to finish was thread #0\nServer is down\n"), std::string::npos)
      << output;
}

// LogDirectory: the daily log goes there, in GBK also when the console is UTF-8, and none is
// written in the working directory. A folder that cannot be written ends the start.
TEST_F(SearchServerProgramTest, TheDailyLogGoesToLogDirectoryAndStaysGbk) {
  ASSERT_EQ(::mkdir(Path("logs").c_str(), 0755), 0);
  WriteConfig(Config("<LogDirectory>" + Path("logs") + "</LogDirectory>"));
  ::setenv("TRINDLE_CONSOLE", "utf8", 1);
  Start();
  ::unsetenv("TRINDLE_CONSOLE");
  ASSERT_TRUE(WaitForOutput(" on Server ")) << Output();
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket socket;
  int error = 0;
  ASSERT_TRUE(ConnectTcp(loopback, m_port, DeadlineAfter(5), &socket, &error));
  const std::string query = "[FIELD] title [AND] 中国";
  std::string request;
  PutI32(&request, 12 + static_cast<int32_t>(query.size()));
  PutI32(&request, 0);
  PutI32(&request, 10);
  PutI32(&request, static_cast<int32_t>(query.size()));
  request += query;
  ASSERT_EQ(SendFully(socket.fd(), request.data(), static_cast<int>(request.size()), 0),
            static_cast<int>(request.size()));
  int32_t length = 0;
  ASSERT_EQ(RecvFully(socket.fd(), reinterpret_cast<char*>(&length), 4, DeadlineAfter(5)), 4);
  ::kill(m_child, SIGTERM);
  EXPECT_EQ(Wait(), 0);

  char today[16];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(today, sizeof today, "%Y%m%d.log", &local);
  EXPECT_NE(ReadFileBytes(Path("logs/") + today).find("Received query string " + query),
            std::string::npos);
  EXPECT_EQ(ReadDailyLog().find("Received query"), std::string::npos);

  WriteConfig(Config("<LogDirectory>" + Path("missing") + "</LogDirectory>"));
  Start();
  EXPECT_EQ(Wait(), 1);
  EXPECT_NE(Output().find("Cannot write log directory " + Path("missing") + "\n"),
            std::string::npos)
      << Output();
}

}  // namespace

// One HTTP/1.1 GET that asks the server to close; the whole response, or "" when it fails.
std::string HttpGet(uint16_t port, const std::string& target) {
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket socket;
  int error = 0;
  if (!ConnectTcp(loopback, port, DeadlineAfter(5), &socket, &error)) return "";
  const std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  SendFully(socket.fd(), request.data(), static_cast<int>(request.size()), DeadlineAfter(5));
  std::string response;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::recv(socket.fd(), chunk, sizeof chunk, 0);
    if (got <= 0) break;
    response.append(chunk, static_cast<size_t>(got));
  }
  return response;
}

TEST_F(SearchServerProgramTest, HttpAnswersBesideTheBinaryPortAndCountsBoth) {
  const uint16_t httpPort = FreeLoopbackPort();
  WriteConfig(Config("<HttpPort>" + std::to_string(httpPort) +
                     "</HttpPort>\n<DrainSeconds>0</DrainSeconds>\n"));
  Start();
  ASSERT_TRUE(WaitForOutput("HTTP port " + std::to_string(httpPort))) << Output();
  // "[FIELD] title [AND] 中国" over both interfaces: one hit, the record "中国人民".
  const std::string query = "[FIELD] title [AND] 中国";
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket socket;
  int error = 0;
  ASSERT_TRUE(ConnectTcp(loopback, m_port, DeadlineAfter(5), &socket, &error));
  std::string request;
  PutI32(&request, 12 + static_cast<int32_t>(query.size()));
  PutI32(&request, 0);
  PutI32(&request, 10);
  PutI32(&request, static_cast<int32_t>(query.size()));
  request += query;
  ASSERT_EQ(SendFully(socket.fd(), request.data(), static_cast<int>(request.size()), 0),
            static_cast<int>(request.size()));
  int32_t length = 0;
  ASSERT_EQ(RecvFully(socket.fd(), reinterpret_cast<char*>(&length), 4, DeadlineAfter(5)), 4);
  int32_t total = 0;
  ASSERT_EQ(RecvFully(socket.fd(), reinterpret_cast<char*>(&total), 4, DeadlineAfter(5)), 4);
  EXPECT_EQ(total, 1);
  socket.Close();
  const std::string utf8Query = "%5BFIELD%5D+title+%5BAND%5D+%E4%B8%AD%E5%9B%BD";
  const std::string answer = HttpGet(httpPort, "/search?q=" + utf8Query);
  EXPECT_NE(
      answer.find("{\"total\":1,\"start\":0,\"returned\":1,\"fields\":[\"title\"],"
                  "\"hits\":[{\"title\":\"\xE4\xB8\xAD\xE5\x9B\xBD\xE4\xBA\xBA\xE6\xB0\x91\"}]}"),
      std::string::npos)
      << answer;
  ::kill(m_child, SIGHUP);
  ASSERT_TRUE(WaitForOutput("Reloaded data set set: generation 0, 2 records in ")) << Output();
  // The binary connection is counted when its thread ends, just after the answer went out.
  std::string metrics;
  for (int i = 0; i < 500; ++i) {
    metrics = HttpGet(httpPort, "/metrics");
    if (metrics.find("trindle_connections_in_progress{interface=\"binary\"} 0\n") !=
        std::string::npos) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (const char* line :
       {"trindle_queries_total{interface=\"binary\",outcome=\"ok\"} 1\n",
        "trindle_queries_total{interface=\"http\",outcome=\"ok\"} 1\n",
        "trindle_reloads_total{outcome=\"succeeded\"} 1\n", "trindle_data_set_records 2\n"}) {
    EXPECT_NE(metrics.find(line), std::string::npos) << line << metrics;
  }
  EXPECT_NE(HttpGet(httpPort, "/health").find("{\"status\":\"serving\",\"records\":2,"),
            std::string::npos);

  // The page in a browser: the rendered DOM shows the total and the first hit; a screenshot
  // is left in the build tree's tests folder.
  if (::access("/usr/bin/chromium", X_OK) != 0) {
    ::kill(m_child, SIGTERM);
    EXPECT_EQ(Wait(), 0);
    GTEST_SKIP() << "chromium is not installed";
  }
  const std::string url =
      "http://127.0.0.1:" + std::to_string(httpPort) + "/?text=%E4%B8%AD%E5%9B%BD";
  const std::string browser =
      "timeout 90 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic "
      "--no-first-run --disable-background-networking --disable-component-update "
      "--disable-sync --user-data-dir=" +
      Path("chromium-profile") + " --virtual-time-budget=5000 ";
  ASSERT_EQ(std::system((browser + "--dump-dom '" + url + "' > " + Path("dom.html") + " 2> " +
                         Path("chromium.err"))
                            .c_str()),
            0)
      << ReadFileBytes(Path("chromium.err"));
  const std::string dom = ReadFileBytes(Path("dom.html"));
  EXPECT_NE(dom.find(">1 hit<"), std::string::npos) << dom;
  // The title's snippet, 中国 marked.
  EXPECT_NE(dom.find("<mark>\xE4\xB8\xAD\xE5\x9B\xBD</mark>\xE4\xBA\xBA\xE6\xB0\x91</span>"),
            std::string::npos)
      << dom;
  const std::string screenshot = TEST_ARTIFACT_DIR "/http_search_page.png";
  ::unlink(screenshot.c_str());
  EXPECT_EQ(std::system((browser + "--window-size=1000,500 --screenshot=" + screenshot + " '" +
                         url + "' > /dev/null 2>&1")
                            .c_str()),
            0);
  EXPECT_EQ(::access(screenshot.c_str(), R_OK), 0) << screenshot;
  ::kill(m_child, SIGTERM);
  EXPECT_EQ(Wait(), 0);
}

// One HTTP/1.1 response read from a kept-alive connection: headers and a Content-Length body.
std::string ReadHttpResponse(int fd) {
  std::string response;
  char chunk[4096];
  const Deadline deadline = DeadlineAfter(10);
  size_t headerEnd = std::string::npos;
  size_t wanted = std::string::npos;
  while (std::chrono::steady_clock::now() < deadline) {
    if (headerEnd == std::string::npos) {
      headerEnd = response.find("\r\n\r\n");
      if (headerEnd != std::string::npos) {
        const size_t at = response.find("Content-Length: ");
        if (at == std::string::npos || at > headerEnd) return response;
        wanted = headerEnd + 4 + std::stoul(response.substr(at + 16));
      }
    }
    if (wanted != std::string::npos && response.size() >= wanted) return response;
    const int got = RecvFully(fd, chunk, 1, deadline);
    if (got != 1) break;
    response += chunk[0];
    const ssize_t more = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (more > 0) response.append(chunk, static_cast<size_t>(more));
  }
  return response;
}

// SIGTERM with the HTTP interface: /health says "draining" while both ports still answer; a
// kept-alive connection gets its next answer with "Connection: close" and is closed after it;
// then the server ends.
TEST_F(SearchServerProgramTest, SigtermDrainsBeforeTheListenersClose) {
  const uint16_t httpPort = FreeLoopbackPort();
  WriteConfig(Config("<HttpPort>" + std::to_string(httpPort) +
                     "</HttpPort>\n<DrainSeconds>2</DrainSeconds>\n"));
  Start();
  ASSERT_TRUE(WaitForOutput("HTTP port " + std::to_string(httpPort))) << Output();
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket kept;
  int error = 0;
  ASSERT_TRUE(ConnectTcp(loopback, httpPort, DeadlineAfter(5), &kept, &error));
  const std::string search =
      "GET /search?text=%E4%B8%AD%E5%9B%BD HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  ASSERT_EQ(SendFully(kept.fd(), search.data(), static_cast<int>(search.size()), 0),
            static_cast<int>(search.size()));
  std::string response = ReadHttpResponse(kept.fd());
  EXPECT_NE(response.find("\"total\":1"), std::string::npos) << response;
  EXPECT_EQ(response.find("Connection: close"), std::string::npos) << response;

  const auto signalled = std::chrono::steady_clock::now();
  ::kill(m_child, SIGTERM);
  ASSERT_TRUE(WaitForOutput("Draining for 2 seconds")) << Output();
  const std::string health = HttpGet(httpPort, "/health");
  EXPECT_EQ(health.rfind("HTTP/1.1 503", 0), 0u) << health;
  EXPECT_NE(health.find("{\"status\":\"draining\"}"), std::string::npos) << health;
  EXPECT_NE(HttpGet(httpPort, "/search?text=%E4%B8%AD%E5%9B%BD").find("\"total\":1"),
            std::string::npos);
  // The binary port answers too.
  CSocket binary;
  ASSERT_TRUE(ConnectTcp(loopback, m_port, DeadlineAfter(5), &binary, &error));
  std::string request;
  PutI32(&request, 12);
  PutI32(&request, 0);
  PutI32(&request, 10);
  PutI32(&request, 0);
  ASSERT_EQ(SendFully(binary.fd(), request.data(), 16, 0), 16);
  int32_t length = 0;
  EXPECT_EQ(RecvFully(binary.fd(), reinterpret_cast<char*>(&length), 4, DeadlineAfter(5)), 4);
  EXPECT_EQ(length, 20);
  // The kept-alive connection: answered, told to close, closed.
  ASSERT_EQ(SendFully(kept.fd(), search.data(), static_cast<int>(search.size()), 0),
            static_cast<int>(search.size()));
  response = ReadHttpResponse(kept.fd());
  EXPECT_NE(response.find("\"total\":1"), std::string::npos) << response;
  EXPECT_NE(response.find("Connection: close"), std::string::npos) << response;
  char byte;
  EXPECT_EQ(RecvFully(kept.fd(), &byte, 1, DeadlineAfter(5)), -1);

  EXPECT_EQ(Wait(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(1900));
  EXPECT_NE(Output().find("Server is down\n"), std::string::npos) << Output();
  CSocket late;
  EXPECT_FALSE(ConnectTcp(loopback, httpPort, DeadlineAfter(1), &late, &error));
}

// The program as a broker over one shard (the data server of the fixture): it loads no data
// set, answers both ports as the shard does, and will not start while a shard is down.
TEST_F(SearchServerProgramTest, ABrokerAnswersBothPortsThroughItsShards) {
  WriteConfig(Config("<DrainSeconds>0</DrainSeconds>\n"));
  Start();
  ASSERT_TRUE(WaitForOutput(" on Server ")) << Output();
  const std::string folder = Path("broker");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  const uint16_t brokerPort = FreeLoopbackPort();
  const uint16_t httpPort = FreeLoopbackPort();
  auto startBroker = [&](uint16_t shardPort) {
    std::ofstream(folder + "/SearchServer.xml", std::ios::binary)
        << "<ServerIP>127.0.0.1</ServerIP>\n<Port>" << brokerPort
        << "</Port>\n<BindAddress>127.0.0.1</BindAddress>\n<FieldInfo>" << Path("set.schema")
        << "</FieldInfo>\n<Shards>127.0.0.1:" << shardPort
        << "</Shards>\n<ShardTimeout>1</ShardTimeout>\n<HttpPort>" << httpPort
        << "</HttpPort>\n<DrainSeconds>0</DrainSeconds>\n";
    const pid_t child = ::fork();
    if (child == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(126);
      int out = ::open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, STDOUT_FILENO);
      ::execl(SEARCH_SERVER_PATH, SEARCH_SERVER_PATH, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    return child;
  };
  auto waitFor = [](pid_t child) {
    for (int i = 0; i < 1000; ++i) {
      int status = 0;
      if (::waitpid(child, &status, WNOHANG) == child)
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return -1;
  };
  // A shard that does not answer stops the start.
  EXPECT_EQ(waitFor(startBroker(FreeLoopbackPort())), 1);
  EXPECT_NE(ReadFileBytes(folder + "/out.txt").find(" does not answer"), std::string::npos)
      << ReadFileBytes(folder + "/out.txt");

  const pid_t broker = startBroker(m_port);
  for (int i = 0;
       i < 500 && ReadFileBytes(folder + "/out.txt").find("HTTP port") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string output = ReadFileBytes(folder + "/out.txt");
  EXPECT_NE(output.find("Broker over 1 shards: 127.0.0.1:" + std::to_string(m_port)),
            std::string::npos)
      << output;
  const std::string query = "[FIELD] title [AND] 中国";
  auto binary = [&](uint16_t port) {
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    CSocket socket;
    int error = 0;
    if (!ConnectTcp(loopback, port, DeadlineAfter(5), &socket, &error)) return std::string();
    std::string request;
    PutI32(&request, 12 + static_cast<int32_t>(query.size()));
    PutI32(&request, 0);
    PutI32(&request, 10);
    PutI32(&request, static_cast<int32_t>(query.size()));
    request += query;
    SendFully(socket.fd(), request.data(), static_cast<int>(request.size()), 0);
    std::string response;
    char chunk[4096];
    ssize_t got;
    while ((got = ::recv(socket.fd(), chunk, sizeof chunk, 0)) > 0) {
      response.append(chunk, static_cast<size_t>(got));
    }
    return response;
  };
  const std::string direct = binary(m_port);
  EXPECT_GT(direct.size(), 24u);
  EXPECT_EQ(binary(brokerPort), direct);
  const std::string answer = HttpGet(httpPort, "/search?text=%E4%B8%AD%E5%9B%BD");
  EXPECT_NE(answer.find("{\"total\":1,\"start\":0,\"returned\":1,\"fields\":[\"title\"],"),
            std::string::npos)
      << answer;
  EXPECT_NE(HttpGet(httpPort, "/health").find("{\"status\":\"serving\",\"shards\":1}"),
            std::string::npos);
  ::kill(broker, SIGTERM);
  EXPECT_EQ(waitFor(broker), 0);
  ::kill(m_child, SIGTERM);
  EXPECT_EQ(Wait(), 0);
  // The broker holds the schema alone: neither its start nor its queries open a store's files.
  char today[16];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(today, sizeof today, "%Y%m%d.log", &local);
  const std::string brokerLog = ReadFileBytes(folder + "/" + today);
  EXPECT_NE(brokerLog.find("Received query string"), std::string::npos) << brokerLog;
  EXPECT_EQ(brokerLog.find("Standard.dataline"), std::string::npos) << brokerLog;
}

// A second signal during a long drain ends the server at once.
TEST_F(SearchServerProgramTest, ASecondSignalEndsTheDrain) {
  const uint16_t httpPort = FreeLoopbackPort();
  WriteConfig(Config("<HttpPort>" + std::to_string(httpPort) +
                     "</HttpPort>\n<DrainSeconds>60</DrainSeconds>\n"));
  Start();
  ASSERT_TRUE(WaitForOutput("HTTP port " + std::to_string(httpPort))) << Output();
  ::kill(m_child, SIGTERM);
  ASSERT_TRUE(WaitForOutput("Draining for 60 seconds")) << Output();
  EXPECT_NE(HttpGet(httpPort, "/health").find("{\"status\":\"draining\"}"), std::string::npos);
  const auto signalled = std::chrono::steady_clock::now();
  ::kill(m_child, SIGINT);
  EXPECT_EQ(Wait(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(5));
  EXPECT_NE(Output().find("Server is down\n"), std::string::npos) << Output();
}

// The manifest of the fixture's data set as mode 4 would write it, generation `generation`.
std::string ManifestFor(const std::function<std::string(const std::string&)>& path,
                        int64_t generation) {
  CManifest manifest;
  manifest.generation = generation;
  manifest.recordCount = 2;
  std::string reason;
  IdentifyFile(path("set.trie"), &manifest.trie, &reason);
  IdentifyFile(path("set.words"), &manifest.wordList, &reason);
  IdentifyFile(path("set.schema"), &manifest.schema, &reason);
  manifest.schemaPath = path("set.schema");
  IdentifyFile(path("set.dataline"), &manifest.dataLine, &reason);
  for (int k = 0; ::access(path("set.index_" + std::to_string(k)).c_str(), R_OK) == 0; ++k) {
    manifest.indexes.emplace_back();
    IdentifyFile(path("set.index_" + std::to_string(k)), &manifest.indexes.back(), &reason);
  }
  return manifest.Format();
}

// A SIGHUP that comes while the data set loads is kept and served as a reload once the
// server runs, instead of ending it. The load is held at the manifest, a FIFO that the test
// writes only after the signal was sent.
TEST_F(SearchServerProgramTest, ASighupDuringTheLoadIsServedAfterIt) {
  const auto path = [this](const std::string& name) { return Path(name); };
  const std::string manifest = ManifestFor(path, 1);
  ASSERT_EQ(::mkfifo(Path("set.manifest").c_str(), 0644), 0);
  ASSERT_EQ(::link(Path("set.manifest").c_str(), Path("manifest.fifo").c_str()), 0);
  const uint16_t httpPort = FreeLoopbackPort();
  WriteConfig(Config("<HttpPort>" + std::to_string(httpPort) + "</HttpPort>\n"));
  Start();
  // /health answers 503 while the load waits for the manifest.
  bool loading = false;
  for (int i = 0; i < 500 && !loading; ++i) {
    loading = HttpGet(httpPort, "/health").find("\"loading\"") != std::string::npos;
    if (!loading) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(loading) << Output();
  ASSERT_EQ(::kill(m_child, SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // Feeds every open of the FIFO one manifest; after the first the FIFO is replaced by a
  // regular manifest, so only opens already under way still reach it.
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    bool replaced = false;
    while (!stop) {
      const int fd = ::open(Path("manifest.fifo").c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        continue;
      }
      EXPECT_EQ(::write(fd, manifest.data(), manifest.size()),
                static_cast<ssize_t>(manifest.size()));
      ::close(fd);
      if (!replaced) {
        std::ofstream(Path("manifest.tmp"), std::ios::binary) << manifest;
        ::rename(Path("manifest.tmp").c_str(), Path("set.manifest").c_str());
        replaced = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  const bool reloaded = WaitForOutput("Reloaded data set set: generation 1, 2 records in ");
  stop = true;
  writer.join();
  ASSERT_TRUE(reloaded) << Output();
  EXPECT_NE(HttpGet(httpPort, "/health").find("\"serving\""), std::string::npos);
  ::kill(m_child, SIGTERM);
  EXPECT_EQ(Wait(), 0);
}

// A data set with an index that cannot be loaded is never served: the start fails as a load
// failure, a reload keeps the set being served, and mode 5 refuses it.
TEST_F(SearchServerProgramTest, ADamagedIndexIsRefusedAtStartAndAtReload) {
  const std::string index = ReadFileBytes(Path("set.index_1"));
  ASSERT_GT(index.size(), 8u);
  WriteConfig(Config());
  Start();
  ASSERT_TRUE(WaitForOutput(" on Server ")) << Output();
  std::ofstream(Path("set.index_1"), std::ios::binary | std::ios::trunc)
      << index.substr(0, index.size() - 4);
  ::kill(m_child, SIGHUP);
  ASSERT_TRUE(WaitForOutput("still serving the previous one")) << Output();
  ::kill(m_child, SIGTERM);
  EXPECT_EQ(Wait(), 0);

  Start();
  EXPECT_EQ(Wait(), 0);
  EXPECT_NE(Output().find("Load set failed!\n初始化失败！\n"), std::string::npos) << Output();
  EXPECT_EQ(Output().find(" on Server "), std::string::npos);
}
