#include "core/text/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/text/gbk_chars.h"

namespace {

const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

// One iconv descriptor, closed with its owner.
class CConverter {
 public:
  CConverter(const char* to, const char* from) : m_handle(::iconv_open(to, from)) {}
  virtual ~CConverter() {
    if (valid()) ::iconv_close(m_handle);
  }
  CConverter(const CConverter&) = delete;
  CConverter& operator=(const CConverter&) = delete;
  bool valid() const { return m_handle != kNoDescriptor; }
  iconv_t handle() const { return m_handle; }
  // Back to the initial state, before a new text.
  void Reset() { ::iconv(m_handle, nullptr, nullptr, nullptr, nullptr); }

  // The code point of exactly one character in `size` (1 or 2) bytes, for a converter to
  // UTF-32LE; 0 when the bytes are not exactly one character.
  uint32_t CodePoint(const unsigned char* bytes, size_t size) {
    if (!valid()) return 0;
    Reset();
    char input[2];
    std::memcpy(input, bytes, size);
    char output[8];
    char* in = input;
    char* out = output;
    size_t inLeft = size, outLeft = sizeof output;
    if (::iconv(m_handle, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) return 0;
    if (inLeft != 0 || sizeof output - outLeft != 4) return 0;
    uint32_t code;
    std::memcpy(&code, output, 4);
    return code;
  }

 private:
  iconv_t m_handle;
};

// One descriptor per thread and direction: a descriptor carries conversion state and must not
// be shared between threads.
CConverter& GbkDecoder() {
  thread_local CConverter converter("UTF-8", "GBK");
  return converter;
}

CConverter& GbkEncoder() {
  thread_local CConverter converter("GBK", "UTF-8");
  return converter;
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

// The two-byte GBK form of each code point of the basic plane, 0 for none. The platform's
// own mapping, asked once per code point, so the table agrees with iconv exactly; converting
// through it costs one look-up per character.
const std::vector<uint16_t>& UnicodeToGbkTable() {
  static const std::vector<uint16_t> table = [] {
    std::vector<uint16_t> built(0x10000, 0);
    CConverter encoder("GBK", "UTF-16LE");
    if (!encoder.valid()) return built;
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
      encoder.Reset();
      if (::iconv(encoder.handle(), &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
        continue;
      }
      size_t length = sizeof output - outLeft;
      unsigned char first = static_cast<unsigned char>(output[0]);
      // A one-byte form at 0x80 or above (the euro sign as 0x80) stays out of the table: the
      // engine reads every such byte as the first of a two-byte character, so it would take
      // the next character with it.
      if (length == 2 && first >= 0x81) {
        built[code] = static_cast<uint16_t>(first << 8 | static_cast<unsigned char>(output[1]));
      }
    }
    return built;
  }();
  return table;
}

// Writes the GBK form of the code point `code` (0x80 and up) or "?"; returns the bytes.
size_t PutGbk(const std::vector<uint16_t>& table, uint32_t code, char* out) {
  uint16_t gbk = code < table.size() ? table[code] : 0;
  if (gbk == 0) {
    *out = '?';
    return 1;
  }
  out[0] = static_cast<char>(gbk >> 8);
  out[1] = static_cast<char>(gbk & 0xFF);
  return 2;
}

// Utf8ToGbk with kReject: the platform's converter in one pass.
bool EncodeStrictly(const char* text, size_t size, std::string* gbk) {
  CConverter& encoder = GbkEncoder();
  if (!encoder.valid()) return false;
  gbk->assign(size + 4, '\0');  // GBK never takes more bytes than UTF-8 for the same text
  char* in = const_cast<char*>(text);
  size_t inLeft = size;
  char* out = &(*gbk)[0];
  size_t outLeft = gbk->size();
  encoder.Reset();
  if (::iconv(encoder.handle(), &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
    return false;
  }
  gbk->resize(static_cast<size_t>(out - gbk->data()));
  return true;
}

// Utf8ToGbk with kQuestionMark, through the table.
bool EncodeWithQuestionMarks(const char* text, size_t size, std::string* gbk) {
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

// AppendGbkAsUtf8 with kReplacement: ASCII runs copied, every pair (or lone byte) looked up
// in the table, U+FFFD for one without a form. Linear in the input.
void DecodeWithReplacement(const char* text, size_t length, std::string* utf8) {
  const CGbkTable& table = CGbkTable::Get();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  utf8->reserve(utf8->size() + length + length / 2);
  size_t i = 0;
  while (i < length) {
    size_t ascii = i;
    while (ascii < length && bytes[ascii] < 0x80) ++ascii;
    utf8->append(text + i, ascii - i);
    i = ascii;
    if (i == length) break;
    const uint32_t code = NextGbkCodePoint(table, bytes, length, &i, GbkPairs::kByShape);
    if (code == 0) {
      utf8->append(kReplacementUtf8);
    } else {
      char put[4];
      utf8->append(put, static_cast<size_t>(PutUtf8(code, put) - put));
    }
  }
}

// AppendGbkAsUtf8 with kQuestionMark or kReject: the converter in chunks; at a character it
// cannot convert, "?" and the engine's character skipped, or failure.
bool DecodeInChunks(const char* input, size_t size, bool reject, std::string* output) {
  CConverter& decoder = GbkDecoder();
  if (!decoder.valid()) {
    if (reject) return size == 0;
    output->append(size, '?');
    return true;
  }
  decoder.Reset();
  char chunk[4096];
  char* in = const_cast<char*>(input);
  size_t inLeft = size;
  while (inLeft > 0) {
    char* out = chunk;
    size_t outLeft = sizeof chunk;
    size_t result = ::iconv(decoder.handle(), &in, &inLeft, &out, &outLeft);
    output->append(chunk, sizeof chunk - outLeft);
    if (result != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ (not convertible or malformed) or EINVAL (cut short at the end).
    if (reject) return false;
    size_t step = SkipGbk(in, inLeft);
    if (step == 0) step = inLeft;
    output->push_back('?');
    in += step;
    inLeft -= step;
  }
  return true;
}

}  // namespace

bool IsValidUtf8(const char* text, size_t size) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  uint32_t code;
  for (size_t i = 0; i < size;) {
    if (!DecodeUtf8(p, size, &i, &code)) return false;
  }
  return true;
}

bool Utf8ToGbk(const char* text, size_t size, std::string* gbk, ToGbk policy) {
  return policy == ToGbk::kReject ? EncodeStrictly(text, size, gbk)
                                  : EncodeWithQuestionMarks(text, size, gbk);
}

std::string Utf8AsGbk(const std::string& utf8) {
  std::string gbk;
  EncodeWithQuestionMarks(utf8.data(), utf8.size(), &gbk);
  return gbk;
}

void Utf16ToGbk(const char16_t* text, size_t units, std::string* gbk) {
  const std::vector<uint16_t>& table = UnicodeToGbkTable();
  gbk->resize(units * 2);
  char* out = units > 0 ? &(*gbk)[0] : nullptr;
  size_t written = 0;
  for (size_t i = 0; i < units; ++i) {
    uint32_t code = text[i];
    if (code < 0x80) {
      out[written++] = static_cast<char>(code);
    } else if (code >= 0xD800 && code < 0xE000) {
      if (code < 0xDC00 && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) ++i;
      out[written++] = '?';
    } else {
      written += PutGbk(table, code, out + written);
    }
  }
  gbk->resize(written);
}

bool CopyGbk(const char* text, size_t size, std::string* gbk) {
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
      valid = false;
      (*gbk)[i++] = '?';
    }
  }
  return valid;
}

bool AppendGbkAsUtf8(const char* bytes, size_t length, std::string* utf8, FromGbk policy) {
  if (policy == FromGbk::kReplacement) {
    DecodeWithReplacement(bytes, length, utf8);
    return true;
  }
  const size_t before = utf8->size();
  if (!DecodeInChunks(bytes, length, policy == FromGbk::kReject, utf8)) {
    utf8->resize(before);
    return false;
  }
  return true;
}

std::string GbkToUtf8(const std::string& gbk) {
  std::string utf8;
  DecodeWithReplacement(gbk.data(), gbk.size(), &utf8);
  return utf8;
}

void GbkToUtf16(const std::string& gbk, std::u16string* utf16) {
  // Through UTF-8, whose "?" replacements stay whole characters, then decoded here.
  std::string utf8;
  AppendGbkAsUtf8(gbk.data(), gbk.size(), &utf8, FromGbk::kQuestionMark);
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

const CGbkTable& CGbkTable::Get() {
  static const CGbkTable table;
  return table;
}

CGbkTable::~CGbkTable() = default;

CGbkTable::CGbkTable() {
  CConverter gbk("UTF-32LE", "GBK");
  CConverter gb2312("UTF-32LE", "GB2312");
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      const unsigned char bytes[2] = {static_cast<unsigned char>(lead),
                                      static_cast<unsigned char>(trail)};
      const uint32_t code = gbk.CodePoint(bytes, 2);
      if (code == 0) continue;
      const auto index = static_cast<size_t>(PairIndex(bytes[0], bytes[1]));
      m_pairCode[index] = code;
      m_pairClass[static_cast<size_t>(lead) << 8 | static_cast<size_t>(trail)] =
          gb2312.CodePoint(bytes, 2) == code ? kGb2312 : kGbkOnly;
    }
  }
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    const unsigned char single = static_cast<unsigned char>(byte);
    const uint32_t code = gbk.CodePoint(&single, 1);
    if (code == 0) continue;
    m_singleCode[static_cast<size_t>(byte - 0x80)] = code;
    m_singleClass[static_cast<size_t>(byte - 0x80)] =
        gb2312.CodePoint(&single, 1) == code ? kGb2312 : kGbkOnly;
  }
}

std::string CGbkToUtf8Decoder::Feed(const char* bytes, size_t size) {
  std::string input = m_held;
  input.append(bytes, size);
  m_held.clear();
  // The text is cut into characters as DecodeWithReplacement cuts it; a lead byte that is
  // the last byte waits, so the piece converted ends on a character's end.
  const CGbkTable& table = CGbkTable::Get();
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  for (size_t i = 0; i < input.size();) {
    if (data[i] >= 0x81 && data[i] <= 0xFE && i + 1 == input.size()) {
      m_held.assign(1, static_cast<char>(data[i]));
      break;
    }
    NextGbkCodePoint(table, data, input.size(), &i, GbkPairs::kByShape);
  }
  std::string utf8;
  DecodeWithReplacement(input.data(), input.size() - m_held.size(), &utf8);
  return utf8;
}

std::string CGbkToUtf8Decoder::Finish() {
  const bool held = !m_held.empty();
  m_held.clear();
  return held ? std::string(kReplacementUtf8) : std::string();
}
