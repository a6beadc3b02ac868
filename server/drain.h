// The drain of a server that is asked to end (SIGTERM or SIGINT) while a balancer may still
// send it work: the HTTP interface's /health turns to 503 "draining" at once, the server goes
// on answering on both ports for DrainSeconds so that health checks take it out of rotation,
// and only then do the listeners close. A second signal during the drain ends it at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class CHttpServer;

class CDrain {
 public:
  // `http` may be null (no HTTP interface: nothing tells a balancer, so no drain); `wake` is
  // called with no lock held when the drain time is over, to end the accept loop.
  CDrain(CHttpServer* http, int seconds, std::function<void()> wake);
  virtual ~CDrain();
  CDrain(const CDrain&) = delete;
  CDrain& operator=(const CDrain&) = delete;

  // A signal to end arrived; true when the server should end now (no drain, a second
  // signal, or the drain is over), false while the drain runs.
  bool EndRequested();

  // Ends a drain that is still timing (the loop ended on a second signal): afterwards `wake`
  // is not called. Also done by the destructor.
  void Stop();

 private:
  CHttpServer* m_http;
  std::chrono::seconds m_duration;
  std::function<void()> m_wake;
  std::mutex m_lock;
  std::condition_variable m_cancelled;
  bool m_started = false;
  bool m_cancel = false;
  std::thread m_timer;
};
