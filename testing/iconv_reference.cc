#include "testing/iconv_reference.h"

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

}  // namespace

CIconvReference::CIconvReference(const char* to, const char* from)
    : m_handle(::iconv_open(to, from)) {}

CIconvReference::~CIconvReference() {
  if (m_handle != kNoConverter) ::iconv_close(m_handle);
}

bool CIconvReference::Convert(const std::string& text, std::string* out) {
  out->clear();
  if (m_handle == kNoConverter) return false;
  ::iconv(m_handle, nullptr, nullptr, nullptr, nullptr);
  // No character grows beyond four bytes in any of the encodings the tests name.
  out->assign(text.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  char* put = &(*out)[0];
  size_t outLeft = out->size();
  const size_t result = ::iconv(m_handle, &in, &inLeft, &put, &outLeft);
  out->resize(out->size() - outLeft);
  return result != static_cast<size_t>(-1) && inLeft == 0;
}

bool IconvConvert(const char* to, const char* from, const std::string& text, std::string* out) {
  CIconvReference converter(to, from);
  return converter.Convert(text, out);
}
