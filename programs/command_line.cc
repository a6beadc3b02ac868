#include "programs/command_line.h"

#include <cstdio>
#include <cstring>

#include "core/text/encoding.h"
#include "core/util/version.h"

bool AnswerInformationOption(const char* argument, const char* program, const char* help) {
  if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
    std::fputs(help, stdout);
    return true;
  }
  if (std::strcmp(argument, "--version") == 0) {
    std::printf("%s (Trindle) %s\n", program, kTrindleVersion);
    return true;
  }
  return false;
}

bool TypedQueryToGbk(const std::string& typed, ConsoleEncoding encoding, TypedGbk rule,
                     const char* hint, std::string* gbk) {
  if (rule == TypedGbk::kCharacters) {
    if (!ConsoleTextToGbk(typed, encoding, gbk)) return false;
  } else if (encoding == ConsoleEncoding::kUtf8) {
    if (!Utf8ToGbk(typed.data(), typed.size(), gbk, ToGbk::kReject)) return false;
  } else {
    *gbk = typed;
  }
  if (encoding == ConsoleEncoding::kGbk && LooksLikeUtf8OnAGbkConsole(typed)) {
    std::fprintf(stderr, "%s\n", hint);
  }
  return true;
}
