// Sockets for the search server and the client library: an owning socket handle, the
// whole-buffer transfers of the wire protocol, name resolution, listening and connecting.
// Everything here is POSIX (IPv4, stream sockets); a port to another system replaces
// socket_io_posix.cc and keeps this header.
//
// Transfer results follow one rule: RecvFully/SendFully return n when all n bytes moved;
// otherwise -(bytes moved before the failing call) - 1, a negative number (-1 when nothing
// moved). A deadline, where given, bounds the whole transfer, not each call; a transfer that
// reaches it fails the same way. Sends never raise SIGPIPE.
//
// Thread safety: every function may run on many threads at once; a CSocket belongs to one
// thread at a time.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

// An owned socket descriptor, closed by the destructor. Move-only.
class CSocket {
 public:
  CSocket() = default;
  explicit CSocket(int fd) : m_fd(fd) {}
  ~CSocket() { Close(); }
  CSocket(CSocket&& other) noexcept : m_fd(other.Release()) {}
  CSocket& operator=(CSocket&& other) noexcept {
    if (this != &other) {
      Close();
      m_fd = other.Release();
    }
    return *this;
  }
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;

  int fd() const { return m_fd; }
  bool valid() const { return m_fd >= 0; }
  int Release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void Close();

 private:
  int m_fd = -1;
};

using Deadline = std::chrono::steady_clock::time_point;

// A deadline `seconds` from now; seconds <= 0 gives no deadline (Deadline::max()).
Deadline DeadlineAfter(int seconds);

// Sockets need no start-up on POSIX: always returns 0. Kept so that both programs read as
// the same sequence on every platform.
int StartSockets();

// Receives exactly n bytes (see the header comment for the result). With n = 0 nothing is
// read and 0 is returned.
int RecvFully(int fd, char* buffer, int n, int flags);
int RecvFully(int fd, char* buffer, int n, Deadline deadline);

// Sends exactly n bytes (MSG_NOSIGNAL is always added to `flags`; MSG_MORE lets the next
// send share a segment with this one).
int SendFully(int fd, const char* buffer, int n, int flags);
int SendFully(int fd, const char* buffer, int n, Deadline deadline, int flags = 0);

// Sends `headSize` bytes of `head` and then `bodySize` bytes of `body` as one stream, in as
// few segments as the socket allows (one gathered write each time). Returns the sum when all
// went, otherwise a negative count as above.
int SendGathered(int fd, const char* head, int headSize, const char* body, int bodySize,
                 Deadline deadline);

// Sends small writes at once (TCP_NODELAY): the protocol writes a frame as two sends.
void SetNoDelay(int fd);

// A resolved IPv4 host: its address and the name to show for it.
struct tResolvedHost {
  in_addr address{};
  std::string officialName;
};

// Resolves `text` as the server configuration does: a text whose leading decimal digits give
// a non-zero number is a dotted IPv4 address, looked up in reverse for its name (with no
// reverse entry, the dotted text itself is the name); anything else is a host name resolved
// forward (its canonical name, or the text, is the name). False when the text is neither a
// valid dotted address nor a name that resolves to an IPv4 address; *error then holds the
// errno-style code to print (never 0).
bool ResolveServerName(const std::string& text, tResolvedHost* host, int* error);

// Resolves a host name or dotted address to its first IPv4 address (forward only).
bool ResolveAddress(const std::string& text, in_addr* address, int* error);

// The failing step of OpenListener, for the caller's message.
enum class ListenStep { kNoFailure, kSocket, kBind, kListen };

// Creates a TCP socket bound to `address`:`port` (address 0 = all interfaces) with
// SO_REUSEADDR, and listens with `backlog`. On failure *step names the failing call and
// *error holds its errno; the socket is closed.
bool OpenListener(in_addr address, uint16_t port, int backlog, CSocket* listener, ListenStep* step,
                  int* error);

// The port a bound socket listens on (host order), or 0.
uint16_t LocalPort(int fd);

// Connects to `address`:`port`, giving up at `deadline`. False with *error (errno,
// ETIMEDOUT when the deadline passed) when the connection cannot be made.
bool ConnectTcp(in_addr address, uint16_t port, Deadline deadline, CSocket* socket, int* error);

// The dotted form of an IPv4 address.
std::string DottedAddress(in_addr address);
