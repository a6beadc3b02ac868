// The character rule shared by the trie build, its lookups and Segment: a byte 0x01..0x7F
// is a one-byte character; a byte 0x80..0xFF starts a two-byte character (first * 256 +
// second) unless it is the string's last byte, where it stands alone.
#pragma once

namespace pdat_chars {

// Character at bytes[position] of a string of `length` bytes; its width goes to *width.
inline int CharAt(const unsigned char* bytes, int position, int length, int* width) {
  unsigned char first = bytes[position];
  if (first >= 0x80 && position + 1 < length) {
    *width = 2;
    return first * 256 + bytes[position + 1];
  }
  *width = 1;
  return first;
}

// The same over a NUL-terminated string: a lead byte followed by the NUL is the last byte.
inline int CharAtTerminated(const unsigned char* bytes, int* width) {
  unsigned char first = bytes[0];
  if (first >= 0x80 && bytes[1] != 0) {
    *width = 2;
    return first * 256 + bytes[1];
  }
  *width = 1;
  return first;
}

}  // namespace pdat_chars
