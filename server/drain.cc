#include "server/drain.h"

#include <cstdio>

#include "server/http/http_server.h"

CDrain::CDrain(CHttpServer* http, int seconds, std::function<void()> wake)
    : m_http(http), m_duration(seconds > 0 ? seconds : 0), m_wake(std::move(wake)) {}

CDrain::~CDrain() { Stop(); }

void CDrain::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_cancel = true;
  }
  m_cancelled.notify_all();
  if (m_timer.joinable()) m_timer.join();
}

bool CDrain::EndRequested() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_http == nullptr || m_duration.count() == 0 || m_started) return true;
  m_started = true;
  m_http->StartDraining();
  std::printf("Draining for %d seconds\n", static_cast<int>(m_duration.count()));
  std::fflush(stdout);
  m_timer = std::thread([this] {
    std::unique_lock<std::mutex> timerLock(m_lock);
    if (m_cancelled.wait_for(timerLock, m_duration, [this] { return m_cancel; })) return;
    timerLock.unlock();
    m_wake();
  });
  return false;
}
