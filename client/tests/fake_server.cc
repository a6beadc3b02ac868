#include "client/tests/fake_server.h"

#include <poll.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/records/field_info.h"
#include "net/frame.h"

CFakeServer::CFakeServer(Handler handler) : m_handler(std::move(handler)) {
  in_addr loopback{};
  loopback.s_addr = htonl(INADDR_LOOPBACK);
  ListenStep step;
  int error = 0;
  if (!OpenListener(loopback, 0, 64, &m_listener, &step, &error)) {
    std::fprintf(stderr, "fake server cannot listen: %s\n", std::strerror(error));
    std::abort();
  }
  m_port = LocalPort(m_listener.fd());
  m_acceptor = std::thread([this] { AcceptLoop(); });
}

CFakeServer::~CFakeServer() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_stopped.notify_all();
  m_acceptor.join();
  for (std::thread& worker : m_workers) worker.join();
}

std::vector<std::string> CFakeServer::queries() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_queries;
}

void CFakeServer::AcceptLoop() {
  while (!m_stop) {
    pollfd ready{m_listener.fd(), POLLIN, 0};
    if (::poll(&ready, 1, 20) <= 0) continue;
    CSocket client(::accept(m_listener.fd(), nullptr, nullptr));
    if (!client.valid()) continue;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_workers.emplace_back([this, fd = client.Release()] { Serve(CSocket(fd)); });
  }
}

void CFakeServer::Serve(CSocket socket) {
  const Deadline deadline = DeadlineAfter(10);
  std::string body;
  if (ReceiveFrame(socket.fd(), 0, INT32_MAX, deadline, &body).status != FrameStatus::kOk) return;
  CInputOutput io;
  const QueryRequest* request = io.ParseRequest(body.data(), static_cast<int32_t>(body.size()));
  if (request == nullptr) return;
  m_requests.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queries.push_back(request->text);
  }
  const tFakeReply reply = m_handler(*request);
  switch (reply.kind) {
    case tFakeReply::kFrame: {
      SendFrame(socket.fd(), reply.bytes.data(), static_cast<int32_t>(reply.bytes.size()),
                deadline);
      break;
    }
    case tFakeReply::kRaw:
      SendFully(socket.fd(), reply.bytes.data(), static_cast<int>(reply.bytes.size()), deadline);
      break;
    case tFakeReply::kClose:
      break;
    case tFakeReply::kStall: {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_stopped.wait(lock, [this] { return m_stop.load(); });
      break;
    }
  }
}

std::string PackPage(const ResultPage& page) {
  CInputOutput io;
  int32_t length = 0;
  const char* body = io.PackResult(page, &length);
  return body == nullptr ? std::string() : std::string(body, static_cast<size_t>(length));
}

tFakeReply PageReply(const ResultPage& page) { return {tFakeReply::kFrame, PackPage(page)}; }

std::string WriteSchema(const std::string& folder, const std::vector<std::string>& storedNames) {
  std::ostringstream text;
  text << "seq name indexName type indexed filter stored wildcard note\n";
  int number = 1;
  for (const std::string& name : storedNames) {
    text << number << " col" << number << " " << name << " T 1 0 1 0 x\n";
    ++number;
  }
  text << number << " rank rank I 0 1 0 0 x\n";  // a filter field, not stored
  const std::string textPath = folder + "/schema.txt";
  std::ofstream(textPath, std::ios::binary) << text.str();
  CFieldInfo schema;
  const std::string binaryPath = textPath + ".dat";
  if (!schema.ImportText(textPath.c_str()) || !schema.SaveBinary(binaryPath.c_str())) {
    std::abort();
  }
  return binaryPath;
}

std::string WriteConfig(const std::string& path, const std::string& server, uint16_t port,
                        const std::string& schemaPath, int timeoutSeconds) {
  std::ofstream(path, std::ios::binary)
      << "<ServerIP>" << server << "</ServerIP>\n<Port>" << port << "</Port>\n<FieldInfo>"
      << schemaPath << "</FieldInfo>\n<Timeout>" << timeoutSeconds << "</Timeout>\n";
  return path;
}
