// CFakeServer: a frame-level stand-in for the search server in the client tests. It listens
// on 127.0.0.1 at a free port and serves each connection on a thread of its own: it reads one
// request frame, asks the handler what to do and answers with a packed page, raw bytes,
// nothing (closes), or nothing while it holds the connection open until the server stops.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/query/result_page.h"
#include "net/input_output.h"
#include "net/socket_io.h"
#include "testing/formats/document_check.h"

struct tFakeReply {
  enum Kind { kFrame, kRaw, kClose, kStall } kind = kFrame;
  std::string bytes;  // kFrame: the body sent after its length; kRaw: sent as they are
};

class CFakeServer {
 public:
  using Handler = std::function<tFakeReply(const QueryRequest&)>;

  explicit CFakeServer(Handler handler);
  virtual ~CFakeServer();
  CFakeServer(const CFakeServer&) = delete;
  CFakeServer& operator=(const CFakeServer&) = delete;

  uint16_t port() const { return m_port; }
  int requests() const { return m_requests.load(); }
  // The query texts received so far, in arrival order.
  std::vector<std::string> queries() const;

 private:
  void AcceptLoop();
  void Serve(CSocket socket);

  Handler m_handler;
  CSocket m_listener;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_requests{0};
  mutable std::mutex m_mutex;
  std::condition_variable m_stopped;
  std::vector<std::string> m_queries;
  std::vector<std::thread> m_workers;
  std::thread m_acceptor;
};

// The packed body of `page`.
std::string PackPage(const ResultPage& page);
// A reply with the packed body of `page`.
tFakeReply PageReply(const ResultPage& page);

// Writes a binary schema whose stored fields have the given index names (type T, stored),
// and returns its path under `folder`.
std::string WriteSchema(const std::string& folder, const std::vector<std::string>& storedNames);

// Writes a client configuration file and returns its path.
std::string WriteConfig(const std::string& path, const std::string& server, uint16_t port,
                        const std::string& schemaPath, int timeoutSeconds = 1);
