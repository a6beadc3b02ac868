// Text encoding between GBK, the code page of every stored text, and Unicode (UTF-8 for the
// HTTP interface, the command-line tool and UTF-8 databases, UTF-16 for ODBC's wide calls).
// Every conversion of the tree goes through here; the C library's iconv sits behind this
// module and nowhere else.
//
// Each conversion says what it does with what it cannot carry over: a character the target
// has no form for, or bytes that are no character of the source.
//   - kReject: the conversion fails and reports it.
//   - kQuestionMark: each such character becomes "?". Going to GBK this is the form the
//     engine stores: its output never holds a byte of 0x80 or above that is not the first of
//     a two-byte GBK character with its second byte. Going to Unicode, GBK is cut into
//     characters as the engine reads them (a byte from 0x80 up takes the next byte with it).
//   - kReplacement (decoding GBK only): GBK is read pair by pair: a lead byte 0x81-0xFE with
//     a trail byte 0x40-0x7E or 0x80-0xFE is one pair, which becomes its character or, when
//     GBK maps nothing there, one U+FFFD; any other byte from 0x80 up stands alone (its
//     character, 0x80 the euro sign, or U+FFFD) and decoding goes on at the next byte, so a
//     lead byte never swallows markup. One pass, one table look-up per character.
// Strict UTF-8 everywhere: no overlong forms, no surrogates, nothing above U+10FFFF.
//
// The GB2312-or-GBK decision of the XML document rests on CGbkTable below, which classes every
// GBK byte sequence as the platform's converters do.
//
// Thread safety: every function may run on many threads at once (iconv descriptors are kept
// one per thread and direction; the tables are built once, thread-safely, on first use).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// U+FFFD, the character that stands for GBK bytes with no Unicode form, in UTF-8.
inline constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

// Policy of a conversion to GBK.
enum class ToGbk { kReject, kQuestionMark };
// Policy of a conversion from GBK.
enum class FromGbk { kReject, kQuestionMark, kReplacement };

bool IsValidUtf8(const char* text, size_t size);
inline bool IsValidUtf8(const std::string& text) { return IsValidUtf8(text.data(), text.size()); }

// The GBK form of UTF-8 `text` into *gbk (replacing it).
//  - kReject: false when the text is not valid UTF-8 or a character has no GBK form (*gbk
//    then undefined). Follows the platform's GBK exactly, which writes the euro sign as the
//    single byte 0x80.
//  - kQuestionMark: always converts; a character without a GBK form (the euro sign included,
//    whose byte 0x80 the engine would pair with the next byte) becomes "?", and so does each
//    byte that is no part of a UTF-8 character. False when there was such a byte.
bool Utf8ToGbk(const char* text, size_t size, std::string* gbk, ToGbk policy);
// Utf8ToGbk with kQuestionMark, for messages.
std::string Utf8AsGbk(const std::string& utf8);

// UTF-16 (ODBC) to GBK with kQuestionMark: a surrogate pair is one character outside GBK, an
// unpaired surrogate no character; either becomes one "?".
void Utf16ToGbk(const char16_t* text, size_t units, std::string* gbk);

// GBK to GBK: copies `text` into *gbk, writing "?" for each byte that starts no GBK character
// as the engine reads them (0x80, 0xFF, a first byte at the end or before a byte that cannot
// follow it; that next byte is then looked at on its own). False when there was such a byte.
bool CopyGbk(const char* text, size_t size, std::string* gbk);

// Appends the UTF-8 form of GBK bytes to *utf8 under `policy`. False only under kReject, when
// some byte is no part of a GBK character; *utf8 is then as before the call.
bool AppendGbkAsUtf8(const char* bytes, size_t length, std::string* utf8, FromGbk policy);
// AppendGbkAsUtf8 with kReplacement.
inline void AppendGbkAsUtf8(const char* bytes, size_t length, std::string* utf8) {
  AppendGbkAsUtf8(bytes, length, utf8, FromGbk::kReplacement);
}
// The UTF-8 form of GBK text with kReplacement.
std::string GbkToUtf8(const std::string& gbk);
// GBK to UTF-16 with kQuestionMark, replacing *utf16.
void GbkToUtf16(const std::string& gbk, std::u16string* utf16);

// CGbkTable: which byte sequences of GBK text are characters, and whether each character is
// also one of GB2312. Built once per process from the platform's converters, so the
// classification is exactly what an XML parser that decodes through those converters accepts:
// a document declared "gb2312" may hold only GB2312 characters, one declared "GBK" any GBK
// character, and neither may hold a byte that is not part of a character.
//
// A two-byte character is a lead byte 0x81-0xFE and a trail byte 0x40-0x7E or 0x80-0xFE;
// cells the converter leaves unmapped count as no character. A byte from 0x80 up that stands
// alone is a character only when the converter maps it by itself (0x80 in GBK). Without the
// converters every byte from 0x80 up is classed as no character. Read-only after Get().
class CGbkTable {
 public:
  // Classification of a byte sequence.
  static constexpr uint8_t kNoCharacter = 0;
  static constexpr uint8_t kGbkOnly = 1;  // a GBK character outside GB2312
  static constexpr uint8_t kGb2312 = 2;   // a GB2312 character

  static const CGbkTable& Get();
  virtual ~CGbkTable();

  // Class of the two-byte sequence lead, trail.
  uint8_t PairClass(unsigned char lead, unsigned char trail) const {
    return m_pairClass[static_cast<size_t>(lead) << 8 | trail];
  }
  // Whether lead, trail has the shape of a two-byte character (mapped or not).
  static bool IsPairShape(unsigned char lead, unsigned char trail) {
    return PairIndex(lead, trail) >= 0 && trail != 0x7F;
  }
  // Unicode code point of a two-byte character, 0 when the sequence is no character.
  uint32_t PairCodePoint(unsigned char lead, unsigned char trail) const {
    int index = PairIndex(lead, trail);
    return index < 0 ? 0 : m_pairCode[static_cast<size_t>(index)];
  }
  // Class of a byte 0x80-0xFF standing alone.
  uint8_t SingleClass(unsigned char byte) const {
    return byte < 0x80 ? kGb2312 : m_singleClass[byte - 0x80u];
  }
  // Unicode code point of a byte standing alone (itself below 0x80), 0 when it is no
  // character.
  uint32_t SingleCodePoint(unsigned char byte) const {
    return byte < 0x80 ? byte : m_singleCode[byte - 0x80u];
  }

 private:
  static constexpr int kLeads = 0xFE - 0x81 + 1;
  static constexpr int kTrails = 0xFE - 0x40 + 1;

  CGbkTable();
  CGbkTable(const CGbkTable&) = delete;
  CGbkTable& operator=(const CGbkTable&) = delete;
  static int PairIndex(unsigned char lead, unsigned char trail) {
    if (lead < 0x81 || lead > 0xFE || trail < 0x40 || trail > 0xFE) return -1;
    return (lead - 0x81) * kTrails + (trail - 0x40);
  }

  std::array<uint8_t, 0x10000> m_pairClass{};  // indexed by lead << 8 | trail
  std::array<uint32_t, kLeads * kTrails> m_pairCode{};
  std::array<uint8_t, 0x80> m_singleClass{};
  std::array<uint32_t, 0x80> m_singleCode{};
};

// How GBK decoding cuts bytes from 0x80 up into characters.
//  - kByShape (AppendGbkAsUtf8 with kReplacement): a lead byte 0x81-0xFE with a trail byte
//    0x40-0x7E or 0x80-0xFE is one pair, its character or, unmapped, one U+FFFD.
//  - kMapped: only a pair GBK maps is one character; any other byte from 0x80 up stands alone
//    and the byte after it is read afresh.
// Either way a byte standing alone is its character (0x80 the euro sign) or U+FFFD.
enum class GbkPairs { kByShape, kMapped };

// The code point of the GBK character at bytes[*i] (of `size` bytes, *i < size) as `pairs`
// cuts it, moving *i past the character; 0 when GBK maps nothing there (U+FFFD).
inline uint32_t NextGbkCodePoint(const CGbkTable& table, const unsigned char* bytes, size_t size,
                                 size_t* i, GbkPairs pairs) {
  const unsigned char lead = bytes[*i];
  if (lead < 0x80) {
    ++*i;
    return lead;
  }
  if (*i + 1 < size) {
    const uint32_t code = table.PairCodePoint(lead, bytes[*i + 1]);
    if (code != 0 || (pairs == GbkPairs::kByShape && CGbkTable::IsPairShape(lead, bytes[*i + 1]))) {
      *i += 2;
      return code;
    }
  }
  ++*i;
  return table.SingleCodePoint(lead);
}

// Writes code point `code` (below 0x110000, no surrogate) in UTF-8 at `out`, which has room
// for four bytes; returns the end of what it wrote.
inline char* PutUtf8(uint32_t code, char* out) {
  if (code >= 0x800 && code < 0x10000) {  // every CJK character
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return out + 3;
  }
  if (code < 0x80) {
    *out++ = static_cast<char>(code);
    return out;
  }
  if (code < 0x800) {
    *out++ = static_cast<char>(0xC0 | (code >> 6));
  } else {
    *out++ = static_cast<char>(0xF0 | (code >> 18));
    *out++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  }
  *out++ = static_cast<char>(0x80 | (code & 0x3F));
  return out;
}

// CGbkToUtf8Decoder: converts GBK arriving in pieces, as AppendGbkAsUtf8 with kReplacement
// converts it whole. Feed returns the UTF-8 of every complete character so far; a lead byte
// at the end of a piece waits for the next one. Not thread-safe: one decoder per stream.
class CGbkToUtf8Decoder {
 public:
  CGbkToUtf8Decoder() = default;
  virtual ~CGbkToUtf8Decoder() = default;

  std::string Feed(const char* bytes, size_t size);
  // The held lead byte, if any, as U+FFFD (the text ended inside a character).
  std::string Finish();

 private:
  std::string m_held;  // at most one byte: the lead of a character cut by the piece's end
};
