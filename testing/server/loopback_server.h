// CLoopbackServer: the accept loop of the search server on its own thread over a listener on
// 127.0.0.1 with a free port, for the in-process server tests. Stop (and the destructor) ends
// the loop as SIGTERM does and waits for it.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "net/socket_io.h"
#include "server/accept_loop.h"

class CLoopbackServer {
 public:
  CLoopbackServer() = default;
  virtual ~CLoopbackServer();  // stops
  CLoopbackServer(const CLoopbackServer&) = delete;
  CLoopbackServer& operator=(const CLoopbackServer&) = delete;

  // Listens and runs the loop with `options` (an empty onWake ends the loop on SIGTERM);
  // false when no listener could be opened or a loop runs already.
  bool Start(tAcceptOptions options);
  // Wakes the loop with SIGTERM (unless `wake` is false: the caller has woken it) and waits
  // for it to return; nothing when none runs.
  void Stop(bool wake = true);
  // Waits for a loop the caller has woken to return, keeping it for inspection until Stop.
  void Join();

  bool running() const { return m_loop != nullptr; }
  uint16_t port() const { return m_port; }
  // REQUIRES: running().
  CAcceptLoop& loop() const { return *m_loop; }
  // What AcceptClients returned: -1 while it runs or before it ran.
  int result() const { return m_result; }

 private:
  CSocket m_listener;
  uint16_t m_port = 0;
  std::unique_ptr<CAcceptLoop> m_loop;
  std::thread m_thread;
  int m_result = -1;
};
