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

// A page of `records`, each holding one value per stored field.
ResultPage MakePage(const std::vector<std::vector<std::string>>& records, int32_t total,
                    int32_t start, int32_t fieldCount);
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

// A fresh empty folder for one test, removed with everything in it by the destructor.
class CScratchFolder {
 public:
  CScratchFolder();
  ~CScratchFolder();
  const std::string& path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// The whole content of a file, or "<missing>" when it cannot be read.
std::string FileText(const std::string& path);
// The names in `folder`, sorted.
std::vector<std::string> FolderEntries(const std::string& folder);

// A result document as an XML parser reads it: names and values in UTF-8.
struct tParsedDocument {
  bool ok = false;       // well-formed in its declared encoding
  std::string encoding;  // as declared
  std::string total, returned, start;
  bool hasResult = false;  // a "Result" element is present
  std::vector<std::vector<std::pair<std::string, std::string>>> documents;
};
tParsedDocument ParseDocument(const std::string& bytes);

// True when `xmllint --noout` accepts the file.
bool XmllintAccepts(const std::string& path);

// GBK bytes as UTF-8 through the C library's converter in one call, independent of the code
// under test; "<invalid>" when they do not convert.
std::string ReferenceUtf8(const std::string& gbk);

// Runs a shell command; *output receives its standard output. Returns the exit status, or
// -1 when it did not exit normally.
int RunCommand(const std::string& command, std::string* output);
