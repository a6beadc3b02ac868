// trindle-query: runs one query through libTrindleAgentAPI and writes the result document to
// a file or to standard output.
//
//   trindle-query [--utf8] <configuration> <query> <start> <page-count> <output|->
//
// UTF-8 (--utf8) is also taken when the console is UTF-8: standard output a terminal whose
// locale is UTF-8, or TRINDLE_CONSOLE=utf8.
//
// Exit status: client/tools/exit_status.h.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TrindleAgentAPI.h"
#include "client/client_config.h"
#include "client/tools/exit_status.h"
#include "core/text/encoding.h"
#include "core/util/file_util.h"
#include "net/socket_io.h"
#include "programs/command_line.h"
#include "programs/console.h"

namespace {

const char kUsage[] =
    "Usage: trindle-query [--utf8] <configuration> <query> <start> <count> <output|->\n"
    "Runs <query> on the search server named in <configuration> and writes the hits\n"
    "from position <start> (0-based), at most <count> of them, as an XML document to\n"
    "<output>, or to standard output for \"-\".\n"
    "  --utf8       the query is given in UTF-8 and the document on standard output\n"
    "               is printed in UTF-8 (files and the server exchange stay GBK);\n"
    "               the default when the console is UTF-8\n"
    "  -h, --help   print this text and exit\n"
    "  --version    print the version and exit\n"
    "Environment: TRINDLE_CONSOLE=auto|gbk|utf8 sets the console's encoding; auto\n"
    "(the default) is UTF-8 when standard output is a terminal whose locale is UTF-8.\n"
    "Exit status: 0 success, 1 bad arguments, 2 bad configuration, 3 server\n"
    "unreachable, 4 bad or missing response, 5 output cannot be written.\n";

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
    return Failure(query_exit::kUnreachable, "cannot resolve the server name " + config.serverName);
  }
  CSocket socket;
  const std::string server = config.serverName + ":" + std::to_string(config.port);
  if (!ConnectTcp(address, config.port, DeadlineAfter(config.timeoutSeconds), &socket, &error)) {
    return Failure(query_exit::kUnreachable,
                   "cannot connect to " + server + ": " + std::strerror(error));
  }
  socket.Close();
  if (output != "-") {
    const size_t slash = output.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : output.substr(0, slash + 1);
    if (::access(folder.c_str(), W_OK) != 0) {
      return Failure(query_exit::kOutput, "cannot write " + output);
    }
  }
  return Failure(query_exit::kResponse, "bad or missing response from " + server +
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
  bool utf8 = DecideStdoutEncoding() == ConsoleEncoding::kUtf8;
  std::vector<const char*> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (AnswerInformationOption(argv[i], "trindle-query", kUsage)) return query_exit::kSuccess;
    if (argument == "--utf8") {
      utf8 = true;
    } else if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
      return Failure(query_exit::kUsage, "unknown option " + argument + " (see --help)");
    } else {
      arguments.push_back(argv[i]);
    }
  }
  if (arguments.size() != 5) {
    return Failure(query_exit::kUsage, "expected 5 arguments, got " +
                                           std::to_string(arguments.size()) + " (see --help)");
  }
  const char* configPath = arguments[0];
  int start = 0, pageCount = 0;
  if (!ParseInt(arguments[2], &start)) {
    return Failure(query_exit::kUsage, std::string("start is not a number: ") + arguments[2]);
  }
  if (!ParseInt(arguments[3], &pageCount)) {
    return Failure(query_exit::kUsage, std::string("page count is not a number: ") + arguments[3]);
  }
  const std::string output = arguments[4];
  std::string query;
  if (!TypedQueryToGbk(
          arguments[1], utf8 ? ConsoleEncoding::kUtf8 : ConsoleEncoding::kGbk, TypedGbk::kAsTyped,
          "trindle-query: the query is sent as GBK; --utf8 reads it as UTF-8", &query)) {
    return Failure(query_exit::kUsage, "the query is not UTF-8 or holds characters outside GBK");
  }

  tClientConfig config;
  std::string problem;
  if (!ReadClientConfig(configPath, &config, &problem)) {
    return Failure(query_exit::kConfig, "bad configuration: " + problem);
  }

  std::string resultPath = output;
  if (output == "-") {
    char temporary[] = "/tmp/trindle-query.XXXXXX";
    const int fd = ::mkstemp(temporary);
    if (fd < 0) return Failure(query_exit::kOutput, "cannot create a temporary file in /tmp");
    ::close(fd);
    resultPath = temporary;
  }
  const int result =
      trindle_query_client(configPath, query.c_str(), start, pageCount, resultPath.c_str());
  if (result != 0) {
    if (output == "-") ::unlink(resultPath.c_str());
    return Diagnose(config, output);
  }
  if (output != "-") return query_exit::kSuccess;

  std::string document;
  const int size = ReadWholeFile(resultPath, &document);
  ::unlink(resultPath.c_str());
  if (size <= 0) return Failure(query_exit::kOutput, "cannot read back the result document");
  if (utf8) {
    std::string converted;
    if (!ToUtf8Document(document, &converted)) {
      return Failure(query_exit::kResponse, "the result document is not GBK text");
    }
    document.swap(converted);
  }
  std::fflush(stdout);
  if (std::fwrite(document.data(), 1, document.size(), stdout) != document.size() ||
      std::fflush(stdout) != 0) {
    return Failure(query_exit::kOutput, "cannot write to standard output");
  }
  return query_exit::kSuccess;
}
