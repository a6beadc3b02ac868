#include "client/tests/fake_server.h"

#include <dirent.h>
#include <iconv.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/records/field_info.h"

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
  int32_t size = 0;
  if (RecvFully(socket.fd(), reinterpret_cast<char*>(&size), 4, deadline) != 4 || size < 0) return;
  std::string body(static_cast<size_t>(size), '\0');
  if (RecvFully(socket.fd(), &body[0], size, deadline) != size) return;
  CInputOutput io;
  const QueryRequest* request = io.ParseRequest(body.data(), size);
  if (request == nullptr) return;
  m_requests.fetch_add(1);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queries.push_back(request->text);
  }
  const tFakeReply reply = m_handler(*request);
  switch (reply.kind) {
    case tFakeReply::kFrame: {
      const auto length = static_cast<int32_t>(reply.bytes.size());
      SendFully(socket.fd(), reinterpret_cast<const char*>(&length), 4, deadline);
      SendFully(socket.fd(), reply.bytes.data(), length, deadline);
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

ResultPage MakePage(const std::vector<std::vector<std::string>>& records, int32_t total,
                    int32_t start, int32_t fieldCount) {
  ResultPage page;
  page.total = total;
  page.start = start;
  page.returned = static_cast<int32_t>(records.size());
  page.fieldCount = fieldCount;
  for (const auto& record : records) {
    for (const std::string& value : record) {
      page.valueLengths.push_back(static_cast<int32_t>(value.size()));
      page.text += value;
    }
  }
  return page;
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

CScratchFolder::CScratchFolder() {
  char pattern[] = "/tmp/client_test.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  m_path = pattern;
}

CScratchFolder::~CScratchFolder() {
  std::string command = "chmod -R u+w '" + m_path + "' && rm -rf '" + m_path + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", m_path.c_str());
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.push_back(entry->d_name);
    }
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

tParsedDocument ParseDocument(const std::string& bytes) {
  tParsedDocument parsed;
  xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), "result.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return parsed;
  parsed.ok = true;
  if (doc->encoding != nullptr) parsed.encoding = reinterpret_cast<const char*>(doc->encoding);
  auto text = [](xmlNodePtr node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string value = content != nullptr ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return value;
  };
  auto name = [](xmlNodePtr node) {
    return std::string(reinterpret_cast<const char*>(node->name));
  };
  for (xmlNodePtr section = xmlDocGetRootElement(doc)->children; section; section = section->next) {
    if (section->type != XML_ELEMENT_NODE) continue;
    if (name(section) == "Result-Number") {
      for (xmlNodePtr n = section->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        if (name(n) == "Total-Number") parsed.total = text(n);
        if (name(n) == "Return-Number") parsed.returned = text(n);
        if (name(n) == "Start-Position") parsed.start = text(n);
      }
    } else if (name(section) == "Result") {
      parsed.hasResult = true;
      for (xmlNodePtr d = section->children; d; d = d->next) {
        if (d->type != XML_ELEMENT_NODE) continue;
        parsed.documents.emplace_back();
        for (xmlNodePtr f = d->children; f; f = f->next) {
          if (f->type == XML_ELEMENT_NODE) parsed.documents.back().emplace_back(name(f), text(f));
        }
      }
    }
  }
  xmlFreeDoc(doc);
  return parsed;
}

bool XmllintAccepts(const std::string& path) {
  std::string output;
  return RunCommand("xmllint --noout '" + path + "' 2>&1", &output) == 0;
}

std::string ReferenceUtf8(const std::string& gbk) {
  iconv_t cd = ::iconv_open("UTF-8", "GBK");
  std::string out(gbk.size() * 3 + 4, '\0');
  char* in = const_cast<char*>(gbk.data());
  char* to = &out[0];
  size_t inLeft = gbk.size(), outLeft = out.size();
  const size_t result = ::iconv(cd, &in, &inLeft, &to, &outLeft);
  ::iconv_close(cd);
  if (result == static_cast<size_t>(-1)) return "<invalid>";
  out.resize(out.size() - outLeft);
  return out;
}

int RunCommand(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
