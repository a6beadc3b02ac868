#include "core/records/db/gbk_converter.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/text/gbk_chars.h"

namespace {

const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

bool IsAscii(const char* text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (gbk::IsLeadByte(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// Decodes the UTF-8 character at p[*i] (p holds `size` bytes) into *code and moves *i past
// it. False, with *i unchanged, for anything that is not well-formed UTF-8: a bad lead or
// continuation byte, a truncated, overlong or surrogate sequence, or a value past U+10FFFF.
bool DecodeUtf8(const unsigned char* p, size_t size, size_t* i, uint32_t* code) {
  unsigned char lead = p[*i];
  if (lead < 0x80) {
    *code = lead;
    ++*i;
    return true;
  }
  size_t length;
  uint32_t minimum;
  uint32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, value = lead & 0x07;
  } else {
    return false;
  }
  if (size - *i < length) return false;
  for (size_t k = 1; k < length; ++k) {
    if ((p[*i + k] & 0xC0) != 0x80) return false;
    value = (value << 6) | (p[*i + k] & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *code = value;
  *i += length;
  return true;
}

// Length of the (valid) UTF-8 sequence at `text`.
size_t SkipUtf8(const char* text, size_t size) {
  unsigned char lead = static_cast<unsigned char>(text[0]);
  size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  return length < size ? length : size;
}

// Length of the GBK character at `text`, as the engine reads characters.
size_t SkipGbk(const char* text, size_t size) {
  return static_cast<size_t>(gbk::CharWidth(reinterpret_cast<const unsigned char*>(text), 0, size));
}

// Writes the GBK form of the code point `code` (0x80 and up) or "?"; returns the bytes.
size_t PutGbk(const std::vector<uint16_t>& table, uint32_t code, char* out) {
  uint16_t gbk = code < table.size() ? table[code] : 0;
  if (gbk == 0) {
    *out = '?';
    return 1;
  }
  if (gbk < 0x100) {
    *out = static_cast<char>(gbk);
    return 1;
  }
  out[0] = static_cast<char>(gbk >> 8);
  out[1] = static_cast<char>(gbk & 0xFF);
  return 2;
}

void CloseDescriptor(iconv_t descriptor) {
  if (descriptor != kNoDescriptor) iconv_close(descriptor);
}

}  // namespace

// The platform's own mapping, asked once per code point of the basic plane, so the table
// agrees with iconv exactly; converting through it costs one look-up per character.
const std::vector<uint16_t>& CGbkConverter::UnicodeToGbkTable() {
  static const std::vector<uint16_t> table = [] {
    std::vector<uint16_t> built(0x10000, 0);
    iconv_t descriptor = iconv_open("GBK", "UTF-16LE");
    if (descriptor == kNoDescriptor) return built;
    for (uint32_t code = 0x80; code < 0x10000; ++code) {
      if (code >= 0xD800 && code < 0xE000) continue;
      char16_t unit = static_cast<char16_t>(code);
      char input[2];
      std::memcpy(input, &unit, 2);
      char output[8];
      char* in = input;
      size_t inLeft = 2;
      char* out = output;
      size_t outLeft = sizeof output;
      iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
      if (iconv(descriptor, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) continue;
      size_t length = sizeof output - outLeft;
      unsigned char first = static_cast<unsigned char>(output[0]);
      // A one-byte form at 0x80 or above (the euro sign as 0x80) stays out of the table: the
      // engine reads every such byte as the first of a two-byte character, so it would take
      // the next character with it. The character becomes "?" like any other outside GBK.
      if (length == 2 && first >= 0x81) {
        built[code] = static_cast<uint16_t>(first << 8 | static_cast<unsigned char>(output[1]));
      }
    }
    iconv_close(descriptor);
    return built;
  }();
  return table;
}

CGbkConverter::CGbkConverter() : m_gbkToUtf8(iconv_open("UTF-8", "GBK")) {}

CGbkConverter::~CGbkConverter() { CloseDescriptor(m_gbkToUtf8); }

bool CGbkConverter::IsReady() const {
  return m_gbkToUtf8 != kNoDescriptor && UnicodeToGbkTable()[0x4E2D] != 0;  // U+4E2D is in GBK
}

void CGbkConverter::Convert(iconv_t descriptor, const char* input, size_t size,
                            size_t (*skip)(const char*, size_t), std::string* output) {
  output->clear();
  if (descriptor == kNoDescriptor) {
    output->assign(size, '?');
    return;
  }
  iconv(descriptor, nullptr, nullptr, nullptr, nullptr);  // reset the shift state
  char chunk[4096];
  char* in = const_cast<char*>(input);
  size_t inLeft = size;
  while (inLeft > 0) {
    char* out = chunk;
    size_t outLeft = sizeof chunk;
    size_t result = iconv(descriptor, &in, &inLeft, &out, &outLeft);
    output->append(chunk, sizeof chunk - outLeft);
    if (result != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ (not convertible or malformed) or EINVAL (cut short at the end).
    size_t step = skip(in, inLeft);
    if (step == 0) step = inLeft;
    output->push_back('?');
    in += step;
    inLeft -= step;
  }
}

bool CGbkConverter::Utf8ToGbk(const char* text, size_t size, std::string* gbk) {
  const std::vector<uint16_t>& table = UnicodeToGbkTable();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  gbk->resize(size);  // GBK never takes more bytes than UTF-8 for the same text
  char* out = size > 0 ? &(*gbk)[0] : nullptr;
  size_t written = 0;
  bool valid = true;
  for (size_t i = 0; i < size;) {
    uint32_t code;
    if (!DecodeUtf8(p, size, &i, &code)) {
      valid = false;  // a byte that starts no character: "?", and go on after it
      out[written++] = '?';
      ++i;
    } else if (code < 0x80) {
      out[written++] = static_cast<char>(code);
    } else {
      written += PutGbk(table, code, out + written);
    }
  }
  gbk->resize(written);
  return valid;
}

bool CGbkConverter::CopyGbk(const char* text, size_t size, std::string* gbk) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  gbk->assign(text, size);
  bool valid = true;
  for (size_t i = 0; i < size;) {
    unsigned char lead = p[i];
    if (lead < 0x80) {
      ++i;
    } else if (lead >= 0x81 && lead <= 0xFE && i + 1 < size && p[i + 1] >= 0x40 &&
               p[i + 1] <= 0xFE && p[i + 1] != 0x7F) {
      i += 2;
    } else {
      // 0x80, 0xFF, a first byte at the end or before a byte that cannot follow it: the
      // engine would pair it with the next byte, so it becomes "?" and the next byte is
      // looked at on its own.
      valid = false;
      (*gbk)[i++] = '?';
    }
  }
  return valid;
}

std::string CGbkConverter::Utf8ToGbk(const std::string& text) {
  std::string gbk;
  Utf8ToGbk(text.data(), text.size(), &gbk);
  return gbk;
}

void CGbkConverter::Utf16ToGbk(const char16_t* text, size_t units, std::string* gbk) {
  const std::vector<uint16_t>& table = UnicodeToGbkTable();
  gbk->resize(units * 2);
  char* out = &(*gbk)[0];
  size_t written = 0;
  for (size_t i = 0; i < units; ++i) {
    uint32_t code = text[i];
    if (code < 0x80) {
      out[written++] = static_cast<char>(code);
    } else if (code >= 0xD800 && code < 0xE000) {
      // A surrogate pair is one character outside GBK; an unpaired surrogate is no
      // character at all. Either becomes one "?".
      if (code < 0xDC00 && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) ++i;
      out[written++] = '?';
    } else {
      written += PutGbk(table, code, out + written);
    }
  }
  gbk->resize(written);
}

void CGbkConverter::GbkToUtf8(const std::string& gbk, std::string* utf8) {
  if (IsAscii(gbk.data(), gbk.size())) {
    *utf8 = gbk;
    return;
  }
  Convert(m_gbkToUtf8, gbk.data(), gbk.size(), SkipGbk, utf8);
}

void CGbkConverter::GbkToUtf16(const std::string& gbk, std::u16string* utf16) {
  // Through UTF-8, whose "?" replacements stay whole characters, then decoded here.
  std::string utf8;
  GbkToUtf8(gbk, &utf8);
  utf16->clear();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
  for (size_t i = 0; i < utf8.size();) {
    size_t length = SkipUtf8(utf8.data() + i, utf8.size() - i);
    uint32_t code = length == 1 ? p[i] : p[i] & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) code = (code << 6) | (p[i + k] & 0x3F);
    if (code >= 0x10000) {
      code -= 0x10000;
      utf16->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      utf16->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      utf16->push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
}

bool CGbkConverter::IsValidUtf8(const char* text, size_t size) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  uint32_t code;
  for (size_t i = 0; i < size;) {
    if (!DecodeUtf8(p, size, &i, &code)) return false;
  }
  return true;
}
