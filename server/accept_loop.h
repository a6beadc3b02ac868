// CAcceptLoop: the accept loop of the search server. It accepts connections on the listening
// socket and serves each on a thread of its own, at most `maxConnections` at once. At that
// bound it stops accepting (further clients wait in the listen queue) until a connection ends.
// It ends when the wake handler asks it to (the server's SIGINT/SIGTERM), then lets the
// connections in progress finish before it returns, so that nothing they use is freed under
// them.
//
// A connection thread that has served its connection waits for the next one instead of
// ending, so that threads are started only while the number of connections in progress
// grows; one thread still serves one connection at a time, from the first byte to the close.
//
// Contract: AcceptClients sets O_NONBLOCK on the caller's listening descriptor (and leaves it
// set), so that a connection reset between poll and accept cannot hold the loop. The caller
// keeps owning that descriptor. `currentData` must never return null: a connection is served
// over the data set it returns. The loop wakes through a pipe made by the constructor; when
// it cannot be made (ready() false) signals would be lost and the loop could wait forever at
// its bound, so AcceptClients refuses to run.
//
// Thread safety: AcceptClients runs on one thread; wakeFd may be written from any thread or
// signal handler; ActiveConnections may be read from any thread. ActiveConnections, the queue
// of accepted connections and the thread bookkeeping are guarded by one mutex,
// ConnectionLock, held only to hand a connection over or count it out; queries run without
// it. The options' callbacks run on the accept thread (onWake, currentData, startThread) or
// on connection threads (metrics) and must outlive the loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/connection.h"

class CSearchData;
class CServerMetrics;

struct tAcceptOptions {
  int maxConnections = 20;
  tConnectionLimits limits;
  // Called on the accept thread when a byte arrives on the wake pipe (a signal number);
  // returns true to end the loop.
  std::function<bool(int)> onWake;
  // The data set for the next connection; each connection keeps the one it started with.
  std::function<std::shared_ptr<const CSearchData>()> currentData;
  // Starts a connection thread; empty means std::thread. May throw as std::thread does.
  std::function<std::thread(std::function<void()>)> startThread;
  // Counts connections and queries when set; must outlive the loop.
  CServerMetrics* metrics = nullptr;
  // Makes the wake pipe into fds (read end, write end), returning 0 or -1 with errno set;
  // empty means pipe2 with O_CLOEXEC | O_NONBLOCK. A seam for tests.
  std::function<int(int fds[2])> openPipe;
};

class CAcceptLoop {
 public:
  explicit CAcceptLoop(tAcceptOptions options);
  virtual ~CAcceptLoop();
  CAcceptLoop(const CAcceptLoop&) = delete;
  CAcceptLoop& operator=(const CAcceptLoop&) = delete;

  // Whether the wake pipe was made; when not, pipeError() holds the errno of the failure.
  bool ready() const { return m_wakeRead >= 0; }
  int pipeError() const { return m_pipeError; }

  // The descriptor that a signal handler writes one byte to (the signal number). Writing is
  // async-signal-safe. -1 when not ready().
  int wakeFd() const { return m_wakeWrite; }

  // Runs the loop on `listenFd`; with `threaded` false each connection is served inline.
  // Returns 0 after a requested end, 1 after an accept failure that cannot be retried; in
  // both cases every connection thread has ended. Returns 1 at once, accepting nothing, when
  // the loop is not ready() ("Error <errno>: cannot create the wake pipe" printed). Transient
  // accept failures (a connection reset before it was accepted, no descriptors left, an interrupted
  // call) are printed and retried.
  int AcceptClients(int listenFd, bool threaded);

  // Connections in progress.
  int ActiveConnections() const;

 private:
  struct tConnection {
    CSocket socket;
    std::shared_ptr<const CSearchData> data;
  };

  bool Dispatch(CSocket socket, std::shared_ptr<const CSearchData> data);
  void ConnectionThread();
  void EndConnection();
  bool DrainWakePipe();
  void StopThreads();

  tAcceptOptions m_options;
  int m_wakeRead = -1;
  int m_wakeWrite = -1;
  int m_pipeError = 0;

  mutable std::mutex m_connectionLock;  // ConnectionLock: guards the members down to m_threads
  std::condition_variable m_connectionEnded;
  std::condition_variable m_connectionWaiting;
  int m_activeConnections = 0;      // ActiveConnections
  std::deque<tConnection> m_queue;  // accepted, not yet taken by a thread
  int m_idleThreads = 0;            // threads waiting for a connection
  bool m_stopping = false;          // threads end once the queue is empty
  bool m_wakeOnEnd = false;         // the loop waits at the bound for a connection to end
  std::vector<std::thread> m_threads;
};
