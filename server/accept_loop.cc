#include "server/accept_loop.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "core/text/daily_log.h"
#include "server/search_data.h"

namespace {

// Accept failures that say nothing about the listening socket itself: the loop goes on.
bool IsTransient(int error) {
  switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ETIMEDOUT:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

// Out of descriptors or memory: the pending connection stays queued, so wait a little
// before the next try instead of spinning on it.
bool NeedsPause(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

constexpr char kSlotFreed = 0;  // wake byte of a connection that ended at the bound

}  // namespace

CAcceptLoop::CAcceptLoop(tAcceptOptions options) : m_options(std::move(options)) {
  if (m_options.maxConnections < 1) m_options.maxConnections = 1;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    m_wakeRead = fds[0];
    m_wakeWrite = fds[1];
  }
  m_threads.resize(static_cast<size_t>(m_options.maxConnections));
  for (int slot = m_options.maxConnections - 1; slot >= 0; --slot) m_freeSlots.push_back(slot);
}

CAcceptLoop::~CAcceptLoop() {
  WaitForAll();
  if (m_wakeRead >= 0) ::close(m_wakeRead);
  if (m_wakeWrite >= 0) ::close(m_wakeWrite);
}

int CAcceptLoop::ActiveConnections() const {
  std::lock_guard<std::mutex> lock(m_connectionLock);
  return m_activeConnections;
}

bool CAcceptLoop::DrainWakePipe() {
  bool stop = false;
  char bytes[64];
  ssize_t count;
  while ((count = ::read(m_wakeRead, bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < count; ++i) {
      if (bytes[i] != kSlotFreed && m_options.onWake && m_options.onWake(bytes[i])) stop = true;
    }
  }
  return stop;
}

int CAcceptLoop::TakeFreeSlot() {
  std::vector<int> ended;
  {
    std::lock_guard<std::mutex> lock(m_connectionLock);
    ended.swap(m_endedSlots);
  }
  for (int slot : ended) {
    m_threads[static_cast<size_t>(slot)].join();
    m_freeSlots.push_back(slot);
  }
  // Slots in use are the running threads and the ended ones not yet joined; both are counted
  // in ActiveConnections as it was before this accept, which was below the bound.
  int slot = m_freeSlots.back();
  m_freeSlots.pop_back();
  return slot;
}

void CAcceptLoop::ServeOnThread(int slot, CSocket socket, std::shared_ptr<const CSearchData> data) {
  ServAClient(std::move(socket), *data, m_options.limits);
  data.reset();  // the last connection on a replaced data set frees it here
  EndConnection(slot);
}

void CAcceptLoop::EndConnection(int slot) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(m_connectionLock);
    if (m_activeConnections > 0) --m_activeConnections;
    if (slot >= 0) m_endedSlots.push_back(slot);
    wake = m_wakeOnEnd;
    m_wakeOnEnd = false;
    m_connectionEnded.notify_all();
  }
  if (wake) {
    char byte = kSlotFreed;
    [[maybe_unused]] ssize_t written = ::write(m_wakeWrite, &byte, 1);
  }
}

void CAcceptLoop::WaitForAll() {
  {
    std::unique_lock<std::mutex> lock(m_connectionLock);
    m_connectionEnded.wait(lock, [this] { return m_activeConnections == 0; });
  }
  for (std::thread& thread : m_threads) {
    if (thread.joinable()) thread.join();
  }
  std::lock_guard<std::mutex> lock(m_connectionLock);
  for (int slot : m_endedSlots) m_freeSlots.push_back(slot);
  m_endedSlots.clear();
}

int CAcceptLoop::AcceptClients(int listenFd, bool threaded) {
  // Non-blocking, so that a connection reset between poll and accept cannot hold the loop.
  ::fcntl(listenFd, F_SETFL, ::fcntl(listenFd, F_GETFL) | O_NONBLOCK);
  int result = 0;
  for (;;) {
    bool atBound;
    {
      std::lock_guard<std::mutex> lock(m_connectionLock);
      atBound = m_activeConnections >= m_options.maxConnections;
      m_wakeOnEnd = atBound;
    }
    pollfd watched[2] = {{m_wakeRead, POLLIN, 0},
                         {listenFd, atBound ? short{0} : short{POLLIN}, 0}};
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::printf("Error %d: %s\n", errno, "Error: accept failed\n");
      result = 1;
      break;
    }
    if (watched[0].revents != 0 && DrainWakePipe()) break;
    if (atBound || watched[1].revents == 0) continue;

    sockaddr_in peer{};
    socklen_t peerSize = sizeof peer;
    int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerSize, SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) continue;
      std::printf("Error %d: %s\n", error, "Error: accept failed\n");
      if (!IsTransient(error)) {
        result = 1;
        break;
      }
      if (NeedsPause(error)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    CSocket socket(fd);
    SetNoDelay(fd);
    std::printf("Accepted connection from client at %s\n", DottedAddress(peer.sin_addr).c_str());
    std::shared_ptr<const CSearchData> data = m_options.currentData();
    {
      std::lock_guard<std::mutex> lock(m_connectionLock);
      ++m_activeConnections;
    }
    if (!threaded) {
      ServAClient(std::move(socket), *data, m_options.limits);
      EndConnection(-1);
      continue;
    }
    const int slot = TakeFreeSlot();
    try {
      auto owned = std::make_shared<CSocket>(std::move(socket));
      std::function<void()> serve = [this, slot, owned, data = std::move(data)]() mutable {
        ServeOnThread(slot, std::move(*owned), std::move(data));
      };
      m_threads[static_cast<size_t>(slot)] = m_options.startThread
                                                 ? m_options.startThread(std::move(serve))
                                                 : std::thread(std::move(serve));
    } catch (const std::exception& failure) {
      // The socket belongs to the routine that did not start and is closed with it.
      WriteLog(std::string("Cannot start a connection thread: ") + failure.what());
      m_freeSlots.push_back(slot);
      EndConnection(-1);
    }
  }
  WaitForAll();
  if (threaded) std::printf("Last thread to finish was thread #%d\n", 0);
  return result;
}
