#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/socket_io.h"

namespace {

// Milliseconds left until `deadline` for poll(2): -1 for no deadline, 0 once it has passed.
int MillisecondsLeft(Deadline deadline) {
  if (deadline == Deadline::max()) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > 3600 * 1000 ? 3600 * 1000 : static_cast<int>(left.count());
}

// Waits until `fd` is ready for `events` or the deadline passes; false on time-out.
bool WaitReady(int fd, short events, Deadline deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    int timeout = MillisecondsLeft(deadline);
    int ready = ::poll(&entry, 1, timeout);
    if (ready > 0) return true;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

int Failed(int moved) { return -moved - 1; }

// The loop shared by both directions: `transfer` moves at most `left` bytes at `offset`.
// With a deadline the socket is tried first and waited for only when it is not ready, so a
// transfer that can go at once costs one call.
template <typename Transfer>
int TransferFully(int fd, int n, short events, Deadline deadline, Transfer transfer) {
  if (n <= 0) return n == 0 ? 0 : -1;
  int moved = 0;
  while (moved < n) {
    ssize_t result = transfer(moved, static_cast<size_t>(n - moved));
    if (result < 0 && errno == EINTR) continue;
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && deadline != Deadline::max()) {
      if (!WaitReady(fd, events, deadline)) return Failed(moved);
      continue;
    }
    if (result <= 0) return Failed(moved);
    moved += static_cast<int>(result);
  }
  return moved;
}

}  // namespace

void CSocket::Close() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

Deadline DeadlineAfter(int seconds) {
  if (seconds <= 0) return Deadline::max();
  return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

int StartSockets() { return 0; }

int RecvFully(int fd, char* buffer, int n, int flags) {
  return TransferFully(fd, n, POLLIN, Deadline::max(), [&](int offset, size_t left) {
    return ::recv(fd, buffer + offset, left, flags);
  });
}

int RecvFully(int fd, char* buffer, int n, Deadline deadline) {
  return TransferFully(fd, n, POLLIN, deadline, [&](int offset, size_t left) {
    return ::recv(fd, buffer + offset, left, deadline == Deadline::max() ? 0 : MSG_DONTWAIT);
  });
}

int SendFully(int fd, const char* buffer, int n, int flags) {
  return TransferFully(fd, n, POLLOUT, Deadline::max(), [&](int offset, size_t left) {
    return ::send(fd, buffer + offset, left, flags | MSG_NOSIGNAL);
  });
}

int SendFully(int fd, const char* buffer, int n, Deadline deadline, int flags) {
  return TransferFully(fd, n, POLLOUT, deadline, [&](int offset, size_t left) {
    return ::send(fd, buffer + offset, left,
                  flags | MSG_NOSIGNAL | (deadline == Deadline::max() ? 0 : MSG_DONTWAIT));
  });
}

int SendGathered(int fd, const char* head, int headSize, const char* body, int bodySize,
                 Deadline deadline) {
  if (headSize < 0 || bodySize < 0 || bodySize > INT_MAX - headSize) return -1;
  const int total = headSize + bodySize;
  int moved = 0;
  while (moved < total) {
    iovec parts[2];
    int count = 0;
    if (moved < headSize) {
      parts[count++] = {const_cast<char*>(head) + moved, static_cast<size_t>(headSize - moved)};
    }
    const int bodyDone = moved > headSize ? moved - headSize : 0;
    if (bodySize > bodyDone) {
      parts[count++] = {const_cast<char*>(body) + bodyDone,
                        static_cast<size_t>(bodySize - bodyDone)};
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    ssize_t result = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitReady(fd, POLLOUT, deadline)) return Failed(moved);
      continue;
    }
    if (result <= 0) return Failed(moved);
    moved += static_cast<int>(result);
  }
  return moved;
}

namespace {

// The resolver's failure as an errno-style code.
int ResolverError(int code) {
  if (code == EAI_SYSTEM && errno != 0) return errno;
  return code == EAI_AGAIN ? EAGAIN : EHOSTUNREACH;
}

bool ForwardLookup(const std::string& text, in_addr* address, std::string* canonicalName,
                   int* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = canonicalName != nullptr ? AI_CANONNAME : 0;
  addrinfo* found = nullptr;
  int code = ::getaddrinfo(text.c_str(), nullptr, &hints, &found);
  if (code != 0 || found == nullptr) {
    *error = ResolverError(code);
    return false;
  }
  *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  if (canonicalName != nullptr) {
    *canonicalName = found->ai_canonname != nullptr ? found->ai_canonname : text;
  }
  ::freeaddrinfo(found);
  return true;
}

}  // namespace

bool ResolveServerName(const std::string& text, tResolvedHost* host, int* error) {
  if (std::atoi(text.c_str()) != 0) {
    in_addr address{};
    if (::inet_aton(text.c_str(), &address) == 0) {
      *error = EINVAL;
      return false;
    }
    host->address = address;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = address;
    char name[NI_MAXHOST];
    int code = ::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, name,
                             sizeof name, nullptr, 0, NI_NAMEREQD);
    host->officialName = code == 0 ? std::string(name) : DottedAddress(address);
    return true;
  }
  return ForwardLookup(text, &host->address, &host->officialName, error);
}

bool ResolveAddress(const std::string& text, in_addr* address, int* error) {
  if (::inet_aton(text.c_str(), address) != 0) return true;
  return ForwardLookup(text, address, nullptr, error);
}

bool OpenListener(in_addr address, uint16_t port, int backlog, CSocket* listener, ListenStep* step,
                  int* error) {
  CSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) {
    *step = ListenStep::kSocket;
    *error = errno;
    return false;
  }
  int on = 1;
  ::setsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = address;
  local.sin_port = htons(port);
  if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    *step = ListenStep::kBind;
    *error = errno;
    return false;
  }
  if (::listen(socket.fd(), backlog) != 0) {
    *step = ListenStep::kListen;
    *error = errno;
    return false;
  }
  *step = ListenStep::kNoFailure;
  *listener = std::move(socket);
  return true;
}

uint16_t LocalPort(int fd) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

bool ConnectTcp(in_addr address, uint16_t port, Deadline deadline, CSocket* result, int* error) {
  CSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.valid()) {
    *error = errno;
    return false;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr = address;
  peer.sin_port = htons(port);
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    if (errno != EINPROGRESS) {
      *error = errno;
      return false;
    }
    if (!WaitReady(socket.fd(), POLLOUT, deadline)) {
      *error = errno;
      return false;
    }
    int status = 0;
    socklen_t size = sizeof status;
    ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &status, &size);
    if (status != 0) {
      *error = status;
      return false;
    }
  }
  // Back to blocking: transfers with a deadline poll before each call themselves.
  int flags = ::fcntl(socket.fd(), F_GETFL);
  ::fcntl(socket.fd(), F_SETFL, flags & ~O_NONBLOCK);
  SetNoDelay(socket.fd());
  *result = std::move(socket);
  return true;
}

void SetNoDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::string DottedAddress(in_addr address) {
  char text[INET_ADDRSTRLEN];
  if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return std::string();
  return text;
}
