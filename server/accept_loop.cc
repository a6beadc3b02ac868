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

#include "core/util/daily_log.h"
#include "server/metrics.h"
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
  int fds[2] = {-1, -1};
  const int made =
      m_options.openPipe ? m_options.openPipe(fds) : ::pipe2(fds, O_CLOEXEC | O_NONBLOCK);
  if (made == 0) {
    m_wakeRead = fds[0];
    m_wakeWrite = fds[1];
  } else {
    m_pipeError = errno != 0 ? errno : EMFILE;
  }
}

CAcceptLoop::~CAcceptLoop() {
  StopThreads();
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

void CAcceptLoop::ConnectionThread() {
  std::unique_lock<std::mutex> lock(m_connectionLock);
  for (;;) {
    ++m_idleThreads;
    m_connectionWaiting.wait(lock, [this] { return !m_queue.empty() || m_stopping; });
    --m_idleThreads;
    if (m_queue.empty()) return;  // stopping
    tConnection connection = std::move(m_queue.front());
    m_queue.pop_front();
    lock.unlock();
    ServAClient(std::move(connection.socket), *connection.data, m_options.limits,
                m_options.metrics);
    connection.data.reset();  // the last connection on a replaced data set frees it here
    EndConnection();
    lock.lock();
  }
}

// Hands an accepted connection to a waiting thread, or to a new one; false (connection
// closed and counted out) when no thread can take it.
bool CAcceptLoop::Dispatch(CSocket socket, std::shared_ptr<const CSearchData> data) {
  if (m_options.metrics != nullptr)
    m_options.metrics->ConnectionStarted(trindle::Interface::kBinary);
  std::unique_lock<std::mutex> lock(m_connectionLock);
  ++m_activeConnections;
  m_queue.push_back({std::move(socket), std::move(data)});
  if (m_idleThreads >= static_cast<int>(m_queue.size())) {
    m_connectionWaiting.notify_one();
    return true;
  }
  try {
    std::function<void()> routine = [this] { ConnectionThread(); };
    m_threads.push_back(m_options.startThread ? m_options.startThread(std::move(routine))
                                              : std::thread(std::move(routine)));
    return true;
  } catch (const std::exception& failure) {
    m_queue.pop_back();  // closes the socket
    lock.unlock();
    WriteLog(std::string("Cannot start a connection thread: ") + failure.what());
    EndConnection();
    return false;
  }
}

void CAcceptLoop::EndConnection() {
  if (m_options.metrics != nullptr) m_options.metrics->ConnectionEnded(trindle::Interface::kBinary);
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(m_connectionLock);
    if (m_activeConnections > 0) --m_activeConnections;
    wake = m_wakeOnEnd;
    m_wakeOnEnd = false;
    m_connectionEnded.notify_all();
  }
  if (wake) {
    char byte = kSlotFreed;
    [[maybe_unused]] ssize_t written = ::write(m_wakeWrite, &byte, 1);
  }
}

void CAcceptLoop::StopThreads() {
  std::vector<std::thread> threads;
  {
    std::unique_lock<std::mutex> lock(m_connectionLock);
    m_connectionEnded.wait(lock, [this] { return m_activeConnections == 0; });
    m_stopping = true;
    m_connectionWaiting.notify_all();
    threads.swap(m_threads);
  }
  for (std::thread& thread : threads) thread.join();
  std::lock_guard<std::mutex> lock(m_connectionLock);
  m_stopping = false;
}

int CAcceptLoop::AcceptClients(int listenFd, bool threaded) {
  if (!ready()) {
    std::printf("Error %d: %s\n", m_pipeError, "cannot create the wake pipe");
    return 1;
  }
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
    if (threaded) {
      Dispatch(std::move(socket), std::move(data));
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(m_connectionLock);
      ++m_activeConnections;
    }
    if (m_options.metrics != nullptr)
      m_options.metrics->ConnectionStarted(trindle::Interface::kBinary);
    ServAClient(std::move(socket), *data, m_options.limits, m_options.metrics);
    EndConnection();
  }
  StopThreads();
  if (threaded) std::printf("Last thread to finish was thread #%d\n", 0);
  return result;
}
