#include "net/frame.h"

#include <algorithm>
#include <cstddef>

#include "core/util/byte_io.h"

namespace {

// The largest step by which the body buffer grows ahead of what has arrived.
constexpr size_t kReceiveStep = size_t{1} << 20;

}  // namespace

std::string MakeFrame(const std::string& body) {
  std::string frame;
  frame.reserve(kFrameLengthBytes + body.size());
  PutI32(&frame, static_cast<int32_t>(body.size()));
  return frame + body;
}

int SendFrame(int fd, const char* body, int32_t n, Deadline deadline) {
  if (n < 0) return -1;
  std::string length;
  PutI32(&length, n);
  return SendGathered(fd, length.data(), kFrameLengthBytes, body, n, deadline);
}

tFrameReceipt ReceiveFrame(int fd, int32_t minLength, int32_t maxLength, Deadline deadline,
                           std::string* body) {
  tFrameReceipt receipt;
  body->clear();
  char header[kFrameLengthBytes];
  receipt.received = RecvFully(fd, header, kFrameLengthBytes, deadline);
  if (receipt.received != kFrameLengthBytes) return receipt;
  CByteReader reader(header, sizeof header);
  reader.ReadI32(&receipt.length);
  if (receipt.length < minLength || receipt.length > maxLength) {
    receipt.status = FrameStatus::kBadLength;
    return receipt;
  }
  const auto total = static_cast<size_t>(receipt.length);
  size_t received = 0;
  while (received < total) {
    const size_t step = std::min(total - received, std::max(received, kReceiveStep));
    body->resize(received + step);
    const int got = RecvFully(fd, &(*body)[received], static_cast<int>(step), deadline);
    if (got != static_cast<int>(step)) {
      // As one transfer of the whole body would have reported it.
      receipt.status = FrameStatus::kShortBody;
      receipt.received = -static_cast<int>(received) + got;
      return receipt;
    }
    received += step;
  }
  receipt.status = FrameStatus::kOk;
  receipt.received = receipt.length;
  return receipt;
}
