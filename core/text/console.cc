#include "core/text/console.h"

#include <iconv.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/text/gbk_chars.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool EqualsIgnoringCase(const char* text, const char* lower) {
  for (; *text != '\0' && *lower != '\0'; ++text, ++lower) {
    const char byte = (*text >= 'A' && *text <= 'Z') ? static_cast<char>(*text + 32) : *text;
    if (byte != *lower) return false;
  }
  return *text == '\0' && *lower == '\0';
}

// ---- Code-page conversion (the C library's iconv) ----

// One iconv descriptor for the life of a conversion.
class CIconv {
 public:
  CIconv(const char* to, const char* from) : m_descriptor(::iconv_open(to, from)) {}
  virtual ~CIconv() {
    if (IsOpen()) ::iconv_close(m_descriptor);
  }
  CIconv(const CIconv&) = delete;
  CIconv& operator=(const CIconv&) = delete;

  bool IsOpen() const { return m_descriptor != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return m_descriptor; }

 private:
  iconv_t m_descriptor;
};

// Appends the UTF-8 form of GBK bytes; a byte that starts no GBK character (or ends the text
// inside one) becomes U+FFFD and decoding goes on at the next byte.
void AppendGbkAsUtf8(const char* bytes, size_t length, std::string* utf8) {
  thread_local CIconv converter("UTF-8", "GBK");
  if (!converter.IsOpen()) {
    utf8->append(bytes, length);
    return;
  }
  ::iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(bytes);
  size_t inLeft = length;
  while (inLeft > 0) {
    char buffer[4096];
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    const size_t result = ::iconv(converter.get(), &in, &inLeft, &out, &outLeft);
    utf8->append(buffer, static_cast<size_t>(out - buffer));
    if (result == static_cast<size_t>(-1) && errno != E2BIG) {
      utf8->append(kReplacement);
      ++in;
      --inLeft;
    }
  }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char first = bytes[i];
    size_t count = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (first < 0x80) {
      ++i;
      continue;
    } else if (first >= 0xC2 && first <= 0xDF) {
      count = 1;
    } else if (first >= 0xE0 && first <= 0xEF) {
      count = 2;
      if (first == 0xE0) low = 0xA0;
      if (first == 0xED) high = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
      count = 3;
      if (first == 0xF0) low = 0x90;
      if (first == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + count >= text.size()) return false;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
    for (size_t k = 2; k <= count; ++k) {
      if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) return false;
    }
    i += count + 1;
  }
  return true;
}

// The GBK form of valid UTF-8; false when a character has no GBK form.
bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  if (!IsValidUtf8(utf8)) return false;
  CIconv converter("GBK", "UTF-8");
  if (!converter.IsOpen()) return false;
  gbk->clear();
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  while (inLeft > 0) {
    char buffer[4096];
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    const size_t result = ::iconv(converter.get(), &in, &inLeft, &out, &outLeft);
    gbk->append(buffer, static_cast<size_t>(out - buffer));
    if (result == static_cast<size_t>(-1) && errno != E2BIG) return false;
  }
  return true;
}

// ---- The converting streams ----

// A stdio stream over a descriptor that converts GBK to UTF-8 on the way.
struct tConsoleStream {
  int fd = -1;
  CGbkToUtf8Decoder decoder;
};

tConsoleStream g_streams[2];  // standard output, standard error: live as long as the process
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

// A converting stream over `fd`, buffered as `mode` (_IOLBF, _IOFBF or _IONBF); null when
// the C library cannot make one.
std::FILE* OpenConvertingStream(tConsoleStream* stream, int fd, int mode) {
  stream->fd = fd;
  cookie_io_functions_t functions{};
  functions.write = WriteConverted;
  std::FILE* file = ::fopencookie(stream, "w", functions);
  if (file != nullptr) std::setvbuf(file, nullptr, mode, mode == _IONBF ? 0 : BUFSIZ);
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
    std::FILE* file =
        OpenConvertingStream(&g_streams[0], STDOUT_FILENO, g_stdoutIsTerminal ? _IOLBF : _IOFBF);
    if (file != nullptr) {
      stdout = file;
    } else {
      g_stdoutEncoding = ConsoleEncoding::kGbk;
    }
  }
  if (stderrEncoding == ConsoleEncoding::kUtf8) {
    std::fflush(stderr);
    std::FILE* file = OpenConvertingStream(&g_streams[1], STDERR_FILENO, _IONBF);
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

bool ConsoleTextToGbk(const std::string& text, ConsoleEncoding encoding, std::string* gbk) {
  if (encoding == ConsoleEncoding::kUtf8) return Utf8ToGbk(text, gbk);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size(); ++i) {
    if (bytes[i] < 0x80) continue;
    if (bytes[i] == 0x80 || bytes[i] == 0xFF || i + 1 == text.size()) return false;
    const unsigned char second = bytes[++i];
    if (second < 0x40 || second == 0x7F || second == 0xFF) return false;
  }
  *gbk = text;
  return true;
}

std::string CGbkToUtf8Decoder::Feed(const char* bytes, size_t size) {
  std::string input = m_held;
  input.append(bytes, size);
  m_held.clear();
  // The last byte waits when it is the first of a character, as the converter pairs them:
  // 0x81..0xFE followed by a byte 0x40..0xFE other than 0x7F.
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  size_t i = 0;
  while (i < input.size()) {
    const bool first = data[i] >= 0x81 && data[i] <= 0xFE;
    if (!first) {
      ++i;
    } else if (i + 1 == input.size()) {
      m_held.assign(1, static_cast<char>(data[i]));
      break;
    } else {
      const unsigned char second = data[i + 1];
      i += (second >= 0x40 && second <= 0xFE && second != 0x7F) ? 2 : 1;
    }
  }
  std::string utf8;
  const size_t complete = input.size() - m_held.size();
  utf8.reserve(complete + complete / 2);
  AppendGbkAsUtf8(input.data(), complete, &utf8);
  return utf8;
}

std::string CGbkToUtf8Decoder::Finish() {
  const bool held = !m_held.empty();
  m_held.clear();
  return held ? std::string(kReplacement) : std::string();
}

std::string CutGbkToColumns(const std::string& text, size_t columns) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t end = 0;
  while (end < text.size()) {
    const size_t width = static_cast<size_t>(gbk::CharWidth(bytes, end, text.size()));
    if (end + width > columns) break;
    end += width;
  }
  return text.substr(0, end);
}
