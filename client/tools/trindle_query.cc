// trindle-query: runs one query through libTrindleAgentAPI and writes the result document to
// a file or to standard output.
//
//   trindle-query [--utf8] <configuration> <query> <start> <page-count> <output|->
//
// Exit status: 0 success, 1 bad arguments, 2 bad configuration, 3 server unreachable,
// 4 bad or missing response, 5 output cannot be written. Failures print one line to
// standard error. The library reports every failure as -1; the tool finds the reason by
// checking the configuration first and, after a failed call, the server's address and port.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TrindleAgentAPI.h"
#include "client/client_config.h"
#include "core/text/encoding.h"
#include "core/util/file_util.h"
#include "net/socket_io.h"

namespace {

enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,
  kExitConfig = 2,
  kExitUnreachable = 3,
  kExitResponse = 4,
  kExitOutput = 5,
};

const char kUsage[] =
    "Usage: trindle-query [--utf8] <configuration> <query> <start> <page-count> <output|->\n"
    "Runs <query> on the search server named in <configuration> and writes the hits from\n"
    "position <start> (0-based), at most <page-count> of them, as an XML document to\n"
    "<output>, or to standard output for \"-\".\n"
    "  --utf8  the query is given in UTF-8 and the document on standard output is printed\n"
    "          in UTF-8 (files and the server exchange stay GBK)\n"
    "  --help  print this text\n"
    "Exit status: 0 success, 1 bad arguments, 2 bad configuration, 3 server unreachable,\n"
    "4 bad or missing response, 5 output cannot be written.\n";

int Failure(int code, const std::string& reason) {
  std::fprintf(stderr, "trindle-query: %s\n", reason.c_str());
  return code;
}

bool ParseInt(const char* text, int* value) {
  errno = 0;
  char* end = nullptr;
  const long number = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || number < -2147483647L - 1 ||
      number > 2147483647L) {
    return false;
  }
  *value = static_cast<int>(number);
  return true;
}

// The reason a call failed, found by repeating its first steps.
int Diagnose(const tClientConfig& config, const std::string& output) {
  in_addr address{};
  int error = 0;
  if (!ResolveAddress(config.serverName, &address, &error)) {
    return Failure(kExitUnreachable, "cannot resolve the server name " + config.serverName);
  }
  CSocket socket;
  const std::string server = config.serverName + ":" + std::to_string(config.port);
  if (!ConnectTcp(address, config.port, DeadlineAfter(config.timeoutSeconds), &socket, &error)) {
    return Failure(kExitUnreachable, "cannot connect to " + server + ": " + std::strerror(error));
  }
  socket.Close();
  if (output != "-") {
    const size_t slash = output.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
    if (::access(folder.c_str(), W_OK) != 0) {
      return Failure(kExitOutput, "cannot write " + output);
    }
  }
  return Failure(kExitResponse, "bad or missing response from " + server +
                                    " (closed, timed out, malformed or of another schema)");
}

// The document converted to UTF-8, its declaration naming the new encoding.
bool ToUtf8Document(const std::string& document, std::string* converted) {
  converted->clear();
  if (!AppendGbkAsUtf8(document.data(), document.size(), converted, FromGbk::kReject)) {
    return false;
  }
  const size_t lineEnd = converted->find('\n');
  for (const char* name : {"encoding=\"gb2312\"", "encoding=\"GBK\""}) {
    const size_t at = converted->find(name);
    if (at != std::string::npos && at < lineEnd) {
      converted->replace(at, std::strlen(name), "encoding=\"UTF-8\"");
      break;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool utf8 = false;
  std::vector<const char*> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (argument == "--utf8") {
      utf8 = true;
    } else if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
      return Failure(kExitUsage, "unknown option " + argument + " (see --help)");
    } else {
      arguments.push_back(argv[i]);
    }
  }
  if (arguments.size() != 5) {
    return Failure(kExitUsage, "expected 5 arguments, got " + std::to_string(arguments.size()) +
                                   " (see --help)");
  }
  const char* configPath = arguments[0];
  std::string query = arguments[1];
  int start = 0, pageCount = 0;
  if (!ParseInt(arguments[2], &start)) {
    return Failure(kExitUsage, std::string("start is not a number: ") + arguments[2]);
  }
  if (!ParseInt(arguments[3], &pageCount)) {
    return Failure(kExitUsage, std::string("page count is not a number: ") + arguments[3]);
  }
  const std::string output = arguments[4];
  if (utf8) {
    std::string gbk;
    if (!Utf8ToGbk(query.data(), query.size(), &gbk, ToGbk::kReject)) {
      return Failure(kExitUsage, "the query is not UTF-8 or holds characters outside GBK");
    }
    query = gbk;
  }

  tClientConfig config;
  std::string problem;
  if (!ReadClientConfig(configPath, &config, &problem)) {
    return Failure(kExitConfig, "bad configuration: " + problem);
  }

  std::string resultPath = output;
  if (output == "-") {
    char temporary[] = "/tmp/trindle-query.XXXXXX";
    const int fd = ::mkstemp(temporary);
    if (fd < 0) return Failure(kExitOutput, "cannot create a temporary file in /tmp");
    ::close(fd);
    resultPath = temporary;
  }
  const int result =
      trindle_query_client(configPath, query.c_str(), start, pageCount, resultPath.c_str());
  if (result != 0) {
    if (output == "-") ::unlink(resultPath.c_str());
    return Diagnose(config, output);
  }
  if (output != "-") return kExitOk;

  std::string document;
  const int size = ReadWholeFile(resultPath, &document);
  ::unlink(resultPath.c_str());
  if (size <= 0) return Failure(kExitOutput, "cannot read back the result document");
  if (utf8) {
    std::string converted;
    if (!ToUtf8Document(document, &converted)) {
      return Failure(kExitResponse, "the result document is not GBK text");
    }
    document.swap(converted);
  }
  std::fflush(stdout);
  if (std::fwrite(document.data(), 1, document.size(), stdout) != document.size() ||
      std::fflush(stdout) != 0) {
    return Failure(kExitOutput, "cannot write to standard output");
  }
  return kExitOk;
}
