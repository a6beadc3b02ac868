#include "core/text/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// One iconv descriptor, closed with its owner.
class CConverter {
 public:
  CConverter(const char* to, const char* from) : m_handle(::iconv_open(to, from)) {}
  virtual ~CConverter() {
    if (valid()) ::iconv_close(m_handle);
  }
  CConverter(const CConverter&) = delete;
  CConverter& operator=(const CConverter&) = delete;
  bool valid() const { return m_handle != reinterpret_cast<iconv_t>(-1); }
  iconv_t handle() const { return m_handle; }

 private:
  iconv_t m_handle;
};

CConverter& GbkDecoder() {
  thread_local CConverter converter("UTF-8", "GBK");
  return converter;
}

CConverter& GbkEncoder() {
  thread_local CConverter converter("GBK", "UTF-8");
  return converter;
}

}  // namespace

bool IsValidUtf8(const char* text, size_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const size_t n = size;
  for (size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    uint32_t code;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      code = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      code = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      code = c & 0x07u;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (p[i + k] & 0x3Fu);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  CConverter& encoder = GbkEncoder();
  if (!encoder.valid()) return false;
  gbk->assign(utf8.size() + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* out = &(*gbk)[0];
  size_t outLeft = gbk->size();
  ::iconv(encoder.handle(), nullptr, nullptr, nullptr, nullptr);
  if (::iconv(encoder.handle(), &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
    return false;
  }
  gbk->resize(static_cast<size_t>(out - gbk->data()));
  return true;
}

void AppendGbkAsUtf8(const char* bytes, size_t length, std::string* utf8) {
  CConverter& decoder = GbkDecoder();
  size_t i = 0;
  while (i < length) {
    // ASCII runs are copied as they are.
    size_t ascii = i;
    while (ascii < length && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
    utf8->append(bytes + i, ascii - i);
    i = ascii;
    if (i == length) break;
    if (!decoder.valid()) {
      utf8->append(kReplacement);
      ++i;
      continue;
    }
    char* in = const_cast<char*>(bytes + i);
    size_t inLeft = length - i;
    const size_t before = utf8->size();
    utf8->resize(before + inLeft * 2 + 4);
    char* out = &(*utf8)[before];
    size_t outLeft = inLeft * 2 + 4;
    ::iconv(decoder.handle(), nullptr, nullptr, nullptr, nullptr);
    const size_t result = ::iconv(decoder.handle(), &in, &inLeft, &out, &outLeft);
    const int error = errno;
    utf8->resize(static_cast<size_t>(out - utf8->data()));
    i = static_cast<size_t>(in - bytes);
    if (result == static_cast<size_t>(-1) && error != E2BIG) {
      utf8->append(kReplacement);
      ++i;  // the byte that starts no character
    }
  }
}

std::string GbkToUtf8(const std::string& gbk) {
  std::string utf8;
  AppendGbkAsUtf8(gbk.data(), gbk.size(), &utf8);
  return utf8;
}
