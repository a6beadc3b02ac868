#include "programs/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/text/encoding.h"
#include "core/text/gbk_chars.h"

namespace {

bool EqualsIgnoringCase(const char* text, const char* lower) {
  for (; *text != '\0' && *lower != '\0'; ++text, ++lower) {
    const char byte = (*text >= 'A' && *text <= 'Z') ? static_cast<char>(*text + 32) : *text;
    if (byte != *lower) return false;
  }
  return *text == '\0' && *lower == '\0';
}

// True when GBK text pairs at `i` into a character of GBK (lead 0x81..0xFE, a trail byte,
// and a cell the platform maps), as the encoding module decodes it.
bool IsGbkPair(const unsigned char* bytes, size_t i, size_t size) {
  return i + 1 < size &&
         CGbkTable::Get().PairClass(bytes[i], bytes[i + 1]) != CGbkTable::kNoCharacter;
}

// True for the code points a terminal shows two columns wide (East Asian Wide and Fullwidth:
// Hangul Jamo, CJK symbols, kana, ideographs, Hangul syllables, compatibility ideographs,
// vertical and small forms, fullwidth forms). Everything else GBK holds (Latin, Greek and
// Cyrillic letters, box drawing, "——") is one column, as terminals show ambiguous widths.
bool IsWide(uint32_t code) {
  return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0x303E) ||
         (code >= 0x3041 && code <= 0x33FF) || (code >= 0x3400 && code <= 0x4DBF) ||
         (code >= 0x4E00 && code <= 0x9FFF) || (code >= 0xA000 && code <= 0xA4CF) ||
         (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
         (code >= 0xFE10 && code <= 0xFE19) || (code >= 0xFE30 && code <= 0xFE6F) ||
         (code >= 0xFF00 && code <= 0xFF60) || (code >= 0xFFE0 && code <= 0xFFE6);
}

// Columns of the character at bytes[i], cut as the engine cuts GBK (a byte from 0x80 up
// takes the next byte with it); its length in bytes goes to *length. A pair that is no GBK
// character shows as U+FFFD and its second byte: two columns.
size_t CharColumns(const unsigned char* bytes, size_t i, size_t size, size_t* length) {
  *length = static_cast<size_t>(gbk::CharWidth(bytes, i, size));
  if (*length == 1) return 1;
  const uint32_t code = CGbkTable::Get().PairCodePoint(bytes[i], bytes[i + 1]);
  return code == 0 || IsWide(code) ? 2 : 1;
}

// ---- The converting streams ----

// A stdio stream over a descriptor that converts GBK to UTF-8 on the way.
struct tConsoleStream {
  int fd = -1;
  CGbkToUtf8Decoder decoder;
};

// The converting streams' states, kept for the life of the process (see OpenConvertingStream).
tConsoleStream* g_consoleStreams[2] = {nullptr, nullptr};
ConsoleEncoding g_stdoutEncoding = ConsoleEncoding::kGbk;
bool g_stdoutIsTerminal = false;

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

ssize_t WriteConverted(void* cookie, const char* bytes, size_t size) {
  auto* stream = static_cast<tConsoleStream*>(cookie);
  if (!WriteAll(stream->fd, stream->decoder.Feed(bytes, size))) return -1;
  return static_cast<ssize_t>(size);
}

// A converting stream over `fd`; null when the C library cannot make one. It is unbuffered:
// each printf, fputs or fwrite is converted and written at once, while the converter is
// alive. A buffered stream would be flushed by exit() after the destructors of static and
// thread-local objects (the encoding module's converters among them) have run. The stream's
// own state is never freed, for the same reason.
std::FILE* OpenConvertingStream(int fd) {
  auto* stream = new tConsoleStream;
  stream->fd = fd;
  cookie_io_functions_t functions{};
  functions.write = WriteConverted;
  std::FILE* file = ::fopencookie(stream, "w", functions);
  if (file == nullptr) {
    delete stream;
    return nullptr;
  }
  std::setvbuf(file, nullptr, _IONBF, 0);
  g_consoleStreams[fd == STDOUT_FILENO ? 0 : 1] = stream;
  return file;
}

}  // namespace

bool ParseConsoleSetting(const char* setting, bool* forced, ConsoleEncoding* encoding) {
  *forced = false;
  *encoding = ConsoleEncoding::kGbk;
  if (setting == nullptr || *setting == '\0' || EqualsIgnoringCase(setting, "auto")) return true;
  if (EqualsIgnoringCase(setting, "gbk")) {
    *forced = true;
    return true;
  }
  if (EqualsIgnoringCase(setting, "utf8") || EqualsIgnoringCase(setting, "utf-8")) {
    *forced = true;
    *encoding = ConsoleEncoding::kUtf8;
    return true;
  }
  return false;
}

ConsoleEncoding ChooseConsoleEncoding(const char* setting, bool isTerminal, bool utf8Locale) {
  bool forced = false;
  ConsoleEncoding encoding = ConsoleEncoding::kGbk;
  ParseConsoleSetting(setting, &forced, &encoding);
  if (forced) return encoding;
  return isTerminal && utf8Locale ? ConsoleEncoding::kUtf8 : ConsoleEncoding::kGbk;
}

bool LocaleNamesUtf8(const char* lcAll, const char* lcCtype, const char* lang) {
  const char* name = nullptr;
  for (const char* candidate : {lcAll, lcCtype, lang}) {
    if (candidate != nullptr && *candidate != '\0') {
      name = candidate;
      break;
    }
  }
  if (name == nullptr) return false;
  const char* dot = std::strchr(name, '.');
  if (dot == nullptr) return false;
  std::string codeset(dot + 1);
  codeset = codeset.substr(0, codeset.find('@'));  // "en_US.UTF-8@euro"
  return EqualsIgnoringCase(codeset.c_str(), "utf-8") ||
         EqualsIgnoringCase(codeset.c_str(), "utf8");
}

ConsoleEncoding DecideStdoutEncoding() {
  return ChooseConsoleEncoding(
      std::getenv("TRINDLE_CONSOLE"), ::isatty(STDOUT_FILENO) == 1,
      LocaleNamesUtf8(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG")));
}

void SetUpConsole() {
  const char* setting = std::getenv("TRINDLE_CONSOLE");
  bool forced = false;
  ConsoleEncoding unused = ConsoleEncoding::kGbk;
  const bool settingValid = ParseConsoleSetting(setting, &forced, &unused);
  const bool utf8Locale =
      LocaleNamesUtf8(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG"));

  g_stdoutIsTerminal = ::isatty(STDOUT_FILENO) == 1;
  g_stdoutEncoding = ChooseConsoleEncoding(setting, g_stdoutIsTerminal, utf8Locale);
  const ConsoleEncoding stderrEncoding =
      ChooseConsoleEncoding(setting, ::isatty(STDERR_FILENO) == 1, utf8Locale);

  if (g_stdoutEncoding == ConsoleEncoding::kUtf8) {
    std::fflush(stdout);
    std::FILE* file = OpenConvertingStream(STDOUT_FILENO);
    if (file != nullptr) {
      stdout = file;
    } else {
      g_stdoutEncoding = ConsoleEncoding::kGbk;
    }
  }
  if (stderrEncoding == ConsoleEncoding::kUtf8) {
    std::fflush(stderr);
    std::FILE* file = OpenConvertingStream(STDERR_FILENO);
    if (file != nullptr) stderr = file;
  }
  if (!settingValid) {
    std::fprintf(stderr, "TRINDLE_CONSOLE=%s is not gbk, utf8 or auto; auto is used\n", setting);
  }
}

ConsoleEncoding StdoutEncoding() { return g_stdoutEncoding; }

bool StdoutIsTerminal() { return g_stdoutIsTerminal; }

int TerminalColumns() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* columns = std::getenv("COLUMNS");
  if (columns != nullptr) {
    const long number = std::strtol(columns, nullptr, 10);
    if (number > 0 && number < 10000) return static_cast<int>(number);
  }
  return 80;
}

bool LooksLikeUtf8OnAGbkConsole(const std::string& text) {
  const char* setting = std::getenv("TRINDLE_CONSOLE");
  bool forced = false;
  ConsoleEncoding encoding = ConsoleEncoding::kGbk;
  if (!ParseConsoleSetting(setting, &forced, &encoding)) forced = false;
  if (forced || DecideStdoutEncoding() != ConsoleEncoding::kGbk) return false;
  if (!LocaleNamesUtf8(std::getenv("LC_ALL"), std::getenv("LC_CTYPE"), std::getenv("LANG"))) {
    return false;
  }
  const bool beyondAscii = std::any_of(
      text.begin(), text.end(), [](char byte) { return static_cast<unsigned char>(byte) >= 0x80; });
  return beyondAscii && IsValidUtf8(text);
}

bool ConsoleTextToGbk(const std::string& text, ConsoleEncoding encoding, std::string* gbk) {
  std::string converted;
  if (encoding == ConsoleEncoding::kUtf8) {
    if (!Utf8ToGbk(text.data(), text.size(), &converted, ToGbk::kReject)) return false;
  } else {
    converted = text;
  }
  // Every byte from 0x80 up must start a GBK character with the byte after it (this also
  // refuses the euro sign, which GBK writes as the single byte 0x80 but the engine would
  // pair with the next byte).
  const auto* bytes = reinterpret_cast<const unsigned char*>(converted.data());
  for (size_t i = 0; i < converted.size(); ++i) {
    if (bytes[i] < 0x80) continue;
    if (!IsGbkPair(bytes, i, converted.size())) return false;
    ++i;
  }
  gbk->swap(converted);
  return true;
}

size_t GbkColumns(const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t columns = 0;
  for (size_t i = 0; i < text.size();) {
    size_t length = 0;
    columns += CharColumns(bytes, i, text.size(), &length);
    i += length;
  }
  return columns;
}

std::string CutGbkToColumns(const std::string& text, size_t columns) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t end = 0, used = 0;
  while (end < text.size()) {
    size_t length = 0;
    const size_t width = CharColumns(bytes, end, text.size(), &length);
    if (used + width > columns) break;
    used += width;
    end += length;
  }
  return text.substr(0, end);
}
