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
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/text/byte_io.h"
#include "core/text/word_list.h"
#include "server/net/socket_io.h"
#include "testing/records/query_fixture.h"

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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A free port on 127.0.0.1 (bound and released; the kernel does not hand it out again at once).
uint16_t FreePort() {
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket socket;
  ListenStep step;
  int error = 0;
  if (!OpenListener(loopback, 0, 1, &socket, &step, &error)) return 0;
  return LocalPort(socket.fd());
}

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
    m_port = FreePort();
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
  std::string Output() { return ReadFile(Path("out.txt")); }
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

}  // namespace
