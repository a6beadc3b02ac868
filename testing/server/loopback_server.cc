#include "testing/server/loopback_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

CLoopbackServer::~CLoopbackServer() { Stop(); }

bool CLoopbackServer::Start(tAcceptOptions options) {
  if (m_loop) return false;
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  ListenStep step;
  int error = 0;
  if (!OpenListener(loopback, 0, SOMAXCONN, &m_listener, &step, &error)) return false;
  m_port = LocalPort(m_listener.fd());
  if (!options.onWake) options.onWake = [](int signalNumber) { return signalNumber == SIGTERM; };
  m_loop = std::make_unique<CAcceptLoop>(std::move(options));
  m_result = -1;
  m_thread = std::thread([this] { m_result = m_loop->AcceptClients(m_listener.fd(), true); });
  return true;
}

void CLoopbackServer::Stop(bool wake) {
  if (!m_loop) return;
  if (wake) {
    const char byte = SIGTERM;
    if (::write(m_loop->wakeFd(), &byte, 1) != 1) return;
  }
  Join();
  m_loop.reset();
  m_listener.Close();
}

void CLoopbackServer::Join() {
  if (m_thread.joinable()) m_thread.join();
}
