#include "net/query_exchange.h"

#include <limits>

#include "net/frame.h"

CQueryExchange::CQueryExchange() = default;

CQueryExchange::~CQueryExchange() = default;

bool CQueryExchange::Connect(in_addr address, uint16_t port, Deadline deadline, int* error) {
  return ConnectTcp(address, port, deadline, &m_socket, error);
}

bool CQueryExchange::Send(int32_t start, int32_t pageCount, const char* text, Deadline deadline) {
  int32_t length = 0;
  const char* body = m_io.PackRequest(start, pageCount, text, &length);
  return body != nullptr &&
         SendFrame(m_socket.fd(), body, length, deadline) == length + kFrameLengthBytes;
}

ExchangeStatus CQueryExchange::Receive(Deadline deadline) {
  const tFrameReceipt receipt = ReceiveFrame(
      m_socket.fd(), kPageHeaderBytes, std::numeric_limits<int32_t>::max(), deadline, &m_body);
  if (receipt.status == FrameStatus::kBadLength) return ExchangeStatus::kBadResponse;
  if (receipt.status != FrameStatus::kOk) {
    return receipt.status == FrameStatus::kNoLength && receipt.received == -1
               ? ExchangeStatus::kClosed
               : ExchangeStatus::kNoAnswer;
  }
  m_socket.Close();
  return m_io.UnpackResult(m_body.data(), receipt.length) != nullptr ? ExchangeStatus::kOk
                                                                     : ExchangeStatus::kBadResponse;
}
