// Tests of the frame over a socket pair: round trips of every size class, the length bounds,
// and the counts a failed receive reports (the server writes them to its log).
#include "net/frame.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/util/byte_io.h"

namespace {

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    m_sender = CSocket(fds[0]);
    m_receiver = CSocket(fds[1]);
  }
  // Writes raw bytes from another thread (they may exceed the socket buffer), then closes
  // the sending side.
  void SendRawAndClose(const std::string& bytes) {
    m_writer = std::thread([this, bytes] {
      SendFully(m_sender.fd(), bytes.data(), static_cast<int>(bytes.size()), DeadlineAfter(10));
      m_sender.Close();
    });
  }
  void TearDown() override {
    if (m_writer.joinable()) m_writer.join();
  }
  tFrameReceipt Receive(int32_t minLength, int32_t maxLength, std::string* body) {
    return ReceiveFrame(m_receiver.fd(), minLength, maxLength, DeadlineAfter(10), body);
  }

  CSocket m_sender, m_receiver;
  std::thread m_writer;
};

TEST_F(FrameTest, BodiesOfEverySizeArriveWhole) {
  for (const size_t size : {size_t{0}, size_t{1}, size_t{4096}, (size_t{3} << 20) + 17}) {
    SetUp();
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 7 + size);
    std::thread writer([&] {
      EXPECT_EQ(
          SendFrame(m_sender.fd(), body.data(), static_cast<int32_t>(size), DeadlineAfter(10)),
          static_cast<int>(size) + 4);
    });
    std::string received = "stale";
    const tFrameReceipt receipt = Receive(0, INT32_MAX, &received);
    writer.join();
    EXPECT_EQ(receipt.status, FrameStatus::kOk) << size;
    EXPECT_EQ(receipt.length, static_cast<int32_t>(size));
    EXPECT_TRUE(received == body) << size;
  }
}

TEST_F(FrameTest, MakeFrameIsTheLengthThenTheBody) {
  std::string expected;
  PutI32(&expected, 3);
  EXPECT_EQ(MakeFrame("abc"), expected + "abc");
}

// The length is checked before any body byte is read or any memory taken for it.
TEST_F(FrameTest, LengthsOutsideTheBoundsAreRefusedUnread) {
  for (const int32_t length : {-1, 19, 4097, INT32_MAX}) {
    SetUp();
    std::string frame;
    PutI32(&frame, length);
    SendFully(m_sender.fd(), frame.data(), 4, DeadlineAfter(5));
    std::string body;
    const tFrameReceipt receipt = Receive(20, 4096, &body);
    EXPECT_EQ(receipt.status, FrameStatus::kBadLength) << length;
    EXPECT_EQ(receipt.length, length);
    EXPECT_TRUE(body.empty());
  }
}

// A failed receive reports the bytes of its part as one RecvFully over that part would:
// -(bytes moved) - 1.
TEST_F(FrameTest, CutFramesReportWhatArrived) {
  const struct {
    std::string bytes;
    FrameStatus status;
    int received;
  } cases[] = {
      {"", FrameStatus::kNoLength, -1},
      {std::string("\x05\x00", 2), FrameStatus::kNoLength, -3},
      {MakeFrame("0123456789").substr(0, 4), FrameStatus::kShortBody, -1},
      {MakeFrame("0123456789").substr(0, 9), FrameStatus::kShortBody, -6},
      // Past the first 1 MiB step of the body buffer, the count still covers the whole body.
      {MakeFrame(std::string((size_t{1} << 21), 'x')).substr(0, (size_t{1} << 20) + 104),
       FrameStatus::kShortBody, -((1 << 20) + 100) - 1},
  };
  for (const auto& c : cases) {
    SetUp();
    SendRawAndClose(c.bytes);
    std::string body;
    const tFrameReceipt receipt = Receive(0, INT32_MAX, &body);
    TearDown();
    EXPECT_EQ(receipt.status, c.status) << c.bytes.size();
    EXPECT_EQ(receipt.received, c.received) << c.bytes.size();
  }
}

TEST_F(FrameTest, ASilentPeerEndsAtTheDeadline) {
  SendFully(m_sender.fd(), "\x10\x00\x00\x00", 4, DeadlineAfter(5));  // a body that never comes
  const auto started = std::chrono::steady_clock::now();
  std::string body;
  const tFrameReceipt receipt = ReceiveFrame(m_receiver.fd(), 0, 100, DeadlineAfter(1), &body);
  EXPECT_EQ(receipt.status, FrameStatus::kShortBody);
  EXPECT_EQ(receipt.received, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
