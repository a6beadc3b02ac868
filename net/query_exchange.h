// CQueryExchange: one query asked of a search server over the binary protocol, from the
// asking side: connect, send the request frame, receive the result frame and unpack its page.
// The client library asks one server this way and the broker asks each shard; a caller that
// asks several servers at once sends every request before it receives any answer.
//
// Ownership: the socket and the unpacked page belong to the object; the page stays valid until
// the next Receive or the destruction. Thread safety: one object per exchange.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "core/query/result_page.h"
#include "net/input_output.h"
#include "net/socket_io.h"

// What Receive got.
enum class ExchangeStatus {
  kOk,
  kClosed,       // not a byte of the answer arrived: the peer closed or reset the connection,
                 // or the deadline came first
  kNoAnswer,     // the answer began but did not all arrive before the deadline
  kBadResponse,  // a frame length below a page header, or a body that is no page
};

class CQueryExchange {
 public:
  CQueryExchange();
  virtual ~CQueryExchange();
  CQueryExchange(const CQueryExchange&) = delete;
  CQueryExchange& operator=(const CQueryExchange&) = delete;

  // Connects to `address`:`port` before `deadline`; false with the errno value in *error.
  bool Connect(in_addr address, uint16_t port, Deadline deadline, int* error);

  // Sends the request (start, page count, `text` up to its first NUL) as one frame, the
  // length and the body in one gathered write. False when the text is too long for a frame
  // or the frame did not all go before `deadline`.
  bool Send(int32_t start, int32_t pageCount, const char* text, Deadline deadline);

  // Receives the result frame before `deadline`, closes the connection and unpacks the page
  // (page()). The body buffer grows only as its bytes arrive.
  ExchangeStatus Receive(Deadline deadline);

  const ResultPage& page() const { return m_io.page(); }
  int fd() const { return m_socket.fd(); }

 private:
  CSocket m_socket;
  CInputOutput m_io;
  std::string m_body;
};
