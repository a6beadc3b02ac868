// The client side of the server tests and load generators over 127.0.0.1: request bodies of
// the wire protocol, connecting, reading until the peer closes, and a keep-alive HTTP/1.1
// client. Frames themselves are net/frame.h. Every wait is bounded by a deadline.
#pragma once

#include <cstdint>
#include <string>

#include "core/util/string_format.h"  // PercentEncode
#include "net/socket_io.h"

// The request body of `query` (GBK) with its window: start, page count, query length, query.
std::string RequestBody(const std::string& query, int32_t start, int32_t pageCount);

// A connection to 127.0.0.1:`port` made within `seconds`; an invalid socket when it fails.
CSocket ConnectLoopback(uint16_t port, int seconds = 10);

// A port of 127.0.0.1 that was free a moment ago (its listener closed again); 0 when none
// could be opened. For a server program started with it; in-process servers listen on port 0.
uint16_t FreeLoopbackPort();

// Everything the peer sends until it closes the connection or `seconds` pass.
std::string ReadUntilClosed(int fd, int seconds = 10);

// A response as the test client read it.
struct tHttpReply {
  int status = 0;  // 0: the connection closed (or the time ran out) before a response
  std::string headers;
  std::string body;
};

// A keep-alive HTTP/1.1 client over one connection to 127.0.0.1. Responses are read by their
// Content-Length. Not thread-safe.
class CHttpTestClient {
 public:
  explicit CHttpTestClient(uint16_t port);
  virtual ~CHttpTestClient();
  CHttpTestClient(const CHttpTestClient&) = delete;
  CHttpTestClient& operator=(const CHttpTestClient&) = delete;

  bool valid() const { return m_socket.valid(); }
  bool Send(const std::string& bytes);
  // Sends a request for `target` and reads its response (HEAD: headers only).
  tHttpReply Get(const std::string& target, const std::string& method = "GET");
  // Reads one response within `seconds`; status 0 when the server closes first.
  tHttpReply Read(bool noBody = false, int seconds = 10);
  // Closes the sending side: the server sees the end of the request bytes.
  void Finish();
  // True when the server closed the connection within `seconds`.
  bool Closed(int seconds);
  void Close() { m_socket.Close(); }

 private:
  bool Fill(Deadline deadline);

  CSocket m_socket;
  std::string m_buffer;
};
