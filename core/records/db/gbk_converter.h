// CGbkConverter: the code-page conversions of the database layer. Databases hand text over
// as Unicode (UTF-8 from SQLite, UTF-16 from ODBC's wide calls) or, where the configuration
// says so, as GBK bytes; the engine works in GBK.
//  - A character GBK cannot hold becomes "?" (one byte); nothing is dropped silently. The
//    output never holds a byte of 0x80 or above that is not the first of a two-byte GBK
//    character with its second byte, so the engine's segmentation reads it as written.
//  - A byte that is not part of a character of the source encoding becomes "?"; the
//    conversions report whether there was one. No text is guessed to be in another encoding.
//  - Statements go the other way (GBK -> UTF-8 / UTF-16); bytes that are not valid GBK
//    become "?".
// Each converter owns its iconv descriptor; it is not thread-safe (one per connection).
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CGbkConverter {
 public:
  CGbkConverter();
  virtual ~CGbkConverter();
  CGbkConverter(const CGbkConverter&) = delete;
  CGbkConverter& operator=(const CGbkConverter&) = delete;

  // False when the platform's iconv lacks one of the conversions.
  bool IsReady() const;

  // The conversions from Unicode go through a table of the basic plane built once per
  // process from iconv's own answers; characters beyond it are never in GBK. They keep no
  // state and may run on any thread.
  // Both return false when some byte of `text` was not part of a character of the source
  // encoding (each such byte became "?").
  static bool Utf8ToGbk(const char* text, size_t size, std::string* gbk);
  // GBK to GBK: copies `text`, writing "?" for each byte that starts no GBK character
  // (0x80, 0xFF, a first byte without a valid second byte).
  static bool CopyGbk(const char* text, size_t size, std::string* gbk);
  static void Utf16ToGbk(const char16_t* text, size_t units, std::string* gbk);
  static std::string Utf8ToGbk(const std::string& text);
  void GbkToUtf8(const std::string& gbk, std::string* utf8);
  void GbkToUtf16(const std::string& gbk, std::u16string* utf16);

  // True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values beyond
  // U+10FFFF).
  static bool IsValidUtf8(const char* text, size_t size);

 private:
  static const std::vector<uint16_t>& UnicodeToGbkTable();

  // Runs `descriptor` over the input; on a character it cannot convert writes "?" and skips
  // the character, whose length `skip` tells from the bytes at hand.
  void Convert(iconv_t descriptor, const char* input, size_t size,
               size_t (*skip)(const char*, size_t), std::string* output);

  iconv_t m_gbkToUtf8;
};
