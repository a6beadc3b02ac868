// Soak test of the search server: 16 clients at once for a bounded time, each mixing valid
// queries (checked against the in-process engine) with hostile frames, slow senders, costly
// requests (a page of every hit, queries over the word bounds or of many unknown fields,
// forged log lines) and clients that leave in the middle of a request or of a response.
// Afterwards the server still answers, its resident memory is back within 10% of its level
// after the first round, and no descriptor is left open.
//
// The run lasts TRINDLE_SOAK_SECONDS seconds (10 by default; scripts/run_tests.sh sets 60).
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "core/query/query.h"
#include "core/text/word_list.h"
#include "core/util/byte_io.h"
#include "net/frame.h"
#include "net/input_output.h"
#include "net/socket_io.h"
#include "server/accept_loop.h"
#include "server/search_data.h"
#include "testing/net/wire_client.h"
#include "testing/records/served_set.h"
#include "testing/server/loopback_server.h"

#if defined(__SANITIZE_ADDRESS__)
// The allocator keeps freed blocks in quarantine to catch late uses; a small one keeps the
// resident size of a long run steady enough to compare rounds.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
#endif

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 16;
constexpr int kMaxRequestBytes = 1 << 16;
constexpr int kMaxPageCount = 50;
constexpr int kMaxQueryWords = 1000;

const std::vector<std::string> kWords = {"中国", "人民", "北京", "大学", "学生",
                                         "上海", "你好", "世界", "电脑", "软件"};

const char* const kQueries[] = {
    "[FIELD] title [AND] 中国",
    "[FIELD] body [AND] 人民北京 [FIELD] year [AND] 2003 2005",
    "[FIELD] * [AND] 软件 [FIELD] title [AND] 大学",
    "[FIELD] body [AND] 世界",
    "[FIELD] nosuch [AND] x",
    "",
};

int SoakSeconds() {
  const char* value = std::getenv("TRINDLE_SOAK_SECONDS");
  const int seconds = value != nullptr ? std::atoi(value) : 0;
  return seconds > 0 ? seconds : 10;
}

size_t OpenDescriptors() {
  size_t count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory's own descriptor
}

// Resident size with the memory the allocator holds free given back first, so that only
// memory in use is compared.
long ResidentKiB() {
  malloc_trim(0);
  std::FILE* file = std::fopen("/proc/self/status", "r");
  if (file == nullptr) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  }
  std::fclose(file);
  return kib;
}

// What the clients saw, by kind of client.
struct tTally {
  std::atomic<int> answered{0}, wrong{0}, hostile{0}, hostileAnswered{0}, slow{0}, leftRequest{0},
      leftResponse{0}, refusedConnects{0}, bounded{0};
  std::mutex lock;
  std::string firstWrong;  // guarded by lock
};

class ServerSoakTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fixture = std::make_unique<CServedSetFixture>(kWords);
    ASSERT_TRUE(m_fixture->ok());
    std::mt19937 random(20261209);
    // Short records and some long ones, so that large pages outgrow the socket buffers.
    for (int record = 0; record < 120; ++record) {
      const int bodyWords = record % 10 == 9 ? 6000 : 1 + static_cast<int>(random() % 12);
      const std::string title = RandomText(&random, kWords, 3);
      ASSERT_TRUE(
          m_fixture->AddRecord(title, RandomText(&random, kWords, bodyWords), 2000 + record % 7));
    }
    ASSERT_TRUE(m_fixture->SaveServedSet());
    m_data = LoadSearchData(m_fixture->ServedPaths());
    ASSERT_TRUE(m_data);
  }

  void TearDown() override { StopServer(); }

  std::string Path(const std::string& name) const { return m_fixture->Path(name); }

  void StartServer() {
    tAcceptOptions options;
    options.maxConnections = kClients;
    options.limits.receiveTimeout = 5;
    options.limits.maxRequestBytes = kMaxRequestBytes;
    options.limits.maxPageCount = kMaxPageCount;
    options.limits.maxQueryWords = kMaxQueryWords;
    options.currentData = [this] { return m_data; };
    ASSERT_TRUE(m_server.Start(std::move(options)));
  }

  void StopServer() { m_server.Stop(); }

  CSocket Connect() { return ConnectLoopback(m_server.port()); }

  std::string Expected(const std::string& query, int start, int pageCount) const {
    CQuery engine(m_data->schema(), m_data->store());
    engine.Execute(query.c_str());
    CInputOutput io;
    int32_t length = 0;
    const char* packed = io.PackResult(engine.GetPage(start, pageCount), &length);
    return MakeFrame(std::string(packed, static_cast<size_t>(length)));
  }

  void Wrong(tTally* tally, const std::string& what) {
    ++tally->wrong;
    std::lock_guard<std::mutex> hold(tally->lock);
    if (tally->firstWrong.empty()) tally->firstWrong = what;
  }

  // One client's visit: a kind chosen by `random`.
  void Visit(std::mt19937* random, tTally* tally) {
    const std::string query = kQueries[(*random)() % std::size(kQueries)];
    const int start = static_cast<int>((*random)() % 130) - 5;
    const int pageCount = static_cast<int>((*random)() % 40);
    const std::string request = MakeFrame(RequestBody(query, start, pageCount));
    CSocket socket = Connect();
    if (!socket.valid()) {
      ++tally->refusedConnects;
      return;
    }
    const int fd = socket.fd();
    switch ((*random)() % 7) {
      case 0:
      case 1: {  // a valid query, sent at once
        SendFully(fd, request.data(), static_cast<int>(request.size()), 0);
        ::shutdown(fd, SHUT_WR);
        if (ReadUntilClosed(fd, 20) == Expected(query, start, pageCount)) {
          ++tally->answered;
        } else {
          Wrong(tally, "answer to " + query);
        }
        break;
      }
      case 2: {  // a slow sender: a few bytes at a time
        for (size_t at = 0; at < request.size(); at += 7) {
          const int n = static_cast<int>(std::min<size_t>(7, request.size() - at));
          if (SendFully(fd, request.data() + at, n, 0) != n) break;
          std::this_thread::sleep_for(milliseconds(1 + (*random)() % 3));
        }
        if (ReadUntilClosed(fd, 20) == Expected(query, start, pageCount)) {
          ++tally->slow;
        } else {
          Wrong(tally, "answer to a slow sender of " + query);
        }
        break;
      }
      case 3: {  // a hostile frame: dropped, or at most answered with the empty query's page
        std::string bytes;
        switch ((*random)() % 5) {
          case 0:
            PutI32(&bytes, -1 - static_cast<int32_t>((*random)() % 1000));
            break;
          case 1:
            PutI32(&bytes, kMaxRequestBytes + 1 + static_cast<int32_t>((*random)() % 1000));
            break;
          case 2: {  // Q beyond the body, or negative
            const int32_t q = (*random)() % 2 ? -5 : static_cast<int32_t>(query.size()) + 9;
            std::string body;
            PutI32(&body, 0);
            PutI32(&body, 20);
            PutI32(&body, q);
            bytes = MakeFrame(body + query);
            break;
          }
          case 3:  // a frame shorter than its length, then the end of sending
            bytes = request.substr(0, 4 + (*random)() % (request.size() - 4));
            break;
          default:  // random bytes of a random length
            bytes.resize(1 + (*random)() % 64);
            for (char& c : bytes) c = static_cast<char>((*random)());
            break;
        }
        SendFully(fd, bytes.data(), static_cast<int>(bytes.size()), 0);
        ::shutdown(fd, SHUT_WR);
        const std::string response = ReadUntilClosed(fd, 20);
        ++tally->hostile;
        if (!response.empty()) ++tally->hostileAnswered;
        // A response, if any, is one whole frame.
        if (!response.empty()) {
          int32_t length = -1;
          if (response.size() >= 4) std::memcpy(&length, response.data(), 4);
          if (response.size() < 4 || static_cast<size_t>(length) + 4 != response.size()) {
            Wrong(tally, "a partial frame to a hostile client");
          }
        }
        break;
      }
      case 4: {  // leaves in the middle of its request
        const size_t part = 1 + (*random)() % (request.size() - 1);
        SendFully(fd, request.data(), static_cast<int>(part), 0);
        ++tally->leftRequest;
        break;
      }
      case 5: {  // a costly request: the whole hit list, or a query over the word bounds
        std::string costly;
        std::string expected;  // empty: closed without an answer
        int32_t costlyPageCount = 20;
        switch ((*random)() % 5) {
          case 0:  // every hit in one page: the first kMaxPageCount
            costly = "[FIELD] body [AND] 中国";
            costlyPageCount = INT_MAX;
            expected = Expected(costly, 0, kMaxPageCount);
            break;
          case 1:  // one value of 15,000 words
            costly = "[FIELD] * [AND] ";
            for (int i = 0; i < 15000; ++i) costly += "中国";
            break;
          case 2:  // 1,001 distinct values
            costly = "[FIELD] title [AND]";
            for (int i = 0; i <= kMaxQueryWords; ++i) costly += " v" + std::to_string(i);
            break;
          case 3:  // 1,001 selectors naming distinct unknown fields
            for (int i = 0; i <= kMaxQueryWords; ++i) {
              costly += "[FIELD] u" + std::to_string(i) + " [AND] x ";
            }
            break;
          default:  // a line feed and a long tail: answered, logged on one line
            costly =
                "[FIELD] title [AND] 中国\n[2026-01-01 00:00:00] forged " + std::string(3000, 'x');
            expected = Expected(costly, 0, 20);
            break;
        }
        const std::string bytes = MakeFrame(RequestBody(costly, 0, costlyPageCount));
        SendFully(fd, bytes.data(), static_cast<int>(bytes.size()), 0);
        ::shutdown(fd, SHUT_WR);
        if (ReadUntilClosed(fd, 20) == expected) {
          ++tally->bounded;
        } else {
          Wrong(tally, "answer to a costly request of " + std::to_string(costly.size()) + " bytes");
        }
        break;
      }
      default: {  // asks for a large page and leaves after its first bytes, sometimes with a reset
        const std::string big = MakeFrame(RequestBody("[FIELD] body [AND] 中国", 0, 100));
        SendFully(fd, big.data(), static_cast<int>(big.size()), 0);
        char buffer[512];
        RecvFully(fd, buffer, static_cast<int>(sizeof buffer), DeadlineAfter(10));
        if ((*random)() % 2) {
          linger reset{1, 0};
          ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        ++tally->leftResponse;
        break;
      }
    }
  }

  // 16 client threads, kept for both rounds (so that the second round starts no thread and
  // no allocator arena the first did not), visiting until each round's end. `between` runs
  // once every client has finished the first round.
  void Rounds(int firstSeconds, int restSeconds, tTally* first, tTally* rest,
              const std::function<void()>& between) {
    std::mutex lock;
    std::condition_variable changed;
    int finished = 0;
    bool secondRound = false;
    Clock::time_point end = Clock::now() + std::chrono::seconds(firstSeconds);
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
      clients.emplace_back([&, client] {
        std::mt19937 random(131 + static_cast<uint32_t>(client));
        std::unique_lock<std::mutex> hold(lock);
        Clock::time_point until = end;
        hold.unlock();
        while (Clock::now() < until) Visit(&random, first);
        hold.lock();
        ++finished;
        changed.notify_all();
        changed.wait(hold, [&] { return secondRound; });
        until = end;
        hold.unlock();
        while (Clock::now() < until) Visit(&random, rest);
      });
    }
    {
      std::unique_lock<std::mutex> hold(lock);
      changed.wait(hold, [&] { return finished == kClients; });
    }
    between();
    {
      std::lock_guard<std::mutex> hold(lock);
      end = Clock::now() + std::chrono::seconds(restSeconds);
      secondRound = true;
    }
    changed.notify_all();
    for (std::thread& client : clients) client.join();
  }

  bool WaitForIdle() {
    const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
      if (m_server.loop().ActiveConnections() == 0) return true;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }

  std::unique_ptr<CServedSetFixture> m_fixture;
  std::shared_ptr<const CSearchData> m_data;
  CLoopbackServer m_server;
};

TEST_F(ServerSoakTest, ManyMixedClientsLeaveTheServerAsItWas) {
  const int seconds = SoakSeconds();
  StartServer();
  const std::string probe = kQueries[1];
  auto answers = [&] {
    CSocket socket = Connect();
    const std::string request = MakeFrame(RequestBody(probe, 2, 10));
    SendFully(socket.fd(), request.data(), static_cast<int>(request.size()), 0);
    ::shutdown(socket.fd(), SHUT_WR);
    return ReadUntilClosed(socket.fd(), 20) == Expected(probe, 2, 10);
  };

  tTally first, rest;
  long residentAfterFirst = 0;
  size_t descriptorsAfterFirst = 0;
  const int firstSeconds = std::max(3, seconds / 2);
  Rounds(firstSeconds, seconds - firstSeconds, &first, &rest, [&] {
    ASSERT_TRUE(WaitForIdle());
    residentAfterFirst = ResidentKiB();
    descriptorsAfterFirst = OpenDescriptors();
  });
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(answers());
  ASSERT_TRUE(WaitForIdle());
  const long residentAtEnd = ResidentKiB();

  for (const tTally* tally : {&first, &rest}) {
    EXPECT_EQ(tally->wrong.load(), 0) << tally->firstWrong;
    EXPECT_EQ(tally->refusedConnects.load(), 0);
  }
  // Every kind of client came by.
  EXPECT_GT(rest.answered.load(), 0);
  EXPECT_GT(rest.slow.load(), 0);
  EXPECT_GT(rest.hostile.load(), rest.hostileAnswered.load());
  EXPECT_GT(rest.leftRequest.load(), 0);
  EXPECT_GT(rest.leftResponse.load(), 0);
  EXPECT_GT(rest.bounded.load(), 0);
  EXPECT_EQ(OpenDescriptors(), descriptorsAfterFirst);
#if !defined(__SANITIZE_THREAD__)
  // (ThreadSanitizer's own bookkeeping grows with every new thread and address it sees.)
  EXPECT_LE(residentAtEnd, residentAfterFirst + residentAfterFirst / 10)
      << "resident KiB after the first round " << residentAfterFirst << ", at the end "
      << residentAtEnd;
#endif
  std::printf(
      "soak: %d s, %d answered, %d slow, %d hostile, %d left mid-request, %d left "
      "mid-response, %d costly; resident %ld KiB -> %ld KiB\n",
      seconds, first.answered + rest.answered, first.slow + rest.slow, first.hostile + rest.hostile,
      first.leftRequest + rest.leftRequest, first.leftResponse + rest.leftResponse,
      first.bounded + rest.bounded, residentAfterFirst, residentAtEnd);
}

}  // namespace
