// Tests of the asking side of one query over 127.0.0.1: a one-connection peer reads the
// request frame and answers with bytes each case chooses, and the exchange says what it got.
#include "net/query_exchange.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "core/util/byte_io.h"
#include "net/frame.h"

namespace {

std::string Ints(std::initializer_list<int32_t> values) {
  std::string bytes;
  for (int32_t value : values) PutI32(&bytes, value);
  return bytes;
}

class QueryExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    ListenStep step = ListenStep::kNoFailure;
    int error = 0;
    ASSERT_TRUE(OpenListener(loopback, 0, 1, &m_listener, &step, &error));
  }
  void TearDown() override {
    if (m_peer.joinable()) m_peer.join();
  }
  // Accepts one connection, keeps its request body in m_request, writes `answer`, closes.
  void AnswerWith(const std::string& answer) {
    m_peer = std::thread([this, answer] {
      CSocket connection(::accept(m_listener.fd(), nullptr, nullptr));
      ReceiveFrame(connection.fd(), 0, 1 << 20, DeadlineAfter(10), &m_request);
      SendFully(connection.fd(), answer.data(), static_cast<int>(answer.size()), DeadlineAfter(10));
    });
  }
  // Connects, asks `text` for hits 3..7 and receives.
  ExchangeStatus Ask(const char* text, CQueryExchange* exchange) {
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    int error = 0;
    const Deadline deadline = DeadlineAfter(10);
    EXPECT_TRUE(exchange->Connect(loopback, LocalPort(m_listener.fd()), deadline, &error));
    EXPECT_TRUE(exchange->Send(3, 5, text, deadline));
    return exchange->Receive(deadline);
  }

  CSocket m_listener;
  std::thread m_peer;
  std::string m_request;
};

TEST_F(QueryExchangeTest, TheRequestGoesAsOneFrameAndThePageComesBackUnpacked) {
  const std::string page = Ints({9, 3, 1, 2, 5}) + Ints({2, 3}) + "abcde";
  AnswerWith(MakeFrame(page));
  CQueryExchange exchange;
  ASSERT_EQ(Ask("query\0ignored", &exchange), ExchangeStatus::kOk);
  m_peer.join();
  EXPECT_EQ(m_request, Ints({3, 5, 5}) + "query");
  EXPECT_EQ(exchange.page().total, 9);
  EXPECT_EQ(exchange.page().returned, 1);
  EXPECT_EQ(exchange.page().text, "abcde");
}

TEST_F(QueryExchangeTest, FailedAnswersAreToldApart) {
  struct tCase {
    const char* name;
    std::string answer;
    ExchangeStatus expected;
  };
  const tCase cases[] = {
      {"closed without a byte", "", ExchangeStatus::kClosed},
      {"a length below a page header", Ints({kPageHeaderBytes - 1}) + std::string(19, '\0'),
       ExchangeStatus::kBadResponse},
      {"a body cut short", Ints({40}) + Ints({0, 0, 0, 0}), ExchangeStatus::kNoAnswer},
      {"counts that do not fit the length", MakeFrame(Ints({1, 0, 1, 1, 0})),
       ExchangeStatus::kBadResponse},
  };
  for (const tCase& c : cases) {
    SetUp();
    AnswerWith(c.answer);
    CQueryExchange exchange;
    EXPECT_EQ(Ask("q", &exchange), c.expected) << c.name;
    TearDown();
  }
}

}  // namespace
