// The platform's converter as the tests' reference for text conversions: iconv over the whole
// text in one call, sharing nothing with the tables, chunks and policies of
// core/text/encoding, so that the engine's own conversions can be held to it.
//
// Thread safety: a CIconvReference carries conversion state; one per thread.
#pragma once

#include <iconv.h>

#include <string>

class CIconvReference {
 public:
  // A converter from the encoding `from` to `to` (iconv's names: "GBK", "UTF-8", ...).
  CIconvReference(const char* to, const char* from);
  virtual ~CIconvReference();
  CIconvReference(const CIconvReference&) = delete;
  CIconvReference& operator=(const CIconvReference&) = delete;

  // `text` converted into *out (replaced), from a fresh state. False when the converter is
  // missing, or the text holds a sequence it cannot convert or ends inside a character; *out
  // then holds what converted before that point.
  bool Convert(const std::string& text, std::string* out);

 private:
  iconv_t m_handle;
};

// CIconvReference::Convert with a converter made for the one call.
bool IconvConvert(const char* to, const char* from, const std::string& text, std::string* out);
