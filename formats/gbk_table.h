// CGbkTable: which byte sequences of GBK text are characters, and whether each character is
// also one of GB2312. Built once per process from the C library's converters, so the
// classification is exactly what an XML parser that decodes through those converters accepts:
// a document declared "gb2312" may hold only GB2312 characters, one declared "GBK" any GBK
// character, and neither may hold a byte that is not part of a character.
//
// A two-byte character is a lead byte 0x81-0xFE and a trail byte 0x40-0x7E or 0x80-0xFE;
// cells the converter leaves unmapped count as no character. A byte from 0x80 up that stands
// alone is a character only when the converter maps it by itself (0x80 in GBK).
//
// Thread safety: Get() builds the table on first use (thread-safe static); afterwards it is
// read-only. Without the converters every byte from 0x80 up is classed as no character.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class CGbkTable {
 public:
  // Classification of a byte sequence.
  static constexpr uint8_t kNone = 0;     // no character
  static constexpr uint8_t kGbkOnly = 1;  // a GBK character outside GB2312
  static constexpr uint8_t kGb2312 = 2;   // a GB2312 character

  static const CGbkTable& Get();

  // Class of the two-byte sequence lead, trail.
  uint8_t PairClass(unsigned char lead, unsigned char trail) const {
    return m_pairClass[static_cast<size_t>(lead) << 8 | trail];
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

 private:
  static constexpr int kLeads = 0xFE - 0x81 + 1;
  static constexpr int kTrails = 0xFE - 0x40 + 1;

  CGbkTable();
  static int PairIndex(unsigned char lead, unsigned char trail) {
    if (lead < 0x81 || lead > 0xFE || trail < 0x40 || trail > 0xFE) return -1;
    return (lead - 0x81) * kTrails + (trail - 0x40);
  }

  std::array<uint8_t, 0x10000> m_pairClass{};  // indexed by lead << 8 | trail
  std::array<uint32_t, kLeads * kTrails> m_pairCode{};
  std::array<uint8_t, 0x80> m_singleClass{};
};
