#include "testing/net/wire_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "core/util/byte_io.h"

std::string RequestBody(const std::string& query, int32_t start, int32_t pageCount) {
  std::string body;
  PutI32(&body, start);
  PutI32(&body, pageCount);
  PutI32(&body, static_cast<int32_t>(query.size()));
  return body + query;
}

CSocket ConnectLoopback(uint16_t port, int seconds) {
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket socket;
  int error = 0;
  if (!ConnectTcp(loopback, port, DeadlineAfter(seconds), &socket, &error)) return CSocket();
  return socket;
}

uint16_t FreeLoopbackPort() {
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  CSocket socket;
  ListenStep step;
  int error = 0;
  if (!OpenListener(loopback, 0, 1, &socket, &step, &error)) return 0;
  return LocalPort(socket.fd());
}

std::string ReadUntilClosed(int fd, int seconds) {
  std::string received;
  const Deadline deadline = DeadlineAfter(seconds);
  char buffer[65536];
  for (;;) {
    if (RecvFully(fd, buffer, 1, deadline) != 1) break;
    received += buffer[0];
    const ssize_t more = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (more > 0) received.append(buffer, static_cast<size_t>(more));
  }
  return received;
}

CHttpTestClient::CHttpTestClient(uint16_t port) : m_socket(ConnectLoopback(port, 5)) {
  if (m_socket.valid()) SetNoDelay(m_socket.fd());
}

CHttpTestClient::~CHttpTestClient() = default;

bool CHttpTestClient::Send(const std::string& bytes) {
  return SendFully(m_socket.fd(), bytes.data(), static_cast<int>(bytes.size()), DeadlineAfter(5)) ==
         static_cast<int>(bytes.size());
}

tHttpReply CHttpTestClient::Get(const std::string& target, const std::string& method) {
  Send(method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  return Read(method == "HEAD");
}

tHttpReply CHttpTestClient::Read(bool noBody, int seconds) {
  const Deadline deadline = DeadlineAfter(seconds);
  tHttpReply response;
  size_t end;
  while ((end = m_buffer.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill(deadline)) return response;
  }
  response.headers = m_buffer.substr(0, end);
  m_buffer.erase(0, end + 4);
  response.status = std::atoi(response.headers.c_str() + 9);
  size_t length = 0;
  const size_t at = response.headers.find("Content-Length: ");
  if (at != std::string::npos && !noBody) {
    length = std::strtoul(&response.headers[at + 16], nullptr, 10);
  }
  while (m_buffer.size() < length) {
    if (!Fill(deadline)) break;
  }
  response.body = m_buffer.substr(0, length);
  m_buffer.erase(0, std::min(length, m_buffer.size()));
  return response;
}

void CHttpTestClient::Finish() { ::shutdown(m_socket.fd(), SHUT_WR); }

bool CHttpTestClient::Closed(int seconds) {
  const Deadline until = DeadlineAfter(seconds);
  char chunk[4096];
  while (std::chrono::steady_clock::now() < until) {
    pollfd watched{m_socket.fd(), POLLIN, 0};
    if (::poll(&watched, 1, 50) <= 0) continue;
    const ssize_t got = ::recv(m_socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
  }
  return false;
}

bool CHttpTestClient::Fill(Deadline deadline) {
  char chunk[65536];
  if (RecvFully(m_socket.fd(), chunk, 1, deadline) != 1) return false;
  m_buffer += chunk[0];
  const ssize_t more = ::recv(m_socket.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
  if (more > 0) m_buffer.append(chunk, static_cast<size_t>(more));
  return true;
}
